#include "support/frmErrorReport.h"

#include "support/modErroHandling.h"
#include "support/modFileSystem.h"
#include "support/modGlobal.h"
#include "support/modOutlookCode.h"
#include "support/product.h"

namespace stow {

namespace {
constexpr const char* kViewReport = "View Report";
constexpr const char* kHideReport = "Hide Report";
}  // namespace

frmErrorReport::frmErrorReport()
    : ui::Form("frmErrorReport"),
      lblCommentFirst(Add<ui::Label>("lblCommentFirst")),
      lblCommentSecond(Add<ui::Label>("lblCommentSecond")),
      cmdOpenEmail(Add<ui::CommandButton>("cmdOpenEmail")),
      cmdViewReport(Add<ui::CommandButton>("cmdViewReport")),
      cmdCancel(Add<ui::CommandButton>("cmdCancel")),
      lblLearn(Add<ui::Label>("lblLearn")),
      lblClickHere(Add<ui::Label>("lblClickHere")),
      lblApplication(Add<ui::Label>("lblApplication")),
      lblBuild(Add<ui::Label>("lblBuild")),
      frameReport(Add<ui::Frame>("frameReport")),
      txtReport(Add<ui::TextBox>("txtReport")) {
  Caption = "Unknown Exception";
  Width = 7200;
  Height = kCollapsedHeight;
  txtReport.MultiLine = true;
  onOpenEmail_ = cmdOpenEmail.Click.Connect([this] { cmdOpenEmail_Click(); });
  onViewReport_ = cmdViewReport.Click.Connect([this] { cmdViewReport_Click(); });
  onCancel_ = cmdCancel.Click.Connect([this] { cmdCancel_Click(); });
  onClickHere_ = lblClickHere.Click.Connect([this] { lblClickHere_Click(); });
}

void frmErrorReport::OnLoad() {
  lblCommentFirst.Caption =
      "An unknown exception has occured. A report on the exception has been generated. It is "
      "highly recommended that you send this report to us to help diagnose the exception.";
  lblCommentSecond.Caption =
      "The information contained in this report is taken from this application for quality "
      "control only, not for marketing purposes or for monitoring individual users or "
      "machines. You can opt to view the detail of the report by clicking 'View Report' "
      "button.";
  cmdOpenEmail.Caption = "Open Email";
  cmdViewReport.Caption = kViewReport;
  cmdCancel.Caption = "Cancel";
  lblLearn.Caption = "To learn more about the error reporting,";
  lblClickHere.Caption = "click here.";
  lblApplication.Caption = product::kTitle;
  lblBuild.Caption = "Build " + modErroHandling::GetAppVersion();
  frameReport.Caption = "Exception Report";
  // The collapsed height cuts the report frame off the bottom of the window.
  Height = kCollapsedHeight;
}

void frmErrorReport::cmdViewReport_Click() {
  Trap("fErrorReport.lblSendDirectly.Click", [&] {
    if (cmdViewReport.Caption == kViewReport) {
      cmdViewReport.Caption = kHideReport;
      Height = kExpandedHeight;
    } else {
      cmdViewReport.Caption = kViewReport;
      Height = kCollapsedHeight;
    }
  });
}

void frmErrorReport::cmdOpenEmail_Click() {
  Trap("fErrorReport.lblSendDirectly.Click", [&] {
    Hide();
    if (!modGlobal::objOutlook) {
      int inbox = om::olFolderInbox;
      modOutlookCode::subStartOutlook(inbox);
    }
    // The text as the user left it: they may have edited the report.
    modErroHandling::SendErrorReport(txtReport.Text);
    Unload();
  });
}

void frmErrorReport::cmdCancel_Click() {
  IgnoreErrors([&] { Unload(); });
}

void frmErrorReport::lblClickHere_Click() {
  modFileSystem::RunApp(product::kErrorPolicyPage, "", "");
}

}  // namespace stow
