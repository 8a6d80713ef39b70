#pragma once
// Host helper routines of module modOutlookCode: folders as full path texts and
// back, the folder the user is looking at, asking for a host folder, telling an
// inspector from an explorer, creating objects by name with the host as a fallback
// factory, and the script host's shell object.

#include <memory>
#include <string>

#include "platform/com_object.h"
#include "platform/forms.h"
#include "platform/object_model.h"
#include "platform/shell.h"

namespace stow::modOutlookCode {

// Creates an object by programmatic name: through the system's factory, then the
// running host's CreateObject (the other way round with preferHost). Nothing when
// both fail; errors are not reported.
ComPtr CreateObjectEx(const std::string& progId, bool preferHost);

// The "Wscript.Shell" object, or nothing. A first failure starts
// "regsvr32 wshom.ocx /s" and tries once more.
std::shared_ptr<platform::WshShell> GetWS();

// "\\Store\Inbox\Sub": the walk upward stops at the first ancestor whose name is
// the name of a top-level folder of nameSpace. Host errors are ignored (a step that
// fails leaves the text as far as it got).
std::string GetFullFolderPath(const std::shared_ptr<om::Folder>& folder,
                              const std::shared_ptr<om::NameSpace>& nameSpace);

// A folder from a full folder path ("\\Store\Inbox\Sub") or, for a text without
// "\", the shared Inbox of that mailbox. Nothing when it cannot be reached; with
// showMessage the user is told so ("Cannot access the specified path!").
std::shared_ptr<om::Folder> GetFolderFromPath(const std::string& path, bool showMessage);

// The host's folder picker, the host's main window brought forward first and the
// owner form (may be null) afterwards. Nothing when the user cancelled.
std::shared_ptr<om::Folder> PickOutlookFolder(ui::Form* owner);

// "MailBox" for a text without "\", "Folder" for a path, "" for blanks.
std::string GetFolderType(const std::string& entry);

// FolderPath of the open item's folder when an inspector is active, else of the
// active explorer's folder; "" when there is none.
std::string GetCurrentFolderPath();

// True when the host's active window is an inspector.
bool IsActiveWindowOfInspector();

// Shows the form modally; errors ignored.
void ShowFormModal(ui::Form& form);

}  // namespace stow::modOutlookCode
