#include "surfaces/cStandardTB.h"

#include <charconv>
#include <optional>
#include <string>

#include "commands/commandRunner.h"
#include "commands/copyAttachments.h"
#include "platform/com_error.h"
#include "settings/fSettings.h"
#include "support/attachmentFolders.h"
#include "support/cSettings.h"
#include "support/modErroHandling.h"
#include "support/modFileSystem.h"
#include "support/modGlobal.h"
#include "support/modOutlookCode.h"
#include "support/modOutlookHelpers.h"
#include "support/modRegistryEntry.h"
#include "support/product.h"
#include "support/shutdown.h"
#include "surfaces/modRibbon.h"
#include "surfaces/trackers.h"

namespace stow {

namespace {

constexpr const char* kBarName = "Stowbright";

std::string Trim(const std::string& s) {
  auto first = s.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

std::optional<int> ReadNumber(const char* valueName) {
  std::string text = Trim(ValueOr(std::string(), [&] {
    return modRegistryEntry::ReadRegistryValue(kRegistryAppName, "", valueName, "");
  }));
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

void WriteNumber(const char* valueName, int value) {
  IgnoreErrors([&] {
    modRegistryEntry::WriteRegistryValue(kRegistryAppName, "", valueName, std::to_string(value));
  });
}

void OpenSettingsPage(std::int16_t page) {
  modGlobal::intSettingsPage = page;
  ShowSettings();
}

}  // namespace

namespace modLocalSettings {

void subWriteRegToolbar(office::CommandBar& bar) {
  IgnoreErrors([&] {
    WriteNumber("MainTBTop", bar.Top);
    WriteNumber("MainTBLeft", bar.Left);
    WriteNumber("MainTBPosition", bar.Position);
    WriteNumber("MainTBRowIndex", bar.RowIndex);
  });
}

void subReadRegToolbar(office::CommandBar& bar) {
  IgnoreErrors([&] {
    if (auto v = ReadNumber("MainTBPosition")) bar.Position = *v;
    if (auto v = ReadNumber("MainTBRowIndex")) bar.RowIndex = *v;
    if (auto v = ReadNumber("MainTBTop")) bar.Top = *v;
    if (auto v = ReadNumber("MainTBLeft")) bar.Left = *v;
  });
}

}  // namespace modLocalSettings

cStandardTB::cStandardTB() {
  IgnoreErrors([&] { ouaMonitorApp = modGlobal::objOutlook; });
}

cStandardTB::~cStandardTB() {
  IgnoreErrors([&] { subRemoveButtons(); });
}

void cStandardTB::set_oueCurrInspector(std::shared_ptr<om::Inspector> inspector) {
  onInspectorClose_.Disconnect();
  inspector_ = std::move(inspector);
  if (inspector_) {
    onInspectorClose_ = inspector_->CloseEvent().Connect([weak = weak_from_this()] {
      if (auto self = weak.lock()) self->oueCurrInspector_Close();
    });
  }
}

void cStandardTB::set_oueCurrExplorer(std::shared_ptr<om::Explorer> explorer) {
  onExplorerClose_.Disconnect();
  explorer_ = std::move(explorer);
  if (explorer_) {
    onExplorerClose_ =
        explorer_->CloseEvent().Connect([weak = weak_from_this(), lastBar = lastBar_] {
          if (auto self = weak.lock()) {
            self->oueCurrExplorer_Close();
          } else if (*lastBar) {
            // The explorer's wrapper let go of this bar earlier in the same close.
            modLocalSettings::subWriteRegToolbar(**lastBar);
          }
        });
  }
}

std::shared_ptr<office::CommandBarButton> cStandardTB::AddButton(
    office::CommandBarControls& controls, const std::string& caption, int style, int faceId,
    const std::string& tooltip, bool beginGroup, const char* label,
    void (cStandardTB::*handler)()) {
  auto button = std::dynamic_pointer_cast<office::CommandBarButton>(
      controls.Add(office::msoControlButton, 1, true));
  button->Caption = caption;
  button->Style = style;
  if (faceId != 0) button->FaceId = faceId;
  button->TooltipText = tooltip;
  button->BeginGroup = beginGroup;
  button->Enabled = true;
  clicks_.push_back(button->Click.Connect([weak = weak_from_this(), label, handler] {
    auto self = weak.lock();
    if (!self) return;
    Trap(label, [&] { ((*self).*handler)(); });
  }));
  buttons_.push_back(button);
  return button;
}

std::shared_ptr<office::CommandBarPopup> cStandardTB::AddPopup(const std::string& caption) {
  auto popup = std::dynamic_pointer_cast<office::CommandBarPopup>(
      objExplorerToolbar->Controls().Add(office::msoControlPopup, 1, true));
  popup->Caption = caption;
  popup->BeginGroup = true;
  popups_.push_back(popup);
  return popup;
}

void cStandardTB::GetSeparateFolderButtonCaption(std::string& caption, std::string& tooltip) {
  Trap("Toolbar.GetSeparateFolderButtonCaption", [&] {
    bool has = !Trim(UniqueAttachmentFolderPath).empty();
    caption = has ? "Change Attachment Folder..." : "Specify Attachment Folder...";
    tooltip =
        "Attachment Folder: " + (UniqueAttachmentFolderPath.empty() ? std::string("[Not Specified]")
                                                                    : UniqueAttachmentFolderPath);
  });
}

void cStandardTB::subAddButtons() {
  std::shared_ptr<office::CommandBars> bars;
  bool explorerMode = false;
  bool failed = IgnoreErrors([&] {
                  explorerMode = explorer_ != nullptr;
                  UniqueAttachmentFolderPath =
                      ReadAttachmentFolderPathFromRegistry(modOutlookCode::GetCurrentFolderPath());
                  if (explorer_) {
                    bars = explorer_->CommandBars();
                  } else if (inspector_) {
                    bars = inspector_->CommandBars();
                  }
                }) != 0;
  if (failed || !bars) return;

  Trap("Toolbar.AddButtons", [&] {
    objExplorerToolbar = bars->Add(kBarName, office::msoBarTop, false, true);
    *lastBar_ = objExplorerToolbar;
    built_ = true;
    modLocalSettings::subReadRegToolbar(*objExplorerToolbar);
    objExplorerToolbar->Visible = true;
    if (ouaMonitorApp) {
      onQuit_ = ouaMonitorApp->QuitEvent().Connect([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->ouaMonitorApp_Quit();
      });
    }

    auto& bar = objExplorerToolbar->Controls();
    titleButton_ = std::dynamic_pointer_cast<office::CommandBarButton>(
        bar.Add(office::msoControlButton, 1, true));
    titleButton_->Caption = "Stowbright";
    titleButton_->Style = office::msoButtonCaption;
    titleButton_->TooltipText = product::kHomePage;
    titleButton_->Enabled = false;
    titleButton_->State = office::msoButtonUp;
    titleButton_->HyperlinkType = office::msoCommandBarButtonHyperlinkOpen;

    if (Required(modGlobal::objSettings).AttachmentFolderOption == 0) {
      std::string caption, tooltip;
      GetSeparateFolderButtonCaption(caption, tooltip);
      cmdSetSeparateFileFolder_ = AddButton(bar, caption, office::msoButtonIconAndCaption, 23,
                                            tooltip, true, "Toolbar.cmdSetSeparateFileFolder.Click",
                                            &cStandardTB::cmdSetSeparateFileFolder_Click);
    }
    AddButton(bar, "Detach", office::msoButtonIconAndCaption, 1674,
              "Detach attachments from the selected emails to a file folder", true,
              "Toolbar.cmdStripAttachments_Click", &cStandardTB::cmdStripAttachments_Click);
    AddButton(bar, "Re-Attach", office::msoButtonIconAndCaption, 258,
              "Re-Attach attachments to the selected emails from the detached files", true,
              "Toolbar.cmdReInstateAttachments_Click", &cStandardTB::cmdReInstateAttachments_Click);
    AddButton(bar, "Remove Links", office::msoButtonIcon, 2137,
              "Remove file links from the selected emails", true, "Toolbar.cmdRemoveLinks_Click",
              &cStandardTB::cmdRemoveLinks_Click);
    AddButton(bar, "Delete", office::msoButtonIcon, 478,
              "Delete the selected emails along with their associated files, if any", true,
              "Toolbar.cmdDeleteItems_Click", &cStandardTB::cmdDeleteItems_Click);

    auto& advanced = AddPopup("Advanced...")->Controls();
    if (explorerMode) {
      AddButton(advanced, "Detach All", office::msoButtonIconAndCaption, 1674,
                "Detach attachments from all items in this folder to the attachment file folder",
                false, "Toolbar.cmdStripFolder_Click", &cStandardTB::cmdStripFolder_Click);
      AddButton(advanced, "Re-Attach All", office::msoButtonIconAndCaption, 258,
                "Re-Attach attachments to all items in this folder from previously detached "
                "files",
                false, "Toolbar.cmdReInstateFolder_Click", &cStandardTB::cmdReInstateFolder_Click);
    }
    AddButton(advanced, "Copy attachments to a custom file folder", office::msoButtonIconAndCaption,
              5990,
              "Copy all the attachments of the selected Outlook items to a user specified file "
              "folder",
              true, "Toolbar.cmdCopyAttachmentsToFolder.Click",
              &cStandardTB::cmdCopyAttachmentsToFolder_Click);
    AddButton(advanced, "Detach to a custom file Folder", office::msoButtonIconAndCaption, 5990,
              "Detach attachments of the selected Outlook items to a user specified file folder",
              false, "Toolbar.cmdDetachToACustomFolder_Click",
              &cStandardTB::cmdDetachToACustomFolder_Click);

    if (explorerMode) {
      auto& settings = AddPopup("Settings")->Controls();
      AddButton(settings, "Monitored Folders", office::msoButtonIconAndCaption, 1667,
                "Open the Monitoring Settings", false, "cmdSettingsFolders_Click",
                &cStandardTB::cmdSettingsFolders_Click);
      AddButton(settings, "Attachment Options", office::msoButtonIconAndCaption, 6003,
                "Open the Attachment Options settings", false, "cmdSettingsAttachments_Click",
                &cStandardTB::cmdSettingsAttachments_Click);
      AddButton(settings, "Extensions", office::msoButtonIconAndCaption, 6671,
                "Open the Extension settings", false, "cmdSettingsExtension_Click",
                &cStandardTB::cmdSettingsExtension_Click);

      auto& help = AddPopup("Help")->Controls();
      AddButton(help, "Help Topics", office::msoButtonIconAndCaption, 983,
                "Refer to topics in the help documentation", false, "Toolbar.cmdHelpTopics.Click",
                &cStandardTB::cmdHelpTopics_Click);
      AddButton(help, "Watch Video Demonstration", office::msoButtonIconAndCaption, 3525,
                "Watch video demonstration on Stowbright for Outlook", false,
                "Toolbar.cmdVideoTour.Click", &cStandardTB::cmdVideoTour_Click);
      AddButton(help, "Visit product page", office::msoButtonIconAndCaption, 7276,
                "Visit the product home page of Stowbright for Outlook", false,
                "Toolbar.cmdProductPage.Click", &cStandardTB::cmdProductPage_Click);
      AddButton(help, "About Stowbright", office::msoButtonCaption, 0, "About this addon", true,
                "Toolbar.cmdAbout.Click", &cStandardTB::cmdAbout_Click);
    }

    if (modOutlookCode::GetVersion() > 12) objExplorerToolbar->Visible = false;
  });
}

void cStandardTB::subRemoveButtons() {
  IgnoreErrors([&] {
    clicks_.clear();
    if (titleButton_) IgnoreErrors([&] { titleButton_->Delete(); });
    titleButton_.reset();
    for (auto& b : buttons_) IgnoreErrors([&] { b->Delete(); });
    buttons_.clear();
    cmdSetSeparateFileFolder_.reset();
    for (auto& p : popups_) IgnoreErrors([&] { p->Delete(); });
    popups_.clear();
    if (objExplorerToolbar) IgnoreErrors([&] { objExplorerToolbar->Delete(); });
    objExplorerToolbar.reset();
  });
  // Bars of this name left in the windows by an earlier run.
  for (auto bars : {ValueOr(std::shared_ptr<office::CommandBars>(),
                            [&] { return explorer_ ? explorer_->CommandBars() : nullptr; }),
                    ValueOr(std::shared_ptr<office::CommandBars>(),
                            [&] { return inspector_ ? inspector_->CommandBars() : nullptr; })}) {
    if (!bars) continue;
    IgnoreErrors([&] {
      for (auto& bar : bars->All())
        if (bar->Name == kBarName) IgnoreErrors([&] { bar->Delete(); });
    });
  }
  built_ = false;
  onInspectorClose_.Disconnect();
  onExplorerClose_.Disconnect();
  onQuit_.Disconnect();
  explorer_.reset();
  inspector_.reset();
  ouaMonitorApp.reset();
}

void cStandardTB::cmdSetSeparateFileFolder_Click() {
  SetSeparateFolderPathForAttachment();
  UniqueAttachmentFolderPath =
      ReadAttachmentFolderPathFromRegistry(modOutlookCode::GetCurrentFolderPath());
  std::string caption, tooltip;
  GetSeparateFolderButtonCaption(caption, tooltip);
  if (cmdSetSeparateFileFolder_) {
    cmdSetSeparateFileFolder_->Caption = caption;
    cmdSetSeparateFileFolder_->TooltipText = tooltip;
  }
}

void cStandardTB::cmdStripAttachments_Click() {
  StripAttachments();
}
void cStandardTB::cmdReInstateAttachments_Click() {
  AttachFiles();
}
void cStandardTB::cmdRemoveLinks_Click() {
  RemoveLinks();
}
void cStandardTB::cmdDeleteItems_Click() {
  DeleteItemFiles();
}

void cStandardTB::cmdStripFolder_Click() {
  StripAttachmentsFromAllItemsInFolder(Required(explorer_).CurrentFolder(), false, true);
}

void cStandardTB::cmdReInstateFolder_Click() {
  AttachFilesOnAllItemsInFolder(Required(explorer_).CurrentFolder());
}

void cStandardTB::cmdCopyAttachmentsToFolder_Click() {
  CopyAttachmentsToFileFolder();
}
void cStandardTB::cmdDetachToACustomFolder_Click() {
  StripAttachmentsToACustomFolder();
}
void cStandardTB::cmdSettingsFolders_Click() {
  OpenSettingsPage(0);
}
void cStandardTB::cmdSettingsAttachments_Click() {
  OpenSettingsPage(1);
}
void cStandardTB::cmdSettingsExtension_Click() {
  OpenSettingsPage(2);
}
void cStandardTB::cmdHelpTopics_Click() {
  modRibbon::OpenHelpManual();
}

void cStandardTB::cmdVideoTour_Click() {
  modFileSystem::RunApp(product::kVideoPage, "", "");
}

void cStandardTB::cmdProductPage_Click() {
  modFileSystem::RunApp(product::kHomePage, "", "");
}
void cStandardTB::cmdAbout_Click() {
  modRibbon::ShowAbout();
}

void cStandardTB::oueCurrExplorer_Close() {
  Trap("oueCurrExplorer_Close", [&] {
    auto self = shared_from_this();
    if (objExplorerToolbar) {
      modLocalSettings::subWriteRegToolbar(*objExplorerToolbar);
    } else if (*lastBar_) {
      modLocalSettings::subWriteRegToolbar(**lastBar_);
    }
    subRemoveButtons();
    modMain::subShutDownOutlook();
  });
}

void cStandardTB::oueCurrInspector_Close() {
  Trap("Toolbar.Inspector.Close", [&] {
    auto self = shared_from_this();
    IgnoreErrors([&] {
      auto entryId = Required(Required(inspector_).CurrentItem()).EntryID();
      Required(Required(modGlobal::objInspectors).colInspectorsTB).Remove(entryId);
    });
    subRemoveButtons();
  });
}

void cStandardTB::ouaMonitorApp_Quit() {
  auto self = shared_from_this();
  IgnoreErrors([&] { subRemoveButtons(); });
  IgnoreErrors([] { modMain::subKillObjects(); });
}

}  // namespace stow
