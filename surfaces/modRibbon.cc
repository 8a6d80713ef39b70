#include "surfaces/modRibbon.h"

#include <initializer_list>
#include <memory>
#include <string>

#include "commands/commandRunner.h"
#include "commands/copyAttachments.h"
#include "engine/deleteItem.h"
#include "engine/processEmail.h"
#include "engine/reattach.h"
#include "platform/com_error.h"
#include "platform/file_system.h"
#include "platform/office.h"
#include "platform/services.h"
#include "platform/ui.h"
#include "settings/fSettings.h"
#include "support/cSettings.h"
#include "support/fAbout.h"
#include "support/modErroHandling.h"
#include "support/modFileSystem.h"
#include "support/modGlobal.h"
#include "support/product.h"
#include "surfaces/cAttachFilesTB.h"

namespace stow::modRibbon {

namespace {

constexpr const char* kAction = "SubExecuteAction";

std::string Trim(const std::string& s) {
  auto first = s.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

std::string Attr(const char* name, const std::string& value) {
  return value.empty() ? std::string() : std::string(" ") + name + "=\"" + value + "\"";
}

// A button running SubExecuteAction; empty parts are left out.
std::string Button(const std::string& id, const std::string& size, const std::string& label,
                   const std::string& screentip, const std::string& image) {
  return "<button" + Attr("id", id) + Attr("size", size) + Attr("label", label) +
         Attr("screentip", screentip) + Attr("imageMso", image) + Attr("onAction", kAction) + "/>";
}

std::string InspectorDocument(const std::string& tab, const std::string& group,
                              const std::string& anchor, const std::string& controls) {
  return std::string("<customUI xmlns=\"") + kNamespace2007 +
         "\" onLoad=\"OnLoad\"><ribbon><tabs><tab idMso=\"" + tab + "\"><group id=\"" + group +
         "\" label=\"Stowbright\" insertAfterMso=\"" + anchor + "\">" + controls +
         "</group></tab></tabs></ribbon></customUI>";
}

// The context-menu entries: each stem with the given suffix.
std::string ContextButtons(const std::string& suffix) {
  struct Row {
    const char* stem;
    const char* label;
    const char* image;
    const char* tip;
  };
  static constexpr Row kRows[] = {
      {"cmdStripAttachments", "Detach", "SharingOpenMailFolder",
       "Detach attachments from the selected emails to a file folder"},
      {"cmdReInstateAttachments", "Re-Attach", "AttachItem",
       "Re-Attach attachments to the selected emails from the detached files"},
      {"cmdRemoveLinks", "Remove links", "TableUnlinkExternalData",
       "Remove file links from the selected emails"},
      {"cmdDeleteItems", "Delete Item(s)", "Delete",
       "Delete the selected emails along with their associated files, if any"},
      {"cmdCopyAttachmentsToFolder", "Copy Attachments to a custom file folder", "GroupMoreOptions",
       "Copy all the attachments of the selected Outlook items to a user specified file folder"},
      {"cmdDetachToACustomFolder", "Detach to a custom file folder", "GroupMoreOptions",
       "Detach attachments of the selected Outlook items to a user specified file folder"},
  };
  std::string xml;
  for (const auto& r : kRows) xml += Button(r.stem + suffix, "", r.label, r.tip, r.image);
  return xml;
}

bool IsOneOf(const std::string& id, std::initializer_list<const char*> ids) {
  for (const char* candidate : ids)
    if (id == candidate) return true;
  return false;
}

std::shared_ptr<om::Folder> ActiveExplorerFolder() {
  return Required(Required(modGlobal::objOutlook).ActiveExplorer()).CurrentFolder();
}

std::shared_ptr<om::Item> ActiveInspectorItem() {
  return Required(Required(modGlobal::objOutlook).ActiveInspector()).CurrentItem();
}

void OpenSettingsPage(std::int16_t page) {
  modGlobal::intSettingsPage = page;
  ShowSettings();
}

}  // namespace

std::string GetCustomUI(const std::string& ribbonId) {
  std::string xml;
  IgnoreErrors([&] {
    if (ribbonId == "Microsoft.Outlook.Mail.Read") {
      xml = fncBuildUI("Mail");
    } else if (ribbonId == "Microsoft.Outlook.Mail.Compose") {
      xml = fncBuildUI("Mail.Compose");
    } else if (ribbonId == "Microsoft.Outlook.Response.Read" ||
               ribbonId == "Microsoft.Outlook.Post.Read") {
      xml = fncBuildUI("Post");
    } else if (ribbonId == "Microsoft.Outlook.Explorer") {
      xml = fncBuildUI("Explorer");
    }
  });
  return xml;
}

std::string fncBuildUI(const std::string& strItemType) {
  return Trap("Addin.2007UI", std::string(), [&] {
    if (strItemType == "Mail")
      return GetReadUI2007("TabReadMessage", "KZOMailInspector", "GroupRespond");
    if (strItemType == "Mail.Compose")
      return GetComposeUI2007("TabNewMailMessage", "KZOMailComposeInspector", "GroupSend");
    if (strItemType == "Post")
      return GetReadUI2007("TabReadMessage", "KZOPostInspector", "GroupRespond");
    if (strItemType == "Explorer") return GetExplorerUI2010();
    return std::string();
  });
}

std::string GetReadUI2007(const std::string& tab, const std::string& group,
                          const std::string& anchor) {
  std::string controls =
      Button("cmdDetach", "normal", "Detach Attachments",
             "Detach attachments from this Outlook item to the attachment file folder",
             "SharingOpenMailFolder") +
      Button("cmdReAttach", "normal", "Re-attach files",
             "Re-Attach attachments to this Outlook item from previously detached files",
             "AttachItem") +
      Button("cmdRemoveLinks", "normal", "Remove links", "Remove links from this email",
             "TableUnlinkExternalData") +
      Button("cmdDelete", "large", "Delete item",
             "Delete this mail item and its corresponding detached files in the attachment "
             "folder, if any",
             "Delete") +
      "<menu id=\"menuAdvancedOptions\" size=\"large\" label=\"Advanced...\" "
      "imageMso=\"AttachMenu\">" +
      Button("cmdCopyAttachmentsToFolder", "", "Copy Attachments to a custom file folder",
             "Copy all the attachments of this Outlook item to a user specified file folder",
             "GroupMoreOptions") +
      Button("cmdDetachToACustomFolder", "", "Detach to a custom file folder",
             "Detach attachments of this Outlook item to a user specified file folder",
             "GroupMoreOptions") +
      "</menu>";
  return InspectorDocument(tab, group, anchor, controls);
}

std::string GetComposeUI2007(const std::string& tab, const std::string& group,
                             const std::string& anchor) {
  std::string controls = Button("cmdRemoveLinksCompose", "normal", "Remove links",
                                "Remove links from this email", "TableUnlinkExternalData") +
                         Button("cmdReAttachCompose", "normal", "Re-attach files",
                                "Re-attach attachments from this email", "AttachItem");
  return InspectorDocument(tab, group, anchor, controls);
}

std::string GetStandardXML() {
  return std::string(
             "<button id=\"cmdAttachmentFolder\" size=\"large\" "
             "getLabel=\"GetAttachmentFolderCaption\" "
             "getScreentip=\"GetScreenTipForAttachmentFolder\" "
             "imageMso=\"GroupDataConnectionsEdit\" getVisible=\"GetAttachmentFolderVisible\" "
             "onAction=\"SubExecuteAction\"/>"
             "<separator id=\"sepMailFolder\" getVisible=\"GetAttachmentFolderVisible\"/>") +
         Button("cmdStripAttachments", "large", "Detach",
                "Detach attachments from the selected emails to a file folder",
                "SharingOpenMailFolder") +
         Button("cmdReInstateAttachments", "large", "Re-Attach",
                "Re-Attach attachments to the selected emails from the detached files",
                "AttachItem") +
         Button("cmdRemoveLinks", "normal", "Remove Links",
                "Remove file links from the selected emails", "TableUnlinkExternalData") +
         Button("cmdDeleteItems", "normal", "Delete Item(s)",
                "Delete the selected emails along with their associated files, if any", "Delete") +
         "<separator id=\"sepMail0\"/>"
         "<dynamicMenu id=\"dnAdvancedPopup\" size=\"large\" label=\"Advanced...\" "
         "imageMso=\"AttachMenu\" getContent=\"GetContentXML\" invalidateContentOnDrop=\"true\"/>"
         "<separator id=\"sepMail1\"/>"
         "<dynamicMenu id=\"dnSettingsPopup\" size=\"large\" label=\"Settings...\" "
         "imageMso=\"UsageViewDetailsAdd\" getContent=\"GetContentXML\" "
         "invalidateContentOnDrop=\"true\"/>"
         "<separator id=\"sepMail2\"/>"
         "<dynamicMenu id=\"dnHelpPopup\" size=\"large\" label=\"Help\" imageMso=\"Help\" "
         "getContent=\"GetContentXML\"/>";
}

std::string GetContextMenus() {
  return "<contextMenu idMso=\"ContextMenuMailItem\"><menuSeparator id=\"cmdKZOGap1\"/>" +
         ContextButtons("Context") + "</contextMenu>";
}

std::string GetMultipleItemsContextMenu() {
  return "<contextMenu idMso=\"ContextMenuMultipleItems\"><menuSeparator id=\"cmdKZOGap2\"/>" +
         ContextButtons("ContextMulti") + "</contextMenu>";
}

std::string GetExplorerUI2010() {
  return std::string("<customUI xmlns=\"") + kNamespace2010 +
         "\" onLoad=\"OnLoad\"><ribbon><tabs><tab idMso=\"TabMail\"><group "
         "id=\"KZOExplorerMail\" label=\"Stowbright\" insertBeforeMso=\"GroupMailNew\">" +
         GetStandardXML() + "</group></tab></tabs></ribbon><contextMenus>" + GetContextMenus() +
         GetMultipleItemsContextMenu() + "</contextMenus></customUI>";
}

std::string GetContentXML(const std::string& controlId) {
  std::string xml = std::string("<menu xmlns=\"") + kNamespace2010 + "\">";
  if (controlId == "dnAdvancedPopup") {
    xml += Button("cmdStripAttachmentsFolder", "", "Detach All",
                  "Detach attachments from all items in this folder to the attachment file folder",
                  "SharingOpenMailFolder") +
           Button("cmdReInstateAttachmentsFolder", "", "Re-Attach All",
                  "Re-Attach attachments to all items in this folder from previously detached "
                  "files",
                  "AttachItem") +
           "<menuSeparator id=\"sepAdvancedPopup\"/>" +
           Button("cmdCopyAttachmentsToFolder", "", "Copy Attachments to a custom file folder",
                  "Copy all the attachments of the selected Outlook items to a user specified "
                  "file folder",
                  "GroupMoreOptions") +
           Button("cmdDetachToACustomFolder", "", "Detach to a custom file folder",
                  "Detach attachments of the selected Outlook items to a user specified file "
                  "folder",
                  "GroupMoreOptions");
  } else if (controlId == "dnSettingsPopup") {
    xml += Button("cmdSettingsFolders", "", "Monitored Folders", "", "CopyThisFolder") +
           Button("cmdSettingsAttachments", "", "Attachment Options", "", "AttachFile") +
           Button("cmdSettingsExtension", "", "Exempted Extensions", "", "");
  } else if (controlId == "dnHelpPopup") {
    xml += Button("cmdHelpTopics", "", "Help Topics", "", "Help") +
           Button("cmdVideoTour", "", "Video Tour", "", "MovieFromFileInsert") +
           Button("cmdProductPage", "", "Home page", "", "HyperlinkInsert") +
           Button("cmdAbout", "", "About Stowbright", "", "");
  }
  return xml + "</menu>";
}

std::string GetAttachmentFolderCaption() {
  return Trim(modGlobal::strCurrentAttachmentFolder).empty() ? "Specify Attachment Folder..."
                                                             : "Change Attachment Folder...";
}

std::string GetScreenTipForAttachmentFolder() {
  const std::string& folder = modGlobal::strCurrentAttachmentFolder;
  return "Attachment folder: " + (folder.empty() ? std::string("[Not Specified]") : folder);
}

bool GetAttachmentFolderVisible() {
  auto settings = modGlobal::objSettings;
  return settings && settings->AttachmentFolderOption == 0;
}

std::string ManualPath() {
  std::string folder;
  if (auto* shell = platform::Platform().shell) folder = shell->ManualFolder();
  return modFileSystem::JoinPath(folder, kManualFileName);
}

void OpenHelpManual() {
  std::string path = ManualPath();
  if (Required(modGlobal::objFSO).FileExists(path)) modFileSystem::ShellOpenFile(path);
}

void ShowAbout() {
  auto about = std::make_unique<fAbout>();
  IgnoreErrors([&] { about->Show(true); });
  IgnoreErrors([&] { about->Unload(); });
}

void SubExecuteAction(const std::string& id) {
  Trap("SubExecuteAction", [&] {
    if (id == "cmdAttachmentFolder") {
      SetSeparateFolderPathForAttachment();
    } else if (id == "cmdStripAttachmentsFolder") {
      StripAttachmentsFromAllItemsInFolder(ActiveExplorerFolder(), false, true);
    } else if (id == "cmdReInstateAttachmentsFolder") {
      AttachFilesOnAllItemsInFolder(ActiveExplorerFolder());
    } else if (IsOneOf(id, {"cmdCopyAttachmentsToFolder", "cmdCopyAttachmentsToFolderContext",
                            "cmdCopyAttachmentsToFolderContextMulti"})) {
      CopyAttachmentsToFileFolder();
    } else if (IsOneOf(id, {"cmdDetachToACustomFolder", "cmdDetachToACustomFolderContext",
                            "cmdDetachToACustomFolderContextMulti"})) {
      StripAttachmentsToACustomFolder();
    } else if (id == "cmdDetach") {
      ProcessEmail(ActiveInspectorItem(), false, "", false);
    } else if (IsOneOf(id, {"cmdStripAttachments", "cmdStripAttachmentsContext",
                            "cmdStripAttachmentsContextMulti"})) {
      StripAttachments();
    } else if (id == "cmdReAttach") {
      ReAttachFiles(ActiveInspectorItem(), false, "");
    } else if (IsOneOf(id, {"cmdReInstateAttachments", "cmdReInstateAttachmentsContext",
                            "cmdReInstateAttachmentsContextMulti"})) {
      AttachFiles();
    } else if (id == "cmdReAttachCompose" || id == "cmdRemoveLinksCompose") {
      bool attach = id == "cmdReAttachCompose";
      std::string key = ActiveInspectorItem()->ConversationIndex();
      std::string list = GetComposeAttachments(key);
      if (!list.empty()) {
        subRemoveFilesLinks(ActiveInspectorItem(), list, true, attach);
        // The list is spent once its files are attached, so a second click attaches
        // nothing; the key is read again from the item as it is now.
        if (attach) ClearComposeAttachments(ActiveInspectorItem()->ConversationIndex());
      }
    } else if (IsOneOf(id,
                       {"cmdRemoveLinks", "cmdRemoveLinksContext", "cmdRemoveLinksContextMulti"})) {
      RemoveLinks();
    } else if (id == "cmdDelete") {
      DeleteItemAndFiles(ActiveInspectorItem(), true);
    } else if (IsOneOf(id,
                       {"cmdDeleteItems", "cmdDeleteItemsContext", "cmdDeleteItemsContextMulti"})) {
      DeleteItemFiles();
    } else if (id == "cmdSettingsFolders") {
      OpenSettingsPage(0);
    } else if (id == "cmdSettingsAttachments") {
      OpenSettingsPage(1);
    } else if (id == "cmdSettingsExtension") {
      OpenSettingsPage(2);
    } else if (id == "cmdHelpTopics") {
      OpenHelpManual();
    } else if (id == "cmdVideoTour") {
      modFileSystem::RunApp(product::kVideoPage, "", "");
    } else if (id == "cmdProductPage") {
      modFileSystem::RunApp(product::kHomePage, "", "");
    } else if (id == "cmdAbout") {
      ShowAbout();
    } else {
      Required(platform::Platform().ui).MsgBox(id + " - Not Implemented", ui::vbOKOnly, "");
    }
  });
}

}  // namespace stow::modRibbon
