#include "settings/uscAttachment.h"

#include <string>

#include "engine/naming.h"
#include "platform/com_error.h"
#include "support/cSettings.h"
#include "support/modErroHandling.h"
#include "support/modGlobal.h"
#include "support/ribbonRefresh.h"

namespace stow {

namespace {

// The index of the first chosen option, -1 when none is.
template <std::size_t N>
int Chosen(const std::array<ui::OptionButton*, N>& group) {
  for (std::size_t i = 0; i < N; ++i)
    if (group[i]->Value) return static_cast<int>(i);
  return -1;
}

template <std::size_t N>
void Choose(const std::array<ui::OptionButton*, N>& group, std::int32_t index) {
  if (index >= 0 && index < static_cast<std::int32_t>(N)) group[index]->SetValue(true);
}

int Ticked(bool flag) {
  return flag ? 1 : 0;
}

}  // namespace

uscAttachment::uscAttachment(std::string name)
    : SettingsPage(std::move(name)),
      optAttachmentFolder{},
      Label1(Add<ui::Label>("Label1")),
      txtFolderPath(Add<ui::TextBox>("txtFolderPath")),
      bBrowseFolder(Add<ui::CommandButton>("bBrowseFolder")),
      lblSeparateFolderInfo(Add<ui::Label>("lblSeparateFolderInfo")),
      cInlineImagesAttachment(Add<ui::CheckBox>("cInlineImagesAttachment")),
      chkDeleteItemPrompt(Add<ui::CheckBox>("chkDeleteItemPrompt")),
      chkDeleteItemsPrompt(Add<ui::CheckBox>("chkDeleteItemsPrompt")),
      fraNaming(Add<ui::Frame>("fraNaming")),
      optNaming{},
      fraLink(Add<ui::Frame>("fraLink")),
      optAttachmentLink{},
      fraLocation(Add<ui::Frame>("fraLocation")),
      optLocation{},
      fraOptionalLinks(Add<ui::Frame>("fraOptionalLinks")),
      chkEmbedMacPath(Add<ui::CheckBox>("chkEmbedMacPath")),
      chkEmbedHTTPPath(Add<ui::CheckBox>("chkEmbedHTTPPath")),
      chkMacHTTPonAutoDetachment(Add<ui::CheckBox>("chkMacHTTPonAutoDetachment")),
      Label4(Add<ui::Label>("Label4")),
      txtHTTPAddress(Add<ui::TextBox>("txtHTTPAddress")),
      Label2(Add<ui::Label>("Label2")),
      Label3(Add<ui::Label>("Label3")),
      Label5(Add<ui::Label>("Label5")),
      fraSentItems(Add<ui::Frame>("fraSentItems")),
      optSentItems{},
      fraStartup(Add<ui::Frame>("fraStartup")),
      chkStartupSentItems(Add<ui::CheckBox>("chkStartupSentItems")),
      chkSentItemMonitoredFolders(Add<ui::CheckBox>("chkSentItemMonitoredFolders")) {
  MakeGroup<2>(optAttachmentFolder, "optAttachmentFolder",
               {"Use a separate distinct file folder for each Outlook folder",
                "Use a user-specified global file folder to store all the detached attachments"});
  Label1.Caption = "Specify the folder where the attachment will be saved";
  lblSeparateFolderInfo.Caption =
      "(NOTE: a new button 'Specify Attachment Folder...' will be available in the toolbar in "
      "each Outlook folder)";
  cInlineImagesAttachment.Caption = "Process inline attachments (images)";
  chkDeleteItemPrompt.Caption = "When deleting a mail item, always prompt for confirmation";
  chkDeleteItemsPrompt.Caption =
      "When deleting multiple mail items, always prompt for confirmation";
  fraNaming.Caption = "Naming Scheme";
  MakeGroup<5>(
      optNaming, "optNaming",
      {"Received Date (yyyy.mm.dd_hh.mm.ss) + Attachment name", "Subject + Attachment name",
       "Auto Incremental Number", "Random Number", "Attachment name"});
  fraLink.Caption = "Attachment Reference Link";
  MakeGroup<2>(optAttachmentLink, "optAttachmentLink",
               {"Show full path", "Show the attachment name only"});
  fraLocation.Caption = "Link Location";
  MakeGroup<2>(optLocation, "optLocation", {"Top", "Bottom"});
  fraOptionalLinks.Caption = "Optional Links to Embed";
  chkEmbedMacPath.Caption = "Embed Mac friendly path";
  chkEmbedHTTPPath.Caption = "Embed HTTP friendly path";
  chkMacHTTPonAutoDetachment.Caption = "Only embed Mac/HTTP path on automatic detachment";
  Label4.Caption = "Web URL of the folder";
  Label2.Caption = "e.g. http://files.example.com/attachments/report.pdf";
  Label3.Caption = "e.g. smb://fileserver/attachments/report.pdf";
  Label5.Caption = "e.g. http://files.example.com/attachments or http://192.0.2.10/attachments";
  // The address is only used with web links on.
  txtHTTPAddress.Enabled = false;
  fraSentItems.Caption = "Sent Items folder options";
  MakeGroup<3>(optSentItems, "optSentItems",
               {"Automatically detach all attachments in Sent Items folder",
                "Delete all attachments", "None"});
  fraStartup.Caption = "Outlook Start up Actions";
  chkStartupSentItems.Caption = "Process Sent Items";
  chkSentItemMonitoredFolders.Caption = "Process items under monitored folders";

  for (int i = 0; i < 2; ++i) {
    connections_.push_back(
        optAttachmentFolder[i]->Click.Connect([this, i] { optAttachmentFolder_Click(i); }));
  }
  connections_.push_back(chkEmbedHTTPPath.Click.Connect([this] { chkEmbedHTTPPath_Click(); }));
  connections_.push_back(bBrowseFolder.Click.Connect([this] { bBrowseFolder_Click(); }));
}

template <std::size_t N>
void uscAttachment::MakeGroup(std::array<ui::OptionButton*, N>& group, const std::string& name,
                              const std::array<const char*, N>& captions) {
  for (std::size_t i = 0; i < N; ++i) {
    group[i] = &Add<ui::OptionButton>(name + "(" + std::to_string(i) + ")");
    group[i]->Caption = captions[i];
  }
  // Options of one group exclude each other.
  for (std::size_t i = 0; i < N; ++i) {
    connections_.push_back(group[i]->Click.Connect([&group, i] {
      for (std::size_t j = 0; j < N; ++j)
        if (j != i) group[j]->Value = false;
    }));
  }
}

void uscAttachment::optAttachmentFolder_Click(int index) {
  txtFolderPath.Enabled = false;
  bBrowseFolder.Enabled = false;
  if (index == 1) {
    txtFolderPath.Enabled = true;
    bBrowseFolder.Enabled = true;
  }
}

void uscAttachment::chkEmbedHTTPPath_Click() {
  txtHTTPAddress.Enabled = chkEmbedHTTPPath.Value == 1;
}

void uscAttachment::bBrowseFolder_Click() {
  std::string chosen = BrowseForFolder(0, "Select a folder");
  if (!chosen.empty()) txtFolderPath.SetText(chosen);
}

std::int32_t uscAttachment::GetSelectedFolderOption() const {
  return optAttachmentFolder[0]->Value ? 0 : 1;
}

std::int32_t uscAttachment::GetSelectedSentItemOption() const {
  if (optSentItems[0]->Value) return 0;
  if (optSentItems[1]->Value) return 1;
  return 2;
}

std::int32_t uscAttachment::GetSelectedNamingIndex() const {
  int index = Chosen(optNaming);
  return index < 0 ? 0 : index;
}

std::int32_t uscAttachment::GetSelectedDisplayIndex() const {
  return optAttachmentLink[0]->Value ? 0 : 1;
}

std::int32_t uscAttachment::GetSelectedLocationIndex() const {
  return optLocation[0]->Value ? 0 : 1;
}

void uscAttachment::GetSettings() {
  Trap("fSettings.GetSettings", [&] {
    auto& s = Required(modGlobal::objSettings);
    Choose(optAttachmentFolder, s.AttachmentFolderOption);
    Choose(optSentItems, s.SentItemsOption);
    txtFolderPath.SetText(s.AttachmentFolderPath);
    Choose(optNaming, s.AttachmentNamingOption);
    Choose(optAttachmentLink, s.AttachmentDisplayOption);
    Choose(optLocation, s.AttachmentLocationOption);
    chkDeleteItemPrompt.SetValue(Ticked(s.DeleteItemPrompt));
    chkDeleteItemsPrompt.SetValue(Ticked(s.DeleteItemsPrompt));
    chkEmbedMacPath.SetValue(Ticked(s.EmbedMacPath));
    chkEmbedHTTPPath.SetValue(Ticked(s.EmbedHTTPPath));
    chkMacHTTPonAutoDetachment.SetValue(Ticked(s.MacHTTPOnAutoDetachment));
    txtHTTPAddress.SetText(s.HTTPAddress);
    // The system only ever stores 0 or 1 here; anything else shows as ticked.
    chkStartupSentItems.SetValue(Ticked(s.StartUpSentItems != 0));
    chkSentItemMonitoredFolders.SetValue(Ticked(s.StartUpItemMonitoredFolders != 0));
    cInlineImagesAttachment.SetValue(Ticked(s.TreatInlineImagesAsAttachments));
  });
}

void uscAttachment::SaveSettings() {
  Trap("fSettings.SaveSettings", [&] {
    // Nothing is stored while the folder cannot be; the page stays as the user left it.
    if (RefuseUnrecordableFolder(txtFolderPath.Text)) return;
    auto& s = Required(modGlobal::objSettings);
    std::int32_t previousFolderOption = s.AttachmentFolderOption;
    s.AttachmentDisplayOption = GetSelectedDisplayIndex();
    s.AttachmentNamingOption = GetSelectedNamingIndex();
    s.AttachmentLocationOption = GetSelectedLocationIndex();
    s.AttachmentFolderPath = txtFolderPath.Text;
    s.TreatInlineImagesAsAttachments = cInlineImagesAttachment.Value == 1;
    s.DeleteItemPrompt = chkDeleteItemPrompt.Value == 1;
    s.DeleteItemsPrompt = chkDeleteItemsPrompt.Value == 1;
    s.EmbedMacPath = chkEmbedMacPath.Value == 1;
    s.EmbedHTTPPath = chkEmbedHTTPPath.Value == 1;
    s.MacHTTPOnAutoDetachment = chkMacHTTPonAutoDetachment.Value == 1;
    s.HTTPAddress = txtHTTPAddress.Text;
    s.AttachmentFolderOption = GetSelectedFolderOption();
    bool folderOptionChanged = s.AttachmentFolderOption != previousFolderOption;
    s.SentItemsOption = GetSelectedSentItemOption();
    s.StartUpSentItems = static_cast<std::int16_t>(chkStartupSentItems.Value == 1 ? 1 : 0);
    s.StartUpItemMonitoredFolders =
        static_cast<std::int16_t>(chkSentItemMonitoredFolders.Value == 1 ? 1 : 0);
    s.SaveSettings();
    HideOwner();
    if (s.SentItemsOption != 2) {
      if (modGlobal::fnMonitorSentItemsFolder) modGlobal::fnMonitorSentItemsFolder(true);
    } else {
      modGlobal::oMonitoredSentItems.reset();
    }
    if (folderOptionChanged) {
      modRibbon::InvalidateRibbonControl("cmdAttachmentFolder");
      modRibbon::InvalidateRibbonControl("sepMailFolder");
      IgnoreErrors([&] { SwitchExplorerFolder(); });
    }
  });
}

void uscAttachment::SwitchExplorerFolder() {
  auto& outlook = Required(modGlobal::objOutlook);
  auto explorer = outlook.ActiveExplorer();
  if (!explorer) return;
  auto nameSpace = modGlobal::objNameSpace ? modGlobal::objNameSpace : outlook.GetNamespace("MAPI");
  auto inbox = Required(nameSpace).GetDefaultFolder(om::olFolderInbox);
  auto current = explorer->CurrentFolder();
  if (!current || current->FolderPath() != Required(inbox).FolderPath()) {
    explorer->SelectFolder(inbox);
    return;
  }
  // A store whose Inbox is its top folder has no parent to move to; selecting the
  // Inbox again still makes the explorer report a folder switch.
  auto parent = inbox->Parent();
  explorer->SelectFolder(parent ? parent : inbox);
}

}  // namespace stow
