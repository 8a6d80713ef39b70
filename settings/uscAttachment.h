#pragma once
// The "Attachment Options" page: where detached files go and how they are named, the
// link block's text and place, the optional Mac and web links, the delete prompts,
// the Sent Items treatment and the start-up sweeps.

#include <array>

#include "settings/settingsPage.h"

namespace stow {

class uscAttachment : public SettingsPage {
 public:
  explicit uscAttachment(std::string name);

  std::array<ui::OptionButton*, 2> optAttachmentFolder;
  ui::Label& Label1;
  ui::TextBox& txtFolderPath;
  ui::CommandButton& bBrowseFolder;
  ui::Label& lblSeparateFolderInfo;
  ui::CheckBox& cInlineImagesAttachment;
  ui::CheckBox& chkDeleteItemPrompt;
  ui::CheckBox& chkDeleteItemsPrompt;
  ui::Frame& fraNaming;
  std::array<ui::OptionButton*, 5> optNaming;
  ui::Frame& fraLink;
  std::array<ui::OptionButton*, 2> optAttachmentLink;
  ui::Frame& fraLocation;
  std::array<ui::OptionButton*, 2> optLocation;
  ui::Frame& fraOptionalLinks;
  ui::CheckBox& chkEmbedMacPath;
  ui::CheckBox& chkEmbedHTTPPath;
  ui::CheckBox& chkMacHTTPonAutoDetachment;
  ui::Label& Label4;
  ui::TextBox& txtHTTPAddress;
  ui::Label& Label2;
  ui::Label& Label3;
  ui::Label& Label5;
  ui::Frame& fraSentItems;
  std::array<ui::OptionButton*, 3> optSentItems;
  ui::Frame& fraStartup;
  ui::CheckBox& chkStartupSentItems;
  ui::CheckBox& chkSentItemMonitoredFolders;

  void GetSettings() override;
  void SaveSettings() override;

  std::int32_t GetSelectedFolderOption() const;
  std::int32_t GetSelectedSentItemOption() const;
  std::int32_t GetSelectedNamingIndex() const;
  std::int32_t GetSelectedDisplayIndex() const;
  std::int32_t GetSelectedLocationIndex() const;

 private:
  template <std::size_t N>
  void MakeGroup(std::array<ui::OptionButton*, N>& group, const std::string& name,
                 const std::array<const char*, N>& captions);
  void optAttachmentFolder_Click(int index);
  void chkEmbedHTTPPath_Click();
  void bBrowseFolder_Click();
  // Makes the active explorer switch folders so its command bar is built anew.
  void SwitchExplorerFolder();

  std::vector<Connection> connections_;
};

}  // namespace stow
