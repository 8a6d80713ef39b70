#pragma once
// The "File Extensions" page: the extensions of attachments that are never detached.

#include "settings/settingsPage.h"

namespace stow {

class uscExtensions : public SettingsPage {
 public:
  explicit uscExtensions(std::string name);

  ui::Frame& Frame1;
  ui::Label& Label1;
  ui::TextBox& txtExtensions;
  ui::Label& Label4;
  ui::Label& Label2;
  ui::Label& Label3;

  void GetSettings() override;
  void SaveSettings() override;
};

}  // namespace stow
