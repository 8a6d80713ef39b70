#pragma once
// Where a detached attachment goes and under which name.

#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "platform/object_model.h"
#include "platform/ui.h"

namespace stow {

// The attachment folder of a mail folder (nullptr: the active explorer's folder),
// by AttachmentFolderOption; "" when none.
std::string GetAttachmentFolderPathSetByUser(const std::shared_ptr<om::Folder>& folder);

// The folder prompt "Select a file folder to save the attachments to"; "" when cancelled.
std::string fncAskForFolderPath();

// The platform's folder browser; "" when cancelled (and when the chosen folder's
// path cannot be recorded, see RefuseUnrecordableFolder).
std::string BrowseForFolder(ui::WindowHandle owner, const std::string& title);

// A folder whose path holds a tab or a line break cannot hold saved files: the
// records would split the path and name another file. True (and the user is told,
// naming the folder) when path is such a folder.
bool RefuseUnrecordableFolder(const std::string& path);

// A detach that is only looked at before it is done: its names draw nothing. A
// random number shows as kRandomPlaceholder (of the same length), a running number
// is the one the settings would give next without taking it, and the paths already
// planned count as taken.
struct NamePreview {
  std::int32_t runningNumbersTaken = 0;
  std::set<std::string> planned;
};
inline constexpr const char* kRandomPlaceholder = "#####";

// The file name (no folder part) to save an attachment under.
std::string GetAttachmentName(const std::shared_ptr<om::Item>& item,
                              const std::string& attachmentFileName, bool withPrefix,
                              bool unreadableName, NamePreview* preview = nullptr);

// Extension of a file name in lower case, "" when there is no dot.
std::string GetExtensionName(const std::string& fileName, bool withDot);

// A whole random number, at least low and below high.
std::int32_t GetRandomLong(std::int32_t low, std::int32_t high);

}  // namespace stow
