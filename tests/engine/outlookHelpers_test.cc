#include <gtest/gtest.h>

#include "platform/dictionary.h"
#include "support/modGlobal.h"
#include "support/modOutlookHelpers.h"
#include "tests/common/addin_environment.h"
#include "tests/engine/engine_test_util.h"

namespace stow::testing {
namespace {

using namespace modOutlookCode;

TEST(GetFolderType, MailboxFolderOrNothing) {
  EXPECT_EQ(GetFolderType("Jane Doe"), "MailBox");
  EXPECT_EQ(GetFolderType("\\\\Personal Folders\\Inbox"), "Folder");
  EXPECT_EQ(GetFolderType("   "), "");
  EXPECT_EQ(GetFolderType(""), "");
}

TEST_F(AddinTest, FullFolderPathsAndBackAndMailboxNames) {
  auto inbox = env.Inbox();
  auto sub = env.mem().AddFolder(inbox, "Projects");
  auto deeper = env.mem().AddFolder(sub, "2011");
  EXPECT_EQ(GetFullFolderPath(deeper, modGlobal::objNameSpace),
            "\\\\Personal Folders\\Inbox\\Projects\\2011");
  EXPECT_EQ(GetFullFolderPath(inbox, modGlobal::objNameSpace), "\\\\Personal Folders\\Inbox");

  auto found = GetFolderFromPath("\\\\Personal Folders\\Inbox\\Projects\\2011", true);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->FolderPath(), deeper->FolderPath());
  EXPECT_TRUE(env.ui.MessageBoxes().empty());

  EXPECT_FALSE(GetFolderFromPath("\\\\Gone Store\\Inbox", false));
  EXPECT_TRUE(env.ui.MessageBoxes().empty());
  EXPECT_FALSE(GetFolderFromPath("\\\\Personal Folders\\Inbox\\Nope", true));
  ASSERT_EQ(env.MessageTexts().size(), 1u);
  EXPECT_EQ(env.MessageTexts()[0],
            "Cannot access the specified path!\r\nPlease make sure it exists and you have the "
            "appropriate permission!");
  EXPECT_EQ(env.ui.MessageBoxes()[0].style, ui::vbCritical);
  EXPECT_FALSE(GetFolderFromPath("  ", true));
  EXPECT_EQ(env.MessageTexts().size(), 1u);
  // Mailbox names open the shared inbox.
  auto shared = env.mem().AddMailbox("Jane");
  found = GetFolderFromPath("Jane", false);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->FolderPath(), shared->FolderPath());
  EXPECT_FALSE(GetFolderFromPath("Nobody", true));
  EXPECT_EQ(env.MessageTexts().size(), 2u);
}

TEST_F(AddinTest, CurrentFolderFollowsTheActiveWindowShellObjectAndModalForms) {
  EXPECT_EQ(GetCurrentFolderPath(), "");
  EXPECT_FALSE(IsActiveWindowOfInspector());
  auto sent = env.store().GetDefaultFolder(om::olFolderSentMail);
  env.OpenExplorer(env.Inbox());
  EXPECT_EQ(GetCurrentFolderPath(), "\\\\Personal Folders\\Inbox");
  auto item = env.AddMail({.subject = "sent one"}, sent);
  env.OpenInspector(item);
  EXPECT_TRUE(IsActiveWindowOfInspector());
  EXPECT_EQ(GetCurrentFolderPath(), "\\\\Personal Folders\\Sent Items");
  env.host().FailActiveWindow();
  EXPECT_FALSE(IsActiveWindowOfInspector());
  // The shell object, and modal forms.
  EXPECT_EQ(GetWS(), env.ws);
  env.factory.FailCreation("Wscript.Shell");
  EXPECT_FALSE(GetWS());
  ui::Form form("frmTest");
  int shown = 0;
  env.ui.OnModal("frmTest", [&](ui::Form&) { ++shown; });
  ShowFormModal(form);
  EXPECT_EQ(shown, 1);
}

TEST_F(AddinTest, PickingAHostFolder) {
  auto explorer = env.OpenExplorer();
  ui::WindowHandle main = env.ui.AddWindow("rctrl_renwnd32", explorer->Caption());
  auto drafts = env.store().GetDefaultFolder(om::olFolderDrafts);
  env.host().SetPickFolderAnswer(drafts);
  auto picked = PickOutlookFolder(nullptr);
  ASSERT_TRUE(picked);
  EXPECT_EQ(picked->FolderPath(), drafts->FolderPath());
  EXPECT_EQ(env.ui.BroughtToFront(), std::vector<ui::WindowHandle>{main});
  env.host().SetPickFolderAnswer(nullptr);
  EXPECT_FALSE(PickOutlookFolder(nullptr));
}

}  // namespace
}  // namespace stow::testing
