#include "settings/fSettings.h"

#include "platform/com_error.h"
#include "settings/uscAttachment.h"
#include "settings/uscExtensions.h"
#include "settings/uscMonitoring.h"
#include "support/modErroHandling.h"
#include "support/modGlobal.h"

namespace stow {

ui::Control* SettingsPage::FindControl(const std::string& name) const {
  for (auto* c : controls_)
    if (c->Name == name) return c;
  return nullptr;
}

std::unique_ptr<SettingsPage> CreateSettingsPage(const std::string& className) {
  if (className == "KZO.uscMonitoring") return std::make_unique<uscMonitoring>("currentItem");
  if (className == "KZO.uscAttachment") return std::make_unique<uscAttachment>("currentItem");
  if (className == "KZO.uscExtensions") return std::make_unique<uscExtensions>("currentItem");
  return nullptr;
}

bool SettingsPageInfo(int page, std::string* title, std::string* className) {
  static constexpr struct {
    const char* title;
    const char* control;
  } kPages[] = {
      {"Email Monitoring", "uscMonitoring"},
      {"Attachment Options", "uscAttachment"},
      {"File Extensions", "uscExtensions"},
  };
  if (page < 0 || page > 2) return false;
  *title = kPages[page].title;
  *className = std::string("KZO.") + kPages[page].control;
  return true;
}

fSettings::fSettings() : ui::Form("fSettings"), tb(Add<ui::Toolbar>("tb")) {
  for (const char* key : {"Apply", "sep1", "Save", "sep2", "Exit"}) {
    ui::ToolbarButton button;
    button.Key = key;
    tb.Buttons.push_back(button);
  }
  onButton_ = tb.ButtonClick.Connect([this](ui::ToolbarButton& b) { tb_ButtonClick(b); });
}

fSettings::~fSettings() = default;

void fSettings::OnLoad() {
  Trap("fManagerSettings.Load", [&] {
    subSetSetupControl();
    for (auto& button : tb.Buttons) {
      if (button.Key == "Apply") button.Caption = "  Apply  ";
      if (button.Key == "Save") button.Caption = "Save";
      if (button.Key == "Exit") button.Caption = "  Exit   ";
    }
  });
}

void fSettings::subSetSetupControl() {
  Trap("fManagerSettings.subSetSetupControl", [&] {
    currentItem.reset();
    std::string title, className;
    if (SettingsPageInfo(modGlobal::intSettingsPage, &title, &className)) {
      Caption = "Settings : " + title;
      currentItem = CreateSettingsPage(className);
    }
    if (currentItem) {
      currentItem->owner = this;
      currentItem->Left = 0;
      currentItem->Top = kToolbarTop + kToolbarHeight;
      currentItem->Visible = true;
      // The page fills itself as it starts.
      currentItem->GetSettings();
    }
    Width = 9150;
    Height = 8100;
  });
}

void fSettings::tb_ButtonClick(const ui::ToolbarButton& button) {
  // Keep the dialog alive should a page's save lead to ShowSettings again.
  std::string key = button.Key;
  IgnoreErrors([&] {
    if (key == "Apply") {
      if (currentItem) currentItem->SaveSettings();
    } else if (key == "Save") {
      if (currentItem) currentItem->SaveSettings();
      Unload();
    } else if (key == "Exit") {
      Unload();
    }
  });
}

void fSettings::OnUnload(bool& cancel) {
  (void)cancel;
  IgnoreErrors([&] { currentItem.reset(); });
}

void ShowSettings() {
  Trap("mMain.ShowSettings", [] {
    auto& instance = modGlobal::objSettingsDialog;
    if (!instance) {
      instance = std::make_shared<fSettings>();
    } else if (instance->Loaded()) {
      instance->Unload();
    }
    // Held here too: the dialog outlives its own modal show even if the global is
    // released meanwhile.
    auto dialog = instance;
    dialog->Show(true);
  });
}

fSettings* SettingsDialog() {
  return modGlobal::objSettingsDialog.get();
}

void ReleaseSettingsDialog() {
  auto& dialog = modGlobal::objSettingsDialog;
  if (dialog && dialog->Loaded()) IgnoreErrors([&] { dialog->Unload(); });
  dialog.reset();
}

}  // namespace stow
