// The settings dialog and its pages, driven as a user would: open, change, Apply,
// Save or Exit; then the settings object, the stored values and the monitors.

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "common/addin_environment.h"
#include "engine/naming.h"
#include "platform/hostapp/safe_library.h"
#include "platform/office.h"
#include "settings/fSettings.h"
#include "settings/frmAttachmentFolder.h"
#include "settings/uscAttachment.h"
#include "settings/uscExtensions.h"
#include "settings/uscMonitoring.h"
#include "support/attachmentFolders.h"
#include "support/cSettings.h"
#include "support/fAbout.h"
#include "support/modGlobal.h"

namespace stow {
namespace {

class SettingsUiTest : public testing::AddinTest {
 protected:
  void TearDown() override { ReleaseSettingsDialog(); }

  // Opens the dialog on a page and runs script while it is shown.
  template <class Page>
  void Open(int page, std::function<void(fSettings&, Page&)> script) {
    env.ui.OnModal("fSettings", [&](ui::Form& f) {
      auto& dialog = dynamic_cast<fSettings&>(f);
      auto* p = dynamic_cast<Page*>(dialog.currentItem.get());
      ASSERT_NE(p, nullptr);
      script(dialog, *p);
    });
    modGlobal::intSettingsPage = static_cast<std::int16_t>(page);
    ShowSettings();
  }
};

TEST_F(SettingsUiTest, APageNumberOutsideTheTableShowsTheDialogWithoutAPage) {
  env.ui.OnModal("fSettings",
                 [&](ui::Form& f) { EXPECT_EQ(dynamic_cast<fSettings&>(f).currentItem, nullptr); });
  modGlobal::intSettingsPage = 3;
  ShowSettings();
}

TEST_F(SettingsUiTest, ExtensionsAreCleanedWhenSavedAndShownSoNextTime) {
  Open<uscExtensions>(2, [&](fSettings& d, uscExtensions& page) {
    page.txtExtensions.SetText("PDF,,jpg,pdf");
    d.tb.PerformClick("Apply");
    EXPECT_TRUE(d.Visible);  // Apply leaves this page open
    d.tb.PerformClick("Exit");
  });
  EXPECT_EQ(env.GetSetting("AttachmentExtensions"), "pdf,jpg");
  EXPECT_EQ(env.settings().AttachmentExtensions()->GetString(","), "pdf,jpg");

  std::string shown;
  Open<uscExtensions>(2, [&](fSettings& d, uscExtensions& page) {
    shown = page.txtExtensions.Text;
    page.txtExtensions.SetText("exe");
    d.tb.PerformClick("Exit");
  });
  EXPECT_EQ(shown, "pdf,jpg");
  EXPECT_EQ(env.GetSetting("AttachmentExtensions"), "pdf,jpg");
}

TEST_F(SettingsUiTest, AttachmentPageReadsAndStoresEveryOption) {
  Open<uscAttachment>(1, [&](fSettings& d, uscAttachment& page) {
    // First-run defaults.
    EXPECT_TRUE(page.optAttachmentFolder[1]->Value);
    EXPECT_TRUE(page.optNaming[3]->Value);
    EXPECT_TRUE(page.optAttachmentLink[1]->Value);
    EXPECT_TRUE(page.optLocation[0]->Value);
    EXPECT_TRUE(page.optSentItems[2]->Value);
    EXPECT_EQ(page.chkDeleteItemsPrompt.Value, 1);
    EXPECT_EQ(page.chkStartupSentItems.Value, 1);
    EXPECT_EQ(page.txtFolderPath.Text, env.DefaultAttachmentFolder());
    EXPECT_FALSE(page.txtHTTPAddress.Enabled);

    page.optNaming[0]->SetValue(true);
    EXPECT_FALSE(page.optNaming[3]->Value);
    page.optAttachmentLink[0]->SetValue(true);
    page.optLocation[1]->SetValue(true);
    page.chkEmbedHTTPPath.SetValue(1);
    EXPECT_TRUE(page.txtHTTPAddress.Enabled);
    page.txtHTTPAddress.SetText("http://files.example/att");
    page.chkDeleteItemPrompt.SetValue(1);
    page.chkStartupSentItems.SetValue(0);
    page.txtFolderPath.SetText(env.Root());
    d.tb.PerformClick("Save");
  });
  auto& s = env.settings();
  EXPECT_EQ(s.AttachmentNamingOption, 0);
  EXPECT_EQ(s.AttachmentDisplayOption, 0);
  EXPECT_EQ(s.AttachmentLocationOption, 1);
  EXPECT_TRUE(s.EmbedHTTPPath);
  EXPECT_TRUE(s.DeleteItemPrompt);
  EXPECT_EQ(s.StartUpSentItems, 0);
  EXPECT_EQ(env.GetSetting("AttachmentNamingOption"), "0");
  EXPECT_EQ(env.GetSetting("HTTPAddress"), "http://files.example/att");
  EXPECT_EQ(env.GetSetting("EmbedHTTPPath"), "-1");
  EXPECT_EQ(env.GetSetting("StartUpSentItems"), "0");
  EXPECT_EQ(env.GetSetting("AttachmentFolderPath"), env.Root());
  EXPECT_EQ(env.ui.FindForm("fSettings"), nullptr);  // Save unloads
}

TEST_F(SettingsUiTest, SwitchingTheFolderOptionRedrawsTheRibbonAndMovesTheExplorer) {
  auto ribbon = std::make_shared<office::RibbonUI>();
  modGlobal::objRibbonUI = ribbon;
  auto sub = env.mem().AddFolder(env.Inbox(), "Projects");
  auto explorer = env.OpenExplorer(sub);
  int switches = 0;
  auto c = explorer->FolderSwitch().Connect([&] { ++switches; });

  // Unchanged option: the explorer is not touched.
  Open<uscAttachment>(1, [&](fSettings& d, uscAttachment&) { d.tb.PerformClick("Apply"); });
  EXPECT_EQ(switches, 0);
  EXPECT_TRUE(ribbon->Invalidated().empty());

  bool hiddenByApply = false;
  Open<uscAttachment>(1, [&](fSettings& d, uscAttachment& page) {
    page.optAttachmentFolder[0]->SetValue(true);
    d.tb.PerformClick("Apply");
    hiddenByApply = !d.Visible;
  });
  EXPECT_TRUE(hiddenByApply);
  EXPECT_TRUE(env.ui.ModalLeftOpen().empty());
  EXPECT_EQ(env.GetSetting("AttachmentFolderOption"), "0");
  EXPECT_EQ(ribbon->Invalidated(),
            (std::vector<std::string>{"cmdAttachmentFolder", "sepMailFolder"}));
  EXPECT_EQ(switches, 1);
  EXPECT_EQ(explorer->CurrentFolder()->FolderPath(), env.Inbox()->FolderPath());
}

TEST_F(SettingsUiTest, ExitLeavesEverythingAsItWasTheSentItemsChoiceSetsUpOrReleasesTheMonitor) {
  Open<uscAttachment>(1, [&](fSettings& d, uscAttachment& page) {
    page.optSentItems[0]->SetValue(true);
    page.optAttachmentFolder[0]->SetValue(true);
    EXPECT_FALSE(page.txtFolderPath.Enabled);
    d.tb.PerformClick("Exit");
  });
  EXPECT_EQ(env.settings().SentItemsOption, 2);
  EXPECT_EQ(env.GetSetting("SentItemsOption"), "2");
  EXPECT_EQ(env.GetSetting("AttachmentFolderOption"), "1");
  EXPECT_EQ(modGlobal::oMonitoredSentItems, nullptr);

  Open<uscAttachment>(1, [&](fSettings& d, uscAttachment& page) {
    page.optSentItems[0]->SetValue(true);
    d.tb.PerformClick("Apply");
  });
  EXPECT_EQ(env.GetSetting("SentItemsOption"), "0");
  EXPECT_NE(modGlobal::oMonitoredSentItems, nullptr);

  Open<uscAttachment>(1, [&](fSettings& d, uscAttachment& page) {
    EXPECT_TRUE(page.optSentItems[0]->Value);
    page.optSentItems[2]->SetValue(true);
    d.tb.PerformClick("Apply");
  });
  EXPECT_EQ(modGlobal::oMonitoredSentItems, nullptr);
}

TEST_F(SettingsUiTest, MonitoringPageAddsRemovesAndRestartsMonitoring) {
  auto projects = env.mem().AddFolder(env.Inbox(), "Projects");
  std::string path = projects->FolderPath();
  env.host().SetPickFolderAnswer(projects);
  Open<uscMonitoring>(0, [&](fSettings& d, uscMonitoring& page) {
    EXPECT_FALSE(page.AttachmentFolderFrame.Visible);
    page.cmdPickFolder.PerformClick();
    EXPECT_EQ(page.txtSelectedFolder.Text, path);
    EXPECT_EQ(page.lblStatus.Caption, "Click the plus (+) button to add the selected folder");
    page.cmdAddFolder.PerformClick();
    // The same folder in other letters is one entry.
    page.txtSelectedFolder.SetText(path.substr(0, path.size() - 8) + "PROJECTS");
    page.cmdAddFolder.PerformClick();
    ASSERT_EQ(page.lvFolders.ListItems.size(), 1u);
    EXPECT_EQ(page.lvFolders.ListItems[0].SubItems,
              (std::vector<std::string>{"Folder", env.DefaultAttachmentFolder()}));
    EXPECT_EQ(page.lvFolders.ListItems[0].Tag, "publicfolder");
    d.tb.PerformClick("Apply");
    EXPECT_FALSE(d.Visible);
  });
  EXPECT_EQ(env.GetSetting("EmailFolders"), path);
  ASSERT_TRUE(modGlobal::colMonitoredFolders);
  EXPECT_EQ(modGlobal::colMonitoredFolders->Count(), 1);

  env.host().SetPickFolderAnswer(nullptr);
  Open<uscMonitoring>(0, [&](fSettings& d, uscMonitoring& page) {
    ASSERT_EQ(page.lvFolders.ListItems.size(), 1u);
    page.cmdPickFolder.PerformClick();
    EXPECT_EQ(page.lblStatus.Caption, "Invalid Folder");
    page.lvFolders.Select(0);
    page.cmdRemoveFolder.PerformClick();
    EXPECT_TRUE(page.lvFolders.ListItems.empty());
    d.tb.PerformClick("Save");
  });
  EXPECT_EQ(env.GetSetting("EmailFolders"), "");
  // An emptied list restarts nothing: the running monitor stays until the next load.
  ASSERT_TRUE(modGlobal::colMonitoredFolders);
  EXPECT_EQ(modGlobal::colMonitoredFolders->Count(), 1);
}

TEST_F(SettingsUiTest, MonitoringPageButtonsAndMailboxPicker) {
  std::vector<platform::AddressBookOptions> shown;
  std::vector<platform::AddressEntry> answer = {{"EX", "ann@example.org", "Ann"}};
  hostapp::SetAddressBookHandler([&](const platform::AddressBookOptions& options) {
    shown.push_back(options);
    return answer;
  });
  Open<uscMonitoring>(0, [&](fSettings&, uscMonitoring& page) {
    EXPECT_EQ(page.cmdAddFolder.ToolTipText,
              "Add the selected mailbox/folder to the monitored list");
    EXPECT_EQ(page.cmdRemoveFolder.ToolTipText,
              "Remove the selected folder from the monitored list");
    page.optFolder[0]->Click.Raise();
    page.cmdPickMailbox.PerformClick();
    EXPECT_EQ(page.txtSelectedFolder.Text, "Ann");
    answer = {{"SMTP", "bob@example.org", "Bob"}};
    page.cmdPickMailbox.PerformClick();
    EXPECT_EQ(page.lblStatus.Caption, "Invalid mailbox!");
  });
  hostapp::SetAddressBookHandler(nullptr);
  ASSERT_EQ(shown.size(), 2u);
  const auto& o = shown[0];
  EXPECT_EQ(o.title, "Select a mailbox");
  EXPECT_TRUE(o.oneAddress && o.forceResolution);
  EXPECT_EQ(o.recipientLists, 1);
  EXPECT_EQ(o.labels[0], "Add");
  EXPECT_EQ(o.labels[1] + o.labels[2], "");
}

TEST_F(SettingsUiTest, MonitoringPageStoresAFileFolderPerEntryWhenFoldersAreSeparate) {
  env.SetSetting("AttachmentFolderOption", "0");
  auto projects = env.mem().AddFolder(env.Inbox(), "Projects");
  std::string files = env.MakeFolder("projects-files");
  env.host().SetPickFolderAnswer(projects);
  Open<uscMonitoring>(0, [&](fSettings& d, uscMonitoring& page) {
    EXPECT_TRUE(page.AttachmentFolderFrame.Visible);
    page.cmdPickFolder.PerformClick();
    page.cmdAddFolder.PerformClick();  // no file folder yet: nothing happens
    EXPECT_TRUE(page.lvFolders.ListItems.empty());
    env.ui.QueueFolder(files);
    page.cmdBrowseAttachmentFileFolder.PerformClick();
    page.cmdAddFolder.PerformClick();
    ASSERT_EQ(page.lvFolders.ListItems.size(), 1u);
    EXPECT_EQ(page.lvFolders.ListItems[0].SubItems[1], files);
    d.tb.PerformClick("Exit");
  });
  EXPECT_EQ(ReadAttachmentFolderPathFromRegistry(projects->FolderPath()), files);
}

TEST_F(SettingsUiTest, FolderPathsTheRecordsCannotHoldAreRefusedWhereverTheyAreSet) {
  std::string tab = env.MakeFolder("a\tb"), cr = env.MakeFolder("c\rd"),
              lf = env.MakeFolder("e\nf");
  Open<uscAttachment>(1, [&](fSettings& d, uscAttachment& page) {
    page.txtFolderPath.SetText(tab);
    d.tb.PerformClick("Save");
    d.tb.PerformClick("Exit");
  });
  EXPECT_EQ(env.GetSetting("AttachmentFolderPath"), env.DefaultAttachmentFolder());
  env.SetSetting("AttachmentFolderOption", "0");
  auto projects = env.mem().AddFolder(env.Inbox(), "Projects");
  env.host().SetPickFolderAnswer(projects);
  Open<uscMonitoring>(0, [&](fSettings& d, uscMonitoring& page) {
    page.cmdPickFolder.PerformClick();
    page.txtAttachmentFileFolder.SetText(lf);
    page.cmdAddFolder.PerformClick();
    EXPECT_TRUE(page.lvFolders.ListItems.empty());
    d.tb.PerformClick("Exit");
  });
  env.OpenExplorer();
  frmAttachmentFolder dialog;
  dialog.Show(false);
  dialog.txtAttachmentFolderPath.SetText(cr);
  dialog.cmdOK.PerformClick();
  EXPECT_EQ(dialog.lblWarning.Caption, "Invalid Folder Path");
  EXPECT_EQ(ReadAttachmentFolderPathFromRegistry(env.Inbox()->FolderPath()), "");
  env.ui.QueueFolder(tab);  // the folder prompt (--to)
  EXPECT_EQ(fncAskForFolderPath(), "");
  auto texts = env.MessageTexts();
  ASSERT_EQ(texts.size(), 4u);
  for (const auto& t : texts) EXPECT_NE(t.find("holds a tab or a line break"), std::string::npos);
}

TEST_F(SettingsUiTest, OpeningTwiceUnloadsTheFirstDialog) {
  int loads = 0;
  env.ui.OnModal("fSettings", [&](ui::Form&) { ++loads; });
  modGlobal::intSettingsPage = 2;
  ShowSettings();
  ShowSettings();
  EXPECT_EQ(loads, 2);
  EXPECT_EQ(env.ui.ModalLeftOpen().size(), 2u);
}

TEST_F(SettingsUiTest, AboutBoxSystemInfo) {
  fAbout about;
  about.Show(false);
  about.cmdSystemInfo.PerformClick();
  ASSERT_EQ(env.MessageTexts().size(), 1u);
  EXPECT_EQ(env.MessageTexts()[0], "System Information Is Unavailable At This Time");

  // Registered through the shared tools folder: used only when the file is there.
  std::string tools = env.MakeFolder("tools");
  platform::RegKey key = 0;
  env.registry.CreateKey(platform::Hive::LocalMachine, fAbout::kSharedToolsKey, &key);
  env.registry.SetValue(key, "MSINFO", platform::REG_SZ, platform::Utf8ToUtf16Bytes(tools));
  env.registry.CloseKey(key);
  EXPECT_EQ(fAbout::FindSystemInfoTool(), "");
  testing::AddinEnvironment::WriteFile(tools + "/MSINFO32.EXE", "x");
  EXPECT_EQ(fAbout::FindSystemInfoTool(), tools + "/MSINFO32.EXE");
  about.cmdSystemInfo.PerformClick();
  EXPECT_EQ(env.MessageTexts().size(), 1u);
  ASSERT_FALSE(env.ws->Calls().empty());
  EXPECT_NE(env.ws->Calls().back().command.find("MSINFO32.EXE"), std::string::npos);
  about.Unload();
}

}  // namespace
}  // namespace stow
