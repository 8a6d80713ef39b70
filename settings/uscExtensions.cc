#include "settings/uscExtensions.h"

#include "platform/com_error.h"
#include "support/cSettings.h"
#include "support/modErroHandling.h"
#include "support/modGlobal.h"

namespace stow {

uscExtensions::uscExtensions(std::string name)
    : SettingsPage(std::move(name)),
      Frame1(Add<ui::Frame>("Frame1")),
      Label1(Add<ui::Label>("Label1")),
      txtExtensions(Add<ui::TextBox>("txtExtensions")),
      Label4(Add<ui::Label>("Label4")),
      Label2(Add<ui::Label>("Label2")),
      Label3(Add<ui::Label>("Label3")) {
  Frame1.Caption = "Attachment extensions";
  Label1.Caption = "Don't process the following attachments having the following extensions";
  Label4.Caption = "Note:";
  Label2.Caption =
      "Enter extension names without the dot (.)  and each extension separated by a comma (,)";
  Label3.Caption = "Eg. pdf,jpg,gif";
}

void uscExtensions::GetSettings() {
  Trap("fSettings.GetSettings", [&] {
    txtExtensions.SetText(
        Required(Required(modGlobal::objSettings).AttachmentExtensions()).GetString(","));
  });
}

void uscExtensions::SaveSettings() {
  Trap("fSettings.SaveSettings", [&] {
    auto& settings = Required(modGlobal::objSettings);
    Required(settings.AttachmentExtensions()).SetString(txtExtensions.Text, ",");
    settings.SaveSettings();
  });
}

}  // namespace stow
