#pragma once
// The ribbon side of the add-in: the custom-UI documents the host asks for per
// ribbon type, the answers to the ribbon's callbacks, and SubExecuteAction, the one
// dispatcher every ribbon button (and the host program) runs a command through.
// The connection class's ribbon members (host/ribbon.cc) forward here.

#include <string>

#include "support/ribbonRefresh.h"

namespace stow::modRibbon {

// The published custom-UI namespaces: the 2007 schema (inspector ribbons) and the
// 2010 schema (the explorer ribbon, its context menus and dynamic menu contents).
inline constexpr const char* kNamespace2007 =
    "http://schemas.microsoft.com/office/2006/01/customui";
inline constexpr const char* kNamespace2010 =
    "http://schemas.microsoft.com/office/2009/07/customui";

// The manual that Help Topics opens, in the program's own folder.
inline constexpr const char* kManualFileName = "Stowbright.pdf";

// The document for a ribbon type ("Microsoft.Outlook.Mail.Read", ...); "" for any
// other type or on a failure.
std::string GetCustomUI(const std::string& ribbonId);
// The document for an item type: "Mail", "Mail.Compose", "Post", "Explorer"; ""
// for anything else (failures reported as "Addin.2007UI").
std::string fncBuildUI(const std::string& strItemType);

std::string GetExplorerUI2010();
std::string GetComposeUI2007(const std::string& tab, const std::string& group,
                             const std::string& anchor);
std::string GetReadUI2007(const std::string& tab, const std::string& group,
                          const std::string& anchor);
// The controls of the explorer group.
std::string GetStandardXML();
// The single-item and the multiple-items context menus.
std::string GetContextMenus();
std::string GetMultipleItemsContextMenu();
// The content of a dynamic menu, by the asking control's id (an empty menu for an
// id that has none).
std::string GetContentXML(const std::string& controlId);

// The attachment-folder button's label, screentip and visibility.
std::string GetAttachmentFolderCaption();
std::string GetScreenTipForAttachmentFolder();
bool GetAttachmentFolderVisible();

// Runs the command of a control id (reported as "SubExecuteAction" when it fails);
// an unknown id is answered with "<id> - Not Implemented".
void SubExecuteAction(const std::string& id);

// The manual's path: the program's folder + the manual's name.
std::string ManualPath();
// Opens the manual with the desktop's default action when it exists; else nothing.
void OpenHelpManual();
// Shows the about box modally (errors ignored) and lets it go.
void ShowAbout();

}  // namespace stow::modRibbon
