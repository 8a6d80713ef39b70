#pragma once
// A page of the settings dialog: a control that holds controls of its own, fills
// them from the settings object (GetSettings) and stores them back (SaveSettings).
// The dialog creates a page by its class name ("KZO.uscMonitoring", ...).

#include <memory>
#include <string>
#include <vector>

#include "platform/forms.h"

namespace stow {

class SettingsPage : public ui::Control {
 public:
  explicit SettingsPage(std::string name) : ui::Control(std::move(name)) {}

  // Fills the page's controls from objSettings.
  virtual void GetSettings() = 0;
  // Stores the controls into objSettings, saves it, and applies the side effects.
  virtual void SaveSettings() = 0;

  // The dialog the page is shown in (it hides it after some saves); may be null.
  ui::Form* owner = nullptr;
  double Left = 0, Top = 0, Width = 9000, Height = 7000;  // twips

  // The page's own controls, by name ("optNaming(2)" for a member of a control array).
  ui::Control* FindControl(const std::string& name) const;
  template <class T>
  T* Find(const std::string& name) const {
    return dynamic_cast<T*>(FindControl(name));
  }
  const std::vector<ui::Control*>& Controls() const { return controls_; }

 protected:
  template <class T>
  T& Add(const std::string& name) {
    owned_.push_back(std::make_unique<T>(name));
    auto* p = static_cast<T*>(owned_.back().get());
    controls_.push_back(p);
    return *p;
  }
  // Hides the dialog, which ends its modal display.
  void HideOwner() {
    if (owner) owner->Hide();
  }

 private:
  std::vector<std::unique_ptr<ui::Control>> owned_;
  std::vector<ui::Control*> controls_;
};

// A new page of that class name; nullptr for a name no page has.
std::unique_ptr<SettingsPage> CreateSettingsPage(const std::string& className);

}  // namespace stow
