#pragma once
// The dialog choosing the file folder of the host folder on screen (used when every
// host folder has a file folder of its own). OK refuses a path where no folder
// exists; otherwise it stores the path for the current host folder and tells the
// ribbon to redraw the attachment-folder button.

#include "platform/forms.h"

namespace stow {

class frmAttachmentFolder : public ui::Form {
 public:
  frmAttachmentFolder();

  ui::Label& Label1;
  ui::TextBox& txtAttachmentFolderPath;
  ui::CommandButton& cmdBrowse;
  ui::Label& lblWarning;
  ui::CommandButton& cmdOK;
  ui::CommandButton& cmdCancel;

 private:
  void cmdBrowse_Click();
  void cmdOK_Click();
  void cmdCancel_Click();

  Connection onBrowse_, onOK_, onCancel_;
};

}  // namespace stow
