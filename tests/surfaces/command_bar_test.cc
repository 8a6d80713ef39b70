// The command bars: the rows of each mode, the per-folder button, hiding on ribbon
// hosts, the position kept between runs, and the compose bar's two commands.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/RozozizeraRoreravo.h"
#include "platform/office.h"
#include "support/modGlobal.h"
#include "support/product.h"
#include "surfaces/cAttachFilesTB.h"
#include "surfaces/cStandardTB.h"
#include "surfaces/trackers.h"
#include "surfaces_env.h"

namespace stow {
namespace {

using testing::SurfacesTest;

// depth|caption|style|faceId|beginGroup
std::vector<std::string> Rows(office::CommandBar& bar) {
  std::vector<std::string> rows;
  for (const auto& row : office::Flatten(bar)) {
    std::string text = std::to_string(row.depth) + "|" + row.control->Caption;
    if (auto* b = dynamic_cast<office::CommandBarButton*>(row.control.get()))
      text += "|" + std::to_string(b->Style) + "|" + std::to_string(b->FaceId);
    text += row.control->BeginGroup ? "|g" : "";
    rows.push_back(text);
  }
  return rows;
}

const std::vector<std::string> kCommon = {"0|Detach|3|1674|g", "0|Re-Attach|3|258|g",
                                          "0|Remove Links|1|2137|g", "0|Delete|1|478|g",
                                          "0|Advanced...|g"};

class CommandBarTest : public SurfacesTest {
 protected:
  // The add-in running, a mail detached through it, and a reply to it open.
  std::shared_ptr<om::Item> OpenReplyToADetachedMail(RozozizeraRoreravo& addin) {
    addin.AddinInstance_OnConnection(env.hostPtr(), 0, nullptr, Value());
    auto original = Mail("orig");
    env.OpenExplorer(nullptr, {original});
    addin.AddinInstance_OnStartupComplete(Value());
    addin.SubExecuteAction(office::RibbonControl("cmdStripAttachments"));
    EXPECT_TRUE(Processed(original));
    auto reply = env.Reload(original)->Reply();
    lastInspector = env.OpenInspector(reply);
    return reply;
  }
  std::shared_ptr<om::Inspector> lastInspector;

