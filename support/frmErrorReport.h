#pragma once
// The error report window: tells the user an unknown exception happened and lets
// them mail the generated report to the maker, view or edit it first, or cancel.

#include "platform/forms.h"

namespace stow {

class frmErrorReport : public ui::Form {
 public:
  // Form heights in twips: report frame hidden / shown.
  static constexpr double kCollapsedHeight = 3150;
  static constexpr double kExpandedHeight = 5535;

  frmErrorReport();

  void OnLoad() override;

  ui::Label& lblCommentFirst;
  ui::Label& lblCommentSecond;
  ui::CommandButton& cmdOpenEmail;
  ui::CommandButton& cmdViewReport;
  ui::CommandButton& cmdCancel;
  ui::Label& lblLearn;
  ui::Label& lblClickHere;
  ui::Label& lblApplication;
  ui::Label& lblBuild;
  ui::Frame& frameReport;
  ui::TextBox& txtReport;

 private:
  void cmdOpenEmail_Click();
  void cmdViewReport_Click();
  void cmdCancel_Click();
  void lblClickHere_Click();

  Connection onOpenEmail_, onViewReport_, onCancel_, onClickHere_;
};

}  // namespace stow
