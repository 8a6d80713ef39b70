#include "settings/frmAttachmentFolder.h"

#include <string>

#include "engine/naming.h"
#include "platform/com_error.h"
#include "platform/file_system.h"
#include "support/attachmentFolders.h"
#include "support/modErroHandling.h"
#include "support/modGlobal.h"
#include "support/modOutlookHelpers.h"
#include "support/ribbonRefresh.h"

namespace stow {

namespace {

std::string Trim(const std::string& s) {
  auto first = s.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

}  // namespace

frmAttachmentFolder::frmAttachmentFolder()
    : ui::Form("frmAttachmentFolder"),
      Label1(Add<ui::Label>("Label1")),
      txtAttachmentFolderPath(Add<ui::TextBox>("txtAttachmentFolderPath")),
      cmdBrowse(Add<ui::CommandButton>("cmdBrowse")),
      lblWarning(Add<ui::Label>("lblWarning")),
      cmdOK(Add<ui::CommandButton>("cmdOK")),
      cmdCancel(Add<ui::CommandButton>("cmdCancel")) {
  Caption = "Specify an attachment folder";
  Label1.Caption =
      "File folder where detached attachments will be stored from items from this Outlook "
      "folder";
  cmdBrowse.Caption = "...";
  cmdOK.Caption = "OK";
  cmdCancel.Caption = "Cancel";
  onBrowse_ = cmdBrowse.Click.Connect([this] { cmdBrowse_Click(); });
  onOK_ = cmdOK.Click.Connect([this] { cmdOK_Click(); });
  onCancel_ = cmdCancel.Click.Connect([this] { cmdCancel_Click(); });
}

void frmAttachmentFolder::cmdBrowse_Click() {
  std::string chosen = BrowseForFolder(0, "Select a folder");
  if (!chosen.empty()) txtAttachmentFolderPath.SetText(chosen);
}

void frmAttachmentFolder::cmdOK_Click() {
  Trap("Explorer.cmdOK.Click", [&] {
    const std::string path = txtAttachmentFolderPath.Text;
    if (RefuseUnrecordableFolder(path)) {
      lblWarning.Caption = "Invalid Folder Path";
      return;
    }
    if (Trim(path).empty() || !Required(modGlobal::objFSO).FolderExists(path)) {
      lblWarning.Caption = "Invalid Folder Path";
      return;
    }
    std::string folderPath = modOutlookCode::GetCurrentFolderPath();
    // With no host folder on screen there is no value name to store under; storing
    // anyway would lose the path while the button showed it as chosen.
    if (folderPath.empty()) {
      lblWarning.Caption = "Invalid Folder Path";
      return;
    }
    WriteAttachmentFolderPathToRegistry(folderPath, path);
    modGlobal::strCurrentAttachmentFolder = path;
    modRibbon::InvalidateRibbonControl("cmdAttachmentFolder");
    modRibbon::InvalidateRibbonControl("sepMailFolder");
    Unload();
  });
}

void frmAttachmentFolder::cmdCancel_Click() {
  Unload();
}

}  // namespace stow
