// Copying attachments to a folder, and the single-item commands.

#include <string>

#include "commands/commandRunner.h"
#include "commands/commands_env.h"
#include "commands/copyAttachments.h"
#include "platform/shell.h"

namespace stow::testing {
namespace {

class CopyTest : public CommandsTest {
 protected:
  void SetUp() override { target = env.MakeFolder("target"); }
  std::string target;
};

TEST_F(CopyTest, CopiesVisibleAttachmentsOnlyAndLeavesTheItemAlone) {
  auto item = env.AddMail({.subject = "mixed",
                           .htmlBody = "<html><body><img src=\"cid:logo\"></body></html>",
                           .attachments = {{"report.pdf", "report"},
                                           {"logo.png", "png", "logo"},
                                           {"secret.txt", "hidden", "", true}}});
  EXPECT_EQ(SaveAttachmentsToFolder(item, target, true, true), target);
  EXPECT_EQ(env.ListFiles(target), std::vector<std::string>{"report.pdf"});
  EXPECT_EQ(env.ReadFile(target + "/report.pdf"), "report");
  EXPECT_EQ(env.mem().faults().SaveCount(), 0);
  EXPECT_EQ(env.Reload(item)->Attachments()->Count(), 3);
}

TEST_F(CopyTest, NothingHappensWithoutAttachmentsOrWithoutTheFolder) {
  auto bare = env.AddMail({.subject = "bare"});
  EXPECT_EQ(SaveAttachmentsToFolder(bare, target, true, true), "");
  auto item = env.AddMail({.attachments = {{"a.pdf", "a"}}});
  EXPECT_EQ(SaveAttachmentsToFolder(item, target + "/missing", true, true), "");
  EXPECT_FALSE(env.Exists(target + "/missing"));
  EXPECT_TRUE(env.ListFiles(target).empty());
}

TEST_F(CopyTest, ExistingFileIsOverwrittenOrANumberedNameIsUsedWhenItCannotBeDeleted) {
  auto item = env.AddMail({.attachments = {{"report.pdf", "new"}, {"README", "readme"}}});
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
  auto item = env.AddMail({.attachments = {{"../escape.txt", "x"}, {"..", "y"}}});
  SaveAttachmentsToFolder(item, target, true, true);
  EXPECT_FALSE(env.Exists(env.Root() + "/escape.txt"));
  EXPECT_EQ(env.ListFiles(target).size(), 2u);
}

TEST_F(CopyTest, CopyCommandStopsSilentlyWhenThePromptIsCancelled) {
  auto item = env.AddMail({.attachments = {{"a.pdf", "a"}}});
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

TEST_F(CopyTest, CurrentSelectedItemComesFromTheActiveWindowAndDocumentsFromTheShell) {
  EXPECT_EQ(GetSpecialFolderPath(platform::CSIDL_PERSONAL, 0), env.Documents());
  auto a = env.AddMail({.subject = "a"});
  auto b = env.AddMail({.subject = "b"});
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

}  // namespace
}  // namespace stow::testing
