// SubExecuteAction: every control id reaches its routine with the right arguments.

#include <gtest/gtest.h>

#include <string>

#include "host/RozozizeraRoreravo.h"
#include "platform/office.h"
#include "settings/fSettings.h"
#include "support/attachmentFolders.h"
#include "support/modGlobal.h"
#include "support/product.h"
#include "surfaces/modRibbon.h"
#include "surfaces_env.h"

namespace stow {
namespace {

using testing::SurfacesTest;

class DispatcherTest : public SurfacesTest {
 protected:
  void Run(const std::string& id) { addin.SubExecuteAction(office::RibbonControl(id)); }
  bool InInbox(const std::shared_ptr<om::Item>& item) {
    // The object of a deleted item raises on use; Reload then finds nothing either.
    auto fresh = ValueOr(std::shared_ptr<om::Item>(), [&] { return env.Reload(item); });
    std::string inbox = env.Inbox()->FolderPath();
    return fresh && ValueOr(false, [&] { return fresh->Parent()->FolderPath() == inbox; });
  }
  RozozizeraRoreravo addin;
};

TEST_F(DispatcherTest, SelectionCommandsAndTheirContextVariants) {
  for (const std::string suffix : {"", "Context", "ContextMulti"}) {
    SCOPED_TRACE(suffix);
    auto item = Mail("sel" + suffix);
    env.OpenExplorer(nullptr, {item});
    Run("cmdStripAttachments" + suffix);
    EXPECT_TRUE(Processed(item));
    EXPECT_FALSE(HasAttachment(item, "sel" + suffix + ".pdf"));

    Run("cmdReInstateAttachments" + suffix);
    EXPECT_FALSE(Processed(item));
    EXPECT_TRUE(HasAttachment(item, "sel" + suffix + ".pdf"));

    Run("cmdStripAttachments" + suffix);
    Run("cmdRemoveLinks" + suffix);
    auto fresh = env.Reload(item);
    EXPECT_EQ(fresh->HTMLBody().find("tableKZOSTART"), std::string::npos);
    EXPECT_FALSE(HasAttachment(item, "sel" + suffix + ".pdf"));

    Run("cmdDeleteItems" + suffix);
    EXPECT_FALSE(InInbox(item));
  }
  EXPECT_TRUE(env.MessageTexts().empty() ||
              env.MessageTexts().back().find("Not Implemented") == std::string::npos);
}

TEST_F(DispatcherTest, InspectorCommandsWorkOnTheOpenItem) {
  auto open = Mail("open");
  auto selected = Mail("selected");
  env.OpenExplorer(nullptr, {selected});
  env.OpenInspector(open);

  Run("cmdDetach");
  EXPECT_TRUE(Processed(open));
  EXPECT_FALSE(Processed(selected));
  EXPECT_EQ(testing::AddinEnvironment::ListFiles(attachments).size(), 1u);

  Run("cmdReAttach");
  EXPECT_FALSE(Processed(open));
  EXPECT_TRUE(HasAttachment(open, "open.pdf"));

  Run("cmdDelete");
  EXPECT_FALSE(InInbox(open));
  EXPECT_TRUE(InInbox(selected));
}

TEST_F(DispatcherTest, FolderCommandsTakeTheActiveExplorersFolder) {
  auto a = Mail("a"), b = Mail("b");
  auto other = env.mem().AddFolder(env.Inbox(), "Other");
  auto c = Mail("c", other);
  env.OpenExplorer(nullptr, {});
  Run("cmdStripAttachmentsFolder");
  env.loop.Advance(std::chrono::seconds(1));
  env.loop.DoEvents();
  EXPECT_TRUE(Processed(a));
  EXPECT_TRUE(Processed(b));
  EXPECT_FALSE(Processed(c));

  Run("cmdReInstateAttachmentsFolder");
  env.loop.Advance(std::chrono::seconds(1));
  env.loop.DoEvents();
  EXPECT_FALSE(Processed(a));
  EXPECT_FALSE(Processed(b));
}

TEST_F(DispatcherTest, CustomFolderCommandsAskForTheFolder) {
  for (const std::string suffix : {"", "Context", "ContextMulti"}) {
    SCOPED_TRACE(suffix);
    auto item = Mail("custom" + suffix);
    env.OpenExplorer(nullptr, {item});
    std::string copyTo = env.MakeFolder("copy" + suffix);
    env.ui.QueueFolder(copyTo);
    Run("cmdCopyAttachmentsToFolder" + suffix);
    EXPECT_EQ(testing::AddinEnvironment::ListFiles(copyTo).size(), 1u);
    EXPECT_FALSE(Processed(item));

    std::string detachTo = env.MakeFolder("detach" + suffix);
    env.ui.QueueFolder(detachTo);
    Run("cmdDetachToACustomFolder" + suffix);
    EXPECT_EQ(testing::AddinEnvironment::ListFiles(detachTo).size(), 1u);
    EXPECT_TRUE(Processed(item));
  }
}

TEST_F(DispatcherTest, SettingsPagesHelpAndAbout) {
  std::vector<std::string> captions;
  env.ui.OnModal("fSettings", [&](ui::Form& f) { captions.push_back(f.Caption); });
  Run("cmdSettingsAttachments");
  EXPECT_EQ(modGlobal::intSettingsPage, 1);
  Run("cmdSettingsExtension");
  EXPECT_EQ(modGlobal::intSettingsPage, 2);
  Run("cmdSettingsFolders");
  EXPECT_EQ(modGlobal::intSettingsPage, 0);
  EXPECT_EQ(captions,
            (std::vector<std::string>{"Settings : Attachment Options", "Settings : File Extensions",
                                      "Settings : Email Monitoring"}));

  // The manual only when it is there.
  std::string program = env.MakeFolder("program");
  env.shell.SetProgramFolder(program + "/");
  env.shell.ClearOpened();
  Run("cmdHelpTopics");
  EXPECT_TRUE(env.shell.Opened().empty());
  EXPECT_TRUE(env.MessageTexts().empty());
  testing::AddinEnvironment::WriteFile(program + "/Stowbright.pdf", "%PDF-1.4");
  Run("cmdHelpTopics");
  ASSERT_EQ(env.shell.Opened().size(), 1u);
  EXPECT_EQ(env.shell.Opened()[0], program + "/Stowbright.pdf");

  Run("cmdVideoTour");
  Run("cmdProductPage");
  std::vector<std::string> started;
  for (const auto& call : env.ws->Calls()) started.push_back(call.command);
  for (const auto& opened : env.shell.Opened()) started.push_back(opened);
  EXPECT_NE(std::find(started.begin(), started.end(), product::kVideoPage), started.end());
  EXPECT_NE(std::find(started.begin(), started.end(), product::kHomePage), started.end());

  std::string build;
  env.ui.OnModal("fAbout", [&](ui::Form& f) { build = f.Find<ui::Label>("lblBuild")->Caption; });
  Run("cmdAbout");
  EXPECT_TRUE(build.starts_with("Build ")) << build;
  EXPECT_EQ(build.substr(6).find_first_not_of("0123456789."), std::string::npos);
}

TEST_F(DispatcherTest, AttachmentFolderCommandStoresForTheCurrentFolderAndRedrawsTheRibbon) {
  env.SetSetting("AttachmentFolderOption", "0");
  auto ribbon = std::make_shared<office::RibbonUI>();
  addin.OnLoad(ribbon);
  env.OpenExplorer(nullptr, {});
  std::string chosen = env.MakeFolder("inbox-files");
  office::RibbonControl control("cmdAttachmentFolder");
  EXPECT_EQ(addin.GetAttachmentFolderCaption(control), "Specify Attachment Folder...");
  EXPECT_EQ(addin.GetScreenTipForAttachmentFolder(control), "Attachment folder: [Not Specified]");
  EXPECT_TRUE(addin.GetAttachmentFolderVisible(control));

  std::string shown = "unset";
  env.ui.OnModal("frmAttachmentFolder", [&](ui::Form& f) {
    shown = f.Find<ui::TextBox>("txtAttachmentFolderPath")->Text;
    f.Find<ui::TextBox>("txtAttachmentFolderPath")->SetText(chosen);
    f.Find<ui::CommandButton>("cmdOK")->PerformClick();
  });
  Run("cmdAttachmentFolder");
  EXPECT_EQ(shown, "");
  EXPECT_EQ(env.GetSetting(AttachmentFolderValueName(env.Inbox()->FolderPath())), chosen);
  EXPECT_EQ(addin.GetAttachmentFolderCaption(control), "Change Attachment Folder...");
  EXPECT_EQ(addin.GetScreenTipForAttachmentFolder(control), "Attachment folder: " + chosen);
  EXPECT_EQ(modGlobal::strCurrentAttachmentFolder, chosen);
  // The dialog shows the folder stored, and goes.
  Run("cmdAttachmentFolder");
  EXPECT_EQ(shown, chosen);
  EXPECT_TRUE(env.ui.ModalLeftOpen().empty());
}

TEST_F(DispatcherTest, CallbacksFollowTheGlobalsAndUnknownIdsAreNotImplemented) {
  office::RibbonControl control("cmdAttachmentFolder");
  modGlobal::strCurrentAttachmentFolder = "   ";
  EXPECT_EQ(addin.GetAttachmentFolderCaption(control), "Specify Attachment Folder...");
  EXPECT_EQ(addin.GetScreenTipForAttachmentFolder(control), "Attachment folder:    ");
  EXPECT_EQ(modGlobal::strCurrentAttachmentFolder, "   ");
  env.SetSetting("AttachmentFolderOption", "1");
  EXPECT_FALSE(addin.GetAttachmentFolderVisible(control));
  env.SetSetting("AttachmentFolderOption", "0");
  EXPECT_TRUE(addin.GetAttachmentFolderVisible(control));

  // Without a ribbon nothing is invalidated (and nothing fails).
  modRibbon::InvalidateRibbonControl("cmdAttachmentFolder");
  auto ribbon = std::make_shared<office::RibbonUI>();
  addin.OnLoad(ribbon);
  EXPECT_EQ(modGlobal::objRibbonUI, ribbon);
  modRibbon::InvalidateRibbonControl("sepMailFolder");
  EXPECT_EQ(ribbon->Invalidated(), std::vector<std::string>{"sepMailFolder"});
  // An unknown id is not implemented.
  Run("cmdNoSuchThing");
  ASSERT_EQ(env.ui.MessageBoxes().size(), 1u);
  EXPECT_EQ(env.ui.MessageBoxes()[0].prompt, "cmdNoSuchThing - Not Implemented");
  EXPECT_EQ(env.ui.MessageBoxes()[0].style, ui::vbOKOnly);
  EXPECT_EQ(env.ui.MessageBoxes()[0].title, "");
  // Ids are matched exactly.
  Run("cmdstripattachments");
  EXPECT_EQ(env.ui.MessageBoxes().back().prompt, "cmdstripattachments - Not Implemented");
}

}  // namespace
}  // namespace stow
