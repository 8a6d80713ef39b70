// Copying attachments to a folder, and the single-item commands.

#include <string>

#include "commands/commandRunner.h"
#include "commands/commands_env.h"
#include "commands/copyAttachments.h"
#include "platform/shell.h"
#include "platform/ui.h"
#include "support/attachmentFolders.h"
#include "support/modGlobal.h"

namespace stow::testing {
namespace {

class CopyTest : public CommandsTest {
 protected:
  void SetUp() override { target = env.MakeFolder("target"); }
  std::string target;
};

TEST_F(CopyTest, CopiesVisibleAttachmentsOnlyAndLeavesTheItemAlone) {
  mem::MailSpec mailSpec;
  mailSpec.subject = "mixed";
  mailSpec.htmlBody = "<html><body><img src=\"cid:logo\"></body></html>";
  mailSpec.attachments = {Attachment("report.pdf", "report"), Attachment("logo.png", "png", "logo"),
                          Attachment("secret.txt", "hidden", "", true)};
  auto item = env.AddMail(mailSpec);
  EXPECT_EQ(SaveAttachmentsToFolder(item, target, true, true), target);
  EXPECT_EQ(env.ListFiles(target), std::vector<std::string>{"report.pdf"});
  EXPECT_EQ(env.ReadFile(target + "/report.pdf"), "report");
  EXPECT_EQ(env.mem().faults().SaveCount(), 0);
  EXPECT_EQ(env.Reload(item)->Attachments()->Count(), 3);
}

TEST_F(CopyTest, NothingHappensWithoutAttachmentsOrWithoutTheFolder) {
  auto bare = env.AddMail(Mail("bare"));
  EXPECT_EQ(SaveAttachmentsToFolder(bare, target, true, true), "");
  mem::MailSpec mailSpec;
  mailSpec.attachments = {Attachment("a.pdf", "a")};
  auto item = env.AddMail(mailSpec);
  EXPECT_EQ(SaveAttachmentsToFolder(item, target + "/missing", true, true), "");
  EXPECT_FALSE(env.Exists(target + "/missing"));
  EXPECT_TRUE(env.ListFiles(target).empty());
}

TEST_F(CopyTest, ExistingFileIsOverwrittenOrANumberedNameIsUsedWhenItCannotBeDeleted) {
  mem::MailSpec mailSpec;
  mailSpec.attachments = {Attachment("report.pdf", "new"), Attachment("README", "readme")};
  auto item = env.AddMail(mailSpec);
  env.WriteFile(target + "/report.pdf", "old");
  SaveAttachmentsToFolder(item, target, true, true);
  EXPECT_EQ(env.ReadFile(target + "/report.pdf"), "new");

  env.WriteFile(target + "/README", "old readme");
  env.fs().Fail(mem::FsOp::DeleteFile, target + "/report.pdf", errnum::kPermissionDenied);
  env.fs().Fail(mem::FsOp::DeleteFile, target + "/README", errnum::kPermissionDenied);
  SaveAttachmentsToFolder(item, target, true, true);
  EXPECT_EQ(env.ReadFile(target + "/report.pdf"), "new");
  EXPECT_EQ(env.ReadFile(target + "/README"), "old readme");
  auto files = env.ListFiles(target);
  ASSERT_EQ(files.size(), 4u);
  int numbered = 0;
  for (const auto& f : files) {
    if (f == "report.pdf" || f == "README") continue;
    bool pdf = f.size() == 15 && f.rfind("report_", 0) == 0 && f.substr(11) == ".pdf";
    bool readme = f.size() == 11 && f[0] == '_' && f.substr(5) == "README";
    EXPECT_TRUE(pdf || readme) << f;
    int number = std::stoi(pdf ? f.substr(7, 4) : f.substr(1, 4));
    EXPECT_GE(number, 1000);
    EXPECT_LT(number, 9999);
    ++numbered;
  }
  EXPECT_EQ(numbered, 2);
}

TEST_F(CopyTest, AnAttachmentNameCannotLeaveTheChosenFolder) {
  mem::MailSpec mailSpec;
  mailSpec.attachments = {Attachment("../escape.txt", "x"), Attachment("..", "y")};
  auto item = env.AddMail(mailSpec);
  SaveAttachmentsToFolder(item, target, true, true);
  EXPECT_FALSE(env.Exists(env.Root() + "/escape.txt"));
  EXPECT_EQ(env.ListFiles(target).size(), 2u);
}

TEST_F(CopyTest, CopyCommandStopsSilentlyWhenThePromptIsCancelled) {
  mem::MailSpec mailSpec;
  mailSpec.attachments = {Attachment("a.pdf", "a")};
  auto item = env.AddMail(mailSpec);
  env.OpenExplorer(nullptr, {item});
  CopyAttachmentsToFileFolder();
  EXPECT_EQ(env.ui.Browses().size(), 1u);
  EXPECT_TRUE(env.ui.MessageBoxes().empty());
  EXPECT_TRUE(env.ListFiles(target).empty());

  env.OpenInspector(item);
  env.ui.QueueFolder(target);
  CopyAttachmentsToFileFolder();
  EXPECT_EQ(env.ListFiles(target), std::vector<std::string>{"a.pdf"});
}

TEST_F(CopyTest, SpecialFolderIsTheShellsDocumentsFolder) {
  EXPECT_EQ(GetSpecialFolderPath(platform::CSIDL_PERSONAL, 0), env.Documents());
}

TEST_F(CopyTest, CurrentSelectedItemComesFromTheActiveWindow) {
  auto a = env.AddMail(Mail("a"));
  auto b = env.AddMail(Mail("b"));
  env.OpenExplorer(nullptr, {});
  EXPECT_EQ(GetCurrentSelectedItem(), nullptr);
  env.OpenExplorer(nullptr, {b, a});
  ASSERT_NE(GetCurrentSelectedItem(), nullptr);
  EXPECT_EQ(GetCurrentSelectedItem()->Subject(), "b");
  env.OpenInspector(a);
  EXPECT_EQ(GetCurrentSelectedItem()->Subject(), "a");
  env.host().SetActiveWindow(nullptr);
  EXPECT_EQ(GetCurrentSelectedItem(), nullptr);
}

// Refusals and Cancel of the dialog itself are the settings_ui tests'.
TEST_F(CopyTest, AttachmentFolderDialogShowsTheStoredPathAndStoresTheNewOne) {
  auto folder = env.mem().AddFolder(env.mem().Root(), "Clients");
  std::string old = env.MakeFolder("old");
  WriteAttachmentFolderPathToRegistry(folder->FolderPath(), old);
  env.OpenExplorer(folder);
  std::string seen;
  env.ui.OnModal("frmAttachmentFolder", [&](ui::Form& f) {
    auto* path = f.Find<ui::TextBox>("txtAttachmentFolderPath");
    seen = path->Text;
    path->SetText(target);
    f.Find<ui::CommandButton>("cmdOK")->PerformClick();
  });
  SetSeparateFolderPathForAttachment();
  EXPECT_EQ(seen, old);
  EXPECT_EQ(ReadAttachmentFolderPathFromRegistry(folder->FolderPath()), target);
  EXPECT_EQ(ReadAttachmentFolderPathFromRegistry(env.Inbox()->FolderPath()), "");
  EXPECT_EQ(modGlobal::strCurrentAttachmentFolder, target);
  EXPECT_TRUE(env.ui.ModalLeftOpen().empty());
}

}  // namespace
}  // namespace stow::testing
