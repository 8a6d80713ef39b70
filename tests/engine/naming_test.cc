#include "engine/naming.h"

#include <gtest/gtest.h>

#include "common/regex.h"

#include "tests/common/addin_environment.h"
#include "tests/engine/engine_test_util.h"

namespace stow::testing {
namespace {

class NamingTest : public AddinTest {
 protected:
  std::shared_ptr<om::Item> Mail(const std::string& subject = "Re: Q3?") {
    return env.AddMail({.subject = subject, .receivedTime = DateTime{2011, 7, 6, 14, 30, 5}});
  }
  void Naming(int option) { env.SetSetting("AttachmentNamingOption", std::to_string(option)); }
  static bool Matches(const std::string& text, const char* pattern) {
    return std::regex_match(text, std::regex(pattern));
  }
};

TEST_F(NamingTest, ReceivedTimeWithAndWithoutPrefix) {
  Naming(0);
  auto item = Mail();
  EXPECT_EQ(GetAttachmentName(item, "a:b.pdf", false, false), "2011.07.06_14.30.05_a-b.pdf");
  EXPECT_TRUE(Matches(GetAttachmentName(item, "a:b.pdf", true, false),
                      R"(2011\.07\.06_14\.30\.05_\d{5}_a-b\.pdf)"));
  // A time that cannot be read.
  std::string id = item->EntryID();
  env.mem().faults().MakeGone(id);
  EXPECT_EQ(GetAttachmentName(item, "x.pdf", false, false), "TIME_UNRETRIEVABLE_x.pdf");
  EXPECT_TRUE(
      Matches(GetAttachmentName(item, "x.pdf", true, false), R"(TIME_UNRETRIEVABLE_\d{5}_x\.pdf)"));
}

TEST_F(NamingTest, SubjectRunningNumberRandomAndAttachmentName) {
  auto item = Mail();
  Naming(1);
  EXPECT_EQ(GetAttachmentName(item, "x.doc", false, false), "Re- Q3_x.doc");

  Naming(2);
  std::string first = GetAttachmentName(item, "r.PDF", false, false);
  ASSERT_TRUE(Matches(first, R"(\d+\.pdf)")) << first;
  int n = std::stoi(first);
  EXPECT_EQ(GetAttachmentName(item, "r.pdf", false, false), std::to_string(n + 1) + ".pdf");
  EXPECT_TRUE(Matches(GetAttachmentName(item, "r.pdf", true, false),
                      (std::to_string(n + 2) + R"(\d{5}_\.pdf)").c_str()));
  EXPECT_EQ(GetAttachmentName(item, "noext", false, false), std::to_string(n + 3));

  Naming(3);
  EXPECT_TRUE(Matches(GetAttachmentName(item, "photo.JPG", false, false), R"(\d{5}\.jpg)"));
  EXPECT_TRUE(Matches(GetAttachmentName(item, "noext", true, false), R"(\d{5}\d{5}_)"));
  for (int i = 0; i < 200; ++i) {
    std::int32_t r = GetRandomLong(10000, 10003);
    EXPECT_GE(r, 10000);
    EXPECT_LT(r, 10003);
  }

  Naming(4);
  EXPECT_EQ(GetAttachmentName(item, "plain.txt", false, false), "plain.txt");
  EXPECT_TRUE(Matches(GetAttachmentName(item, "???", false, false), R"(\d{6})"));
  EXPECT_TRUE(Matches(GetAttachmentName(item, "..", false, false), R"(\d{6})"));

  Naming(9);
  EXPECT_TRUE(Matches(GetAttachmentName(item, "x.pdf", false, false), R"(\d{6})"));
}

TEST_F(NamingTest, UnreadableNameIgnoresPrefixAndOptionAndExtensionNames) {
  Naming(1);
  auto item = Mail();
  EXPECT_TRUE(Matches(GetAttachmentName(item, "Scan.TIFF", true, true),
                      R"(NAME_UNRETRIEVABLE_\d{5}\.tiff)"));
  EXPECT_TRUE(
      Matches(GetAttachmentName(item, "noext", false, true), R"(NAME_UNRETRIEVABLE_\d{5})"));
  EXPECT_EQ(GetExtensionName("Report.PDF", false), "pdf");
  EXPECT_EQ(GetExtensionName("Report.PDF", true), ".pdf");
  EXPECT_EQ(GetExtensionName("a.tar.GZ", false), "gz");
  EXPECT_EQ(GetExtensionName("end.", false), "");
  EXPECT_EQ(GetExtensionName("end.", true), ".");
  EXPECT_EQ(GetExtensionName("none", true), "");
}

TEST_F(NamingTest, AttachmentFolderByFolderOption) {
  auto inbox = env.Inbox();
  auto sub = env.mem().AddFolder(inbox, "Sub");
  env.UsePerFolderAttachmentFolder(sub, "/files/sub");
  EXPECT_EQ(env.GetSetting("..Personal Folders.Inbox.Sub"), "/files/sub");
  EXPECT_EQ(GetAttachmentFolderPathSetByUser(sub), "/files/sub");
  EXPECT_EQ(GetAttachmentFolderPathSetByUser(inbox), "");
  // No folder given: the active explorer's folder.
  env.OpenExplorer(sub);
  EXPECT_EQ(GetAttachmentFolderPathSetByUser(nullptr), "/files/sub");

  env.UseAttachmentFolder("/files/all");
  EXPECT_EQ(GetAttachmentFolderPathSetByUser(inbox), "/files/all");
  env.SetSetting("AttachmentFolderOption", "2");
  EXPECT_EQ(GetAttachmentFolderPathSetByUser(inbox), "");
}

TEST_F(NamingTest, FolderPromptIsOwnedByTheHostWindow) {
  auto explorer = env.OpenExplorer();
  ui::WindowHandle main = env.ui.AddWindow("rctrl_renwnd32", explorer->Caption());
  env.ui.QueueFolder(std::string("/picked") + '\0' + "junk");
  EXPECT_EQ(fncAskForFolderPath(), "/picked");
  ASSERT_EQ(env.ui.Browses().size(), 1u);
  EXPECT_EQ(env.ui.Browses()[0].owner, main);
  EXPECT_EQ(env.ui.Browses()[0].title, "Select a file folder to save the attachments to");

  auto item = Mail("Open one");
  auto inspector = env.OpenInspector(item);
  ui::WindowHandle window = env.ui.AddWindow("rctrl_renwnd32", inspector->Caption());
  EXPECT_EQ(fncAskForFolderPath(), "");  // cancelled
  EXPECT_EQ(env.ui.Browses()[1].owner, window);

  env.host().SetActiveWindow(nullptr);
  fncAskForFolderPath();
  EXPECT_EQ(env.ui.Browses()[2].owner, 0u);
}

}  // namespace
}  // namespace stow::testing
