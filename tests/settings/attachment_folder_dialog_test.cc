// The attachment folder dialog: validation, storing per host folder, ribbon redraw.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/addin_environment.h"
#include "platform/office.h"
#include "settings/frmAttachmentFolder.h"
#include "support/attachmentFolders.h"
#include "support/modGlobal.h"

namespace stow {
namespace {

class AttachmentFolderDialogTest : public testing::AddinTest {
 protected:
  void SetUp() override {
    ribbon = std::make_shared<office::RibbonUI>();
    modGlobal::objRibbonUI = ribbon;
  }
  std::shared_ptr<office::RibbonUI> ribbon;
};

TEST_F(AttachmentFolderDialogTest, RefusesBlanksAndMissingFoldersAndCancelStoresNothing) {
  env.OpenExplorer();
  frmAttachmentFolder dialog;
  dialog.Show(false);
  for (const std::string& path : {std::string("   "), env.Root() + "/missing"}) {
    dialog.txtAttachmentFolderPath.SetText(path);
    dialog.cmdOK.PerformClick();
    EXPECT_EQ(dialog.lblWarning.Caption, "Invalid Folder Path");
    EXPECT_TRUE(dialog.Loaded());
  }
  env.ui.QueueFolder(env.MakeFolder("x"));
  dialog.cmdBrowse.PerformClick();
  dialog.cmdCancel.PerformClick();
  EXPECT_FALSE(dialog.Loaded());
  EXPECT_EQ(ReadAttachmentFolderPathFromRegistry(env.Inbox()->FolderPath()), "");
  EXPECT_TRUE(ribbon->Invalidated().empty());
}

TEST_F(AttachmentFolderDialogTest, StoresForTheFolderOnScreenOnly) {
  auto other = env.mem().AddFolder(env.Inbox(), "Other");
  env.OpenExplorer(other);
  std::string chosen = env.MakeFolder("other-files");
  frmAttachmentFolder dialog;
  dialog.Show(false);
  env.ui.QueueFolder(chosen);
  dialog.cmdBrowse.PerformClick();
  EXPECT_EQ(dialog.txtAttachmentFolderPath.Text, chosen);
  dialog.cmdOK.PerformClick();
  EXPECT_FALSE(dialog.Loaded());
  EXPECT_EQ(env.GetSetting(AttachmentFolderValueName(other->FolderPath())), chosen);
  EXPECT_EQ(ReadAttachmentFolderPathFromRegistry(env.Inbox()->FolderPath()), "");
  EXPECT_EQ(modGlobal::strCurrentAttachmentFolder, chosen);
  EXPECT_EQ(ribbon->Invalidated(),
            (std::vector<std::string>{"cmdAttachmentFolder", "sepMailFolder"}));
}

TEST_F(AttachmentFolderDialogTest, WithoutAHostFolderNothingIsStoredAsIfItWorked) {
  std::string chosen = env.MakeFolder("nowhere");
  frmAttachmentFolder dialog;
  dialog.Show(false);
  dialog.txtAttachmentFolderPath.SetText(chosen);
  dialog.cmdOK.PerformClick();
  EXPECT_EQ(dialog.lblWarning.Caption, "Invalid Folder Path");
  EXPECT_EQ(modGlobal::strCurrentAttachmentFolder, "");
}

}  // namespace
}  // namespace stow
