#pragma once
// The "Email Monitoring" page: the monitored mail folders and mailboxes and, when
// every host folder has a file folder of its own, the file folder of each entry.
// Saving restarts folder monitoring.

#include <array>
#include <string>

#include "settings/settingsPage.h"

namespace stow {

class uscMonitoring : public SettingsPage {
 public:
  explicit uscMonitoring(std::string name);

  ui::Label& Label1;
  // Index 0 "Exchange Mailbox", index 1 "Exchange Folder".
  std::array<ui::OptionButton*, 2> optFolder;
  ui::CommandButton& cmdPickFolder;
  ui::CommandButton& cmdPickMailbox;
  ui::Label& Label2;
  ui::TextBox& txtSelectedFolder;
  // The icon key of the chosen entry: "publicfolder" or "mailbox".
  std::string txtSelectedFolderTag;
  ui::Label& lblStatus;
  ui::Frame& AttachmentFolderFrame;
  ui::Label& Label3;
  ui::TextBox& txtAttachmentFileFolder;
  ui::CommandButton& cmdBrowseAttachmentFileFolder;
  ui::CommandButton& cmdAddFolder;
  ui::CommandButton& cmdRemoveFolder;
  ui::Frame& FolderListFrame;
  ui::Frame& Frame1;
  // Rows: Text = the entry, Tag = its icon key, SubItems = {Type, Attachment Folder}.
  ui::ListView& lvFolders;

  // Heights and top of the list's frame and the list, in twips.
  double AttachmentFolderFrameTop = 2400;
  double FolderListFrameTop = 3240;
  double FolderListFrameHeight = 3735;
  double lvFoldersHeight = 3735;

  // Set when an entry was added or removed; decides whether saving restarts monitoring.
  bool blnChanged = false;
  // Set after the user clicked a row while the file-folder frame is shown.
  bool blnEntryChosen = false;

  void GetSettings() override;
  void SaveSettings() override;
  void RefreshMonitorMailFolders();
  // The name of the mailbox the user picks in the library's address book; "" when
  // none or not a mailbox of the organisation.
  std::string PickExchangeMailboxUser();

 private:
  void optFolder_Click(int index);
  void cmdPickFolder_Click();
  void cmdPickMailbox_Click();
  void cmdBrowseAttachmentFileFolder_Click();
  void cmdAddFolder_Click();
  void cmdRemoveFolder_Click();
  void lvFolders_ItemClick(ui::ListItem& item);
  bool FrameShown() const { return AttachmentFolderFrame.Visible; }

  std::vector<Connection> connections_;
};

}  // namespace stow
