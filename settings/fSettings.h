#pragma once
// The settings dialog: one page at a time (chosen by modGlobal::intSettingsPage)
// under a toolbar with Apply, Save and Exit.

#include <memory>
#include <string>

#include "platform/forms.h"
#include "settings/settingsPage.h"

namespace stow {

class fSettings : public ui::Form {
 public:
  fSettings();
  ~fSettings() override;

  ui::Toolbar& tb;
  // The page shown; null while the dialog is not loaded or for a page number out of range.
  std::unique_ptr<SettingsPage> currentItem;

  // Height of the toolbar strip, in twips; the page sits right below it.
  static constexpr double kToolbarTop = 0;
  static constexpr double kToolbarHeight = 420;

  void OnLoad() override;
  void OnUnload(bool& cancel) override;

 private:
  void subSetSetupControl();
  void tb_ButtonClick(const ui::ToolbarButton& button);
  Connection onButton_;
};

// The page table: title and class name of a page number; false outside 0 to 2.
bool SettingsPageInfo(int page, std::string* title, std::string* className);

// Unloads the dialog when it is loaded, then shows it modally on intSettingsPage.
void ShowSettings();

// The dialog instance, null before the first ShowSettings.
fSettings* SettingsDialog();
// Tests: unloads and forgets the instance.
void ReleaseSettingsDialog();

}  // namespace stow