  std::shared_ptr<cStandardTB> ExplorerBar(std::shared_ptr<om::Explorer> explorer) {
    auto bar = std::make_shared<cStandardTB>();
    bar->set_oueCurrExplorer(std::move(explorer));
    bar->subAddButtons();
    return bar;
  }
};

TEST_F(CommandBarTest, ExplorerModeHasEveryRowHiddenOnRibbonHosts) {
  env.host().SetVersion("12.0.0.0");
  modGlobal::intOutlookVersion = 0;
  auto explorer = env.OpenExplorer();
  auto tb = ExplorerBar(explorer);
  ASSERT_TRUE(tb->objExplorerToolbar);
  auto& bar = *tb->objExplorerToolbar;
  EXPECT_EQ(bar.Name, "Stowbright");
  EXPECT_TRUE(bar.Visible);
  EXPECT_TRUE(bar.Temporary());
  EXPECT_FALSE(bar.MenuBar());
  std::vector<std::string> expected = {"0|Stowbright|2|0"};
  expected.insert(expected.end(), kCommon.begin(), kCommon.end());
  expected.insert(expected.end(), {"1|Detach All|3|1674", "1|Re-Attach All|3|258",
                                   "1|Copy attachments to a custom file folder|3|5990|g",
                                   "1|Detach to a custom file Folder|3|5990", "0|Settings|g",
                                   "1|Monitored Folders|3|1667", "1|Attachment Options|3|6003",
                                   "1|Extensions|3|6671", "0|Help|g", "1|Help Topics|3|983",
                                   "1|Watch Video Demonstration|3|3525",
                                   "1|Visit product page|3|7276", "1|About Stowbright|2|0|g"});
  EXPECT_EQ(Rows(bar), expected);
  auto title = std::dynamic_pointer_cast<office::CommandBarButton>(bar.Controls().Item(1));
  EXPECT_FALSE(title->Enabled);
  EXPECT_EQ(title->TooltipText, product::kHomePage);
  EXPECT_EQ(title->HyperlinkType, office::msoCommandBarButtonHyperlinkOpen);
  EXPECT_EQ(bar.Controls().Item("Detach")->TooltipText,
            "Detach attachments from the selected emails to a file folder");

  // Ribbon hosts get the same bar, hidden.
  env.host().SetVersion("14.0.0.0");
  modGlobal::intOutlookVersion = 0;
  auto hidden = ExplorerBar(env.OpenExplorer());
  ASSERT_TRUE(hidden->objExplorerToolbar);
  EXPECT_FALSE(hidden->objExplorerToolbar->Visible);
  EXPECT_EQ(Rows(*hidden->objExplorerToolbar), expected);
}

TEST_F(CommandBarTest, ReadInspectorHasNoFolderSettingsOrHelpRows) {
  auto item = Mail("read");
  auto inspector = env.OpenInspector(item);
  auto tb = std::make_shared<cStandardTB>();
  tb->set_oueCurrInspector(inspector);
  tb->subAddButtons();
  ASSERT_TRUE(tb->objExplorerToolbar);
  std::vector<std::string> expected = {"0|Stowbright|2|0"};
  expected.insert(expected.end(), kCommon.begin(), kCommon.end());
  expected.insert(expected.end(), {"1|Copy attachments to a custom file folder|3|5990|g",
                                   "1|Detach to a custom file Folder|3|5990"});
  EXPECT_EQ(Rows(*tb->objExplorerToolbar), expected);
  // Clicking a bar button runs its command on the open item.
  std::dynamic_pointer_cast<office::CommandBarButton>(
      tb->objExplorerToolbar->Controls().Item("Detach"))
      ->Execute();
  EXPECT_TRUE(Processed(item));
}

TEST_F(CommandBarTest, PerFolderButtonOnlyWithOptionZeroAndItsCaptionFollowsTheStore) {
  auto explorer = env.OpenExplorer();
  auto tb = ExplorerBar(explorer);
  EXPECT_EQ(Rows(*tb->objExplorerToolbar)[1], "0|Detach|3|1674|g");

  env.SetSetting("AttachmentFolderOption", "0");
  // As at a folder switch: the old bar goes (with every bar of its name) before the new one.
  tb.reset();
  tb = ExplorerBar(explorer);
  auto button = std::dynamic_pointer_cast<office::CommandBarButton>(
      tb->objExplorerToolbar->Controls().Item(2));
  EXPECT_EQ(button->Caption, "Specify Attachment Folder...");
  EXPECT_EQ(button->TooltipText, "Attachment Folder: [Not Specified]");
  EXPECT_EQ(button->FaceId, 23);

  std::string chosen = env.MakeFolder("per-folder");
  env.ui.OnModal("frmAttachmentFolder", [&](ui::Form& f) {
    f.Find<ui::TextBox>("txtAttachmentFolderPath")->SetText(chosen);
    f.Find<ui::CommandButton>("cmdOK")->PerformClick();
  });
  button->Execute();
  EXPECT_EQ(button->Caption, "Change Attachment Folder...");
  EXPECT_EQ(button->TooltipText, "Attachment Folder: " + chosen);
  EXPECT_EQ(tb->UniqueAttachmentFolderPath, chosen);
}

TEST_F(CommandBarTest, RemovingDeletesTheBarAndBarsLeftByAnEarlierRun) {
  auto explorer = env.OpenExplorer();
  auto bars = explorer->CommandBars();
  bars->Add("Stowbright", office::msoBarTop, false, false);  // an earlier run's
  bars->Add("Other", office::msoBarTop, false, true);
  auto tb = ExplorerBar(explorer);
  auto detach = tb->objExplorerToolbar->Controls().Item("Detach");
  EXPECT_EQ(bars->Count(), 3);
  tb->subRemoveButtons();
  ASSERT_EQ(bars->Count(), 1);
  EXPECT_EQ(bars->Item(1)->Name, "Other");
  EXPECT_TRUE(detach->Deleted());
  EXPECT_FALSE(tb->oueCurrExplorer());
  tb->subRemoveButtons();  // again: nothing left to do
}

TEST_F(CommandBarTest, PositionIsSavedWhenTheExplorerClosesAndRestoredOnTheNextBar) {
  env.SetSetting("MainTBTop", "80");
  env.SetSetting("MainTBLeft", "oops");
  auto explorer = env.OpenExplorer();
  auto tb = ExplorerBar(explorer);
  auto& bar = *tb->objExplorerToolbar;
  EXPECT_EQ(bar.Top, 80);
  EXPECT_EQ(bar.Left, 0);  // not a number: left where the host put it
  bar.Top = 120;
  bar.Left = 300;
  bar.Position = office::msoBarFloating;
  bar.RowIndex = 4;
  env.host().CloseWindow(explorer);
  EXPECT_EQ(env.GetSetting("MainTBTop"), "120");
  EXPECT_EQ(env.GetSetting("MainTBLeft"), "300");
  EXPECT_EQ(env.GetSetting("MainTBPosition"), "4");
  EXPECT_EQ(env.GetSetting("MainTBRowIndex"), "4");

  auto next = ExplorerBar(env.OpenExplorer());
  EXPECT_EQ(next->objExplorerToolbar->Top, 120);
  EXPECT_EQ(next->objExplorerToolbar->Left, 300);
  EXPECT_EQ(next->objExplorerToolbar->Position, office::msoBarFloating);
  EXPECT_EQ(next->objExplorerToolbar->RowIndex, 4);
}

TEST_F(CommandBarTest, LastExplorerClosingThroughTheTrackersStillSavesThePosition) {
  RozozizeraRoreravo addin;
  addin.AddinInstance_OnConnection(env.hostPtr(), 0, nullptr, Value());
  auto explorer = env.OpenExplorer();
  addin.AddinInstance_OnStartupComplete(Value());
  auto bars = explorer->CommandBars();
  ASSERT_EQ(bars->Count(), 1);
  bars->Item(1)->Left = 777;
  env.host().CloseWindow(explorer);
  EXPECT_EQ(env.GetSetting("MainTBLeft"), "777");
  EXPECT_EQ(bars->Count(), 0);
}

TEST_F(CommandBarTest, ComposeBarAttachesTheRepliedToFilesOnce) {
  RozozizeraRoreravo addin;
  auto reply = OpenReplyToADetachedMail(addin);
  auto& compose = *modGlobal::objInspectors->colInspectorsComposeTB;
  ASSERT_EQ(compose.Count(), 1);
  auto tb = compose.Item(1);  // its number: the lifecycle test's
  ASSERT_TRUE(tb->objExplorerToolbar);
  EXPECT_EQ(tb->objExplorerToolbar->Name, "Stowbright Compose");
  EXPECT_EQ(Rows(*tb->objExplorerToolbar),
            (std::vector<std::string>{"0|Stowbright|2|0", "0|Remove Links|1|2137|g",
                                      "0|Attach Files|3|258|g"}));
  ASSERT_FALSE(tb->strAttachments.empty());

  tb->objExplorerToolbar->Controls().Item("Attach Files")->Execute();
  EXPECT_TRUE(tb->strAttachments.empty());
  std::int64_t count = reply->Attachments()->Count();
  EXPECT_GE(count, 1);
  tb->objExplorerToolbar->Controls().Item("Attach Files")->Execute();
  EXPECT_EQ(reply->Attachments()->Count(), count);

  env.host().CloseWindow(lastInspector);
  EXPECT_EQ(compose.Count(), 0);
}

TEST_F(CommandBarTest, ComposeRibbonButtonsUseTheBarOfTheConversation) {
  RozozizeraRoreravo addin;
  auto reply = OpenReplyToADetachedMail(addin);
  auto tb = modGlobal::objInspectors->colInspectorsComposeTB->Item(1);
  std::string list = tb->strAttachments;
  ASSERT_FALSE(list.empty());

  addin.SubExecuteAction(office::RibbonControl("cmdRemoveLinksCompose"));
  EXPECT_EQ(tb->strAttachments, list);
  EXPECT_EQ(reply->Attachments()->Count(), 0);
  addin.SubExecuteAction(office::RibbonControl("cmdReAttachCompose"));
  EXPECT_TRUE(tb->strAttachments.empty());
  EXPECT_GE(reply->Attachments()->Count(), 1);
}

}  // namespace
}  // namespace stow
