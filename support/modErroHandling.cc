#include "support/modErroHandling.h"

#include <memory>

#include "platform/object_model.h"
#include "platform/services.h"
#include "support/frmErrorReport.h"
#include "support/modGlobal.h"
#include "support/modOutlookCode.h"
#include "support/product.h"

namespace stow::modErroHandling {

std::string BuildReportText(const std::string& hostVersion, int line, const std::string& label,
                            const std::string& source, std::int32_t number,
                            const std::string& description) {
  std::string text;
  text += "In Outlook version: " + hostVersion + "\r\n";
  text += "At Line: " + std::to_string(line) + "\r\n";
  text += "In Function: " + label + "\r\n";
  text += "Source: " + source + "\r\n";
  text += "Exception Number: " + std::to_string(number) + "\r\n";
  text += "Exception Description: " + description + "\r\n";
  return text;
}

void HandleError(const std::string& description, std::int32_t number, int line,
                 const std::string& label, const std::string& source) {
  // One report per run: a cascade of failures must not open a stream of windows.
  bool& reportShown = modGlobal::blnErrorReportShown;
  if (reportShown) return;
  try {
    if (!modGlobal::objOutlook) {
      int inbox = om::olFolderInbox;
      modOutlookCode::subStartOutlook(inbox);
      // Starting the host may itself have failed into this handler.
      if (reportShown) return;
    }
    std::string version;
    if (auto app = modGlobal::objOutlook) {
      version = ValueOr(std::string(), [&] { return app->Version(); });
    }
    std::string report = BuildReportText(version, line, label, source, number, description);
    reportShown = true;
    if (platform::Platform().ui == nullptr) return;

    auto form = std::make_shared<frmErrorReport>();
    modGlobal::objErrorReport = form;
    platform::Platform().ui->LoadForm(*form);
    form->lblApplication.Caption = product::kTitle;
    form->lblBuild.Caption = "Build " + GetAppVersion();
    form->txtReport.Text = report;
    // `form` keeps the window alive even if the shut-down clean-up releases the
    // global while it is shown.
    form->Show(true);
    if (!form->Loaded() && modGlobal::objErrorReport == form) modGlobal::objErrorReport.reset();
  } catch (...) {
    // A failure while reporting a failure has nowhere to go.
  }
}

void ReportCurrentError(const std::string& label) {
  ComError e = CurrentError();
  HandleError(e.Description(), e.Number(), e.Line(), label, e.Source());
}

void SendErrorReport(const std::string& reportText) {
  auto app = modGlobal::objOutlook;
  if (!app) return;
  std::shared_ptr<om::Item> mail =
      ValueOr(std::shared_ptr<om::Item>(), [&] { return app->CreateItem(om::olMailItem); });
  if (!mail) return;
  IgnoreErrors([&] { mail->SetTo(product::kErrorReportMailbox); });
  IgnoreErrors([&] {
    mail->SetSubject("Exception (" + GetAppVersion() + ") : " + std::string(product::kTitle));
  });
  IgnoreErrors([&] { mail->SetBody(reportText); });
  IgnoreErrors([&] { mail->Save(); });
  IgnoreErrors([&] { mail->Display(); });
}

std::string GetAppVersion() {
  return std::to_string(STOW_VERSION_MAJOR) + "." + std::to_string(STOW_VERSION_MINOR) + "." +
         std::to_string(STOW_VERSION_PATCH);
}

bool ReportShown() {
  return modGlobal::blnErrorReportShown;
}

}  // namespace stow::modErroHandling
