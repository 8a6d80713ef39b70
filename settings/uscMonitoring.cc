#include "settings/uscMonitoring.h"

#include <string>

#include "engine/naming.h"
#include "platform/com_error.h"
#include "platform/dictionary.h"
#include "support/attachmentFolders.h"
#include "support/cSettings.h"
#include "support/modErroHandling.h"
#include "support/modGlobal.h"
#include "support/modOutlookHelpers.h"
#include "support/modSafeItem.h"
#include "support/shutdown.h"

namespace stow {

namespace {

std::string Trim(const std::string& s) {
  auto first = s.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

// A folder entry is a full folder path ("\\Store\..."); anything else names a mailbox.
std::string IconFor(const std::string& entry) {
  return entry.find("\\\\") != std::string::npos ? "publicfolder" : "mailbox";
}

}  // namespace

uscMonitoring::uscMonitoring(std::string name)
    : SettingsPage(std::move(name)),
      Label1(Add<ui::Label>("Label1")),
      optFolder{&Add<ui::OptionButton>("optFolder(0)"), &Add<ui::OptionButton>("optFolder(1)")},
      cmdPickFolder(Add<ui::CommandButton>("cmdPickFolder")),
      cmdPickMailbox(Add<ui::CommandButton>("cmdPickMailbox")),
      Label2(Add<ui::Label>("Label2")),
      txtSelectedFolder(Add<ui::TextBox>("txtSelectedFolder")),
      lblStatus(Add<ui::Label>("lblStatus")),
      AttachmentFolderFrame(Add<ui::Frame>("AttachmentFolderFrame")),
      Label3(Add<ui::Label>("Label3")),
      txtAttachmentFileFolder(Add<ui::TextBox>("txtAttachmentFileFolder")),
      cmdBrowseAttachmentFileFolder(Add<ui::CommandButton>("cmdBrowseAttachmentFileFolder")),
      cmdAddFolder(Add<ui::CommandButton>("cmdAddFolder")),
      cmdRemoveFolder(Add<ui::CommandButton>("cmdRemoveFolder")),
      FolderListFrame(Add<ui::Frame>("FolderListFrame")),
      Frame1(Add<ui::Frame>("Frame1")),
      lvFolders(Add<ui::ListView>("lvFolders")) {
  Label1.Caption = "Select an option";
  optFolder[0]->Caption = "Exchange Mailbox";
  optFolder[1]->Caption = "Exchange Folder";
  cmdPickFolder.Caption = "Select Folder ..";
  cmdPickMailbox.Caption = "Select Mailbox ..";
  Label2.Caption = "Selected folder/mailbox";
  Label3.Caption = "File Folder where the detached attachments will be saved";
  cmdBrowseAttachmentFileFolder.Caption = "Browse...";
  cmdAddFolder.Caption = "+";
  cmdAddFolder.ToolTipText = "Add the selected mailbox/folder to the monitored list";
  cmdRemoveFolder.Caption = "-";
  cmdRemoveFolder.ToolTipText = "Remove the selected folder from the monitored list";
  Frame1.Caption = "Monitored Folders && Mailboxes";
  lvFolders.ColumnHeaders = {{"Path", 3000}, {"Type", 1000}, {"Attachment Folder", 3000}};
  // The page opens on "Exchange Folder".
  optFolder[1]->Value = true;
  cmdPickMailbox.Visible = false;

  for (int i = 0; i < 2; ++i)
    connections_.push_back(optFolder[i]->Click.Connect([this, i] { optFolder_Click(i); }));
  connections_.push_back(cmdPickFolder.Click.Connect([this] { cmdPickFolder_Click(); }));
  connections_.push_back(cmdPickMailbox.Click.Connect([this] { cmdPickMailbox_Click(); }));
  connections_.push_back(cmdBrowseAttachmentFileFolder.Click.Connect(
      [this] { cmdBrowseAttachmentFileFolder_Click(); }));
  connections_.push_back(cmdAddFolder.Click.Connect([this] { cmdAddFolder_Click(); }));
  connections_.push_back(cmdRemoveFolder.Click.Connect([this] { cmdRemoveFolder_Click(); }));
  connections_.push_back(
      lvFolders.ItemClick.Connect([this](ui::ListItem& item) { lvFolders_ItemClick(item); }));
}

void uscMonitoring::GetSettings() {
  Trap("uscMonitoring.GetSettings", [&] {
    auto& s = Required(modGlobal::objSettings);
    if (s.AttachmentFolderOption != 0) {
      AttachmentFolderFrame.Visible = false;
      FolderListFrameTop = AttachmentFolderFrameTop;
      FolderListFrameHeight = 4455;
      lvFoldersHeight = 4455;
    } else {
      AttachmentFolderFrame.Visible = true;
      FolderListFrameHeight = 3735;
      lvFoldersHeight = 3735;
    }
    auto folders = Required(s.EmailFolders());
    if (folders.Count() >= 1) {
      lvFolders.ListItems.clear();
      for (const auto& entry : folders.Items()) {
        if (Trim(entry).empty()) continue;
        ui::ListItem row;
        row.Text = entry;
        row.Tag = IconFor(entry);
        std::string fileFolder = s.AttachmentFolderOption != 0
                                     ? s.AttachmentFolderPath
                                     : ReadAttachmentFolderPathFromRegistry(entry);
        row.SubItems = {modOutlookCode::GetFolderType(entry), fileFolder};
        lvFolders.ListItems.push_back(row);
      }
    }
  });
}

void uscMonitoring::optFolder_Click(int index) {
  IgnoreErrors([&] {
    optFolder[1 - index]->Value = false;
    txtSelectedFolder.SetText("");
    cmdPickFolder.Visible = index == 1;
    cmdPickMailbox.Visible = index == 0;
  });
}

void uscMonitoring::cmdPickFolder_Click() {
  Trap("ucFolderMonitoring.cmdPickFolder.Click", [&] {
    auto folder = modOutlookCode::PickOutlookFolder(owner);
    if (!folder) {
      txtSelectedFolder.SetText("");
      lblStatus.Caption = "Invalid Folder";
      return;
    }
    txtSelectedFolder.SetText(modOutlookCode::GetFullFolderPath(folder, modGlobal::objNameSpace));
    lblStatus.Caption = "Click the plus (+) button to add the selected folder";
    txtSelectedFolderTag = "publicfolder";
    if (FrameShown())
      txtAttachmentFileFolder.SetText(ReadAttachmentFolderPathFromRegistry(txtSelectedFolder.Text));
    blnEntryChosen = false;
  });
}

void uscMonitoring::cmdPickMailbox_Click() {
  Trap("ucFolderMonitoring.cmdPickMailbox.Click", [&] {
    std::string mailbox = PickExchangeMailboxUser();
    if (!mailbox.empty()) {
      txtSelectedFolder.SetText(mailbox);
      txtSelectedFolderTag = "mailbox";
      lblStatus.Caption = "Click the plus (+) button to add the selected mailbox";
    } else {
      lblStatus.Caption = "Invalid mailbox!";
    }
    if (FrameShown())
      txtAttachmentFileFolder.SetText(ReadAttachmentFolderPathFromRegistry(mailbox));
    blnEntryChosen = false;
  });
}

std::string uscMonitoring::PickExchangeMailboxUser() {
  std::string result;
  IgnoreErrors([&] {
    if (!modSafeItem::GetSafeUtils()) {
      modMain::subKillObjects();
      return;
    }
    platform::AddressBookOptions picker;
    picker.title = "Select a mailbox";
    picker.oneAddress = true;
    picker.forceResolution = true;
    picker.recipientLists = 1;
    picker.labels[0] = "Add";
    auto entries = Required(modGlobal::objSafeUtils).AddressBook(picker);
    if (!entries.empty() && entries.front().Type == "EX") result = entries.front().Name;
  });
  IgnoreErrors([] { modSafeItem::CleanupSafeUtils(); });
  return result;
}

void uscMonitoring::cmdBrowseAttachmentFileFolder_Click() {
  std::string chosen = BrowseForFolder(0, "Select a folder");
  if (!chosen.empty()) txtAttachmentFileFolder.SetText(chosen);
}

void uscMonitoring::cmdAddFolder_Click() {
  Trap("ucFolderMonitoring.cmdAddFolder.Click", [&] {
    std::string selection = Trim(txtSelectedFolder.Text);
    if (selection.empty()) return;
    if (FrameShown() && Trim(txtAttachmentFileFolder.Text).empty()) return;
    if (FrameShown() && RefuseUnrecordableFolder(txtAttachmentFileFolder.Text)) return;
    int matches = 0;
    for (const auto& row : lvFolders.ListItems)
      if (platform::Dictionary::FoldKey(row.Text, platform::Dictionary::kTextCompare) ==
          platform::Dictionary::FoldKey(selection, platform::Dictionary::kTextCompare))
        ++matches;
    if (matches == 0) {
      blnChanged = true;
      ui::ListItem row;
      row.Text = txtSelectedFolder.Text;
      row.Tag = txtSelectedFolderTag;
      std::string fileFolder;
      if (FrameShown()) {
        WriteAttachmentFolderPathToRegistry(txtSelectedFolder.Text, txtAttachmentFileFolder.Text);
        fileFolder = txtAttachmentFileFolder.Text;
      } else {
        fileFolder = Required(modGlobal::objSettings).AttachmentFolderPath;
      }
      row.SubItems = {modOutlookCode::GetFolderType(txtSelectedFolder.Text), fileFolder};
      lvFolders.ListItems.push_back(row);
      txtSelectedFolder.SetText("");
      txtAttachmentFileFolder.SetText("");
    } else if (FrameShown() && blnEntryChosen) {
      WriteAttachmentFolderPathToRegistry(selection, txtAttachmentFileFolder.Text);
      int index = lvFolders.SelectedIndex();
      if (index >= 0) {
        auto& row = lvFolders.ListItems[static_cast<std::size_t>(index)];
        row.SubItems.resize(2);
        row.SubItems[1] = txtAttachmentFileFolder.Text;
      }
    }
  });
}

void uscMonitoring::cmdRemoveFolder_Click() {
  Trap("ucFolderMonitoring.cmdRemoveFolder.Click", [&] {
    int index = lvFolders.SelectedIndex();
    if (lvFolders.ListItems.empty() || index < 0) return;
    blnChanged = true;
    lvFolders.ListItems.erase(lvFolders.ListItems.begin() + index);
  });
}

void uscMonitoring::lvFolders_ItemClick(ui::ListItem& item) {
  Trap("ucFolderMonitoring.lvFolders.ItemClick", [&] {
    txtSelectedFolder.SetText(item.Text);
    if (FrameShown()) {
      txtAttachmentFileFolder.SetText(ReadAttachmentFolderPathFromRegistry(item.Text));
      blnEntryChosen = true;
    }
  });
}

void uscMonitoring::SaveSettings() {
  Trap("fSettings.SaveSettings", [&] {
    auto& s = Required(modGlobal::objSettings);
    Required(s.EmailFolders()).FromListView(lvFolders);
    if (s.SaveSettings()) {
      HideOwner();
      if (blnChanged) RefreshMonitorMailFolders();
    }
  });
}

void uscMonitoring::RefreshMonitorMailFolders() {
  Trap("fSettings.RefreshMonitorMailFolders", [&] {
    auto& s = Required(modGlobal::objSettings);
    // An emptied list restarts nothing: the monitors already running stay until the
    // add-in is loaded again.
    if (Required(s.EmailFolders()).Count() < 1) return;
    modGlobal::colMonitoredFolders.reset();
    if (modGlobal::fnMonitorMailFolders) modGlobal::fnMonitorMailFolders(true);
  });
}

}  // namespace stow
