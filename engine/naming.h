#pragma once
// Where a detached attachment goes and under which name.

#include <cstdint>
#include <memory>
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

// The file name (no folder part) to save an attachment under.
std::string GetAttachmentName(const std::shared_ptr<om::Item>& item,
                              const std::string& attachmentFileName, bool withPrefix,
                              bool unreadableName);

// Extension of a file name in lower case, "" when there is no dot.
std::string GetExtensionName(const std::string& fileName, bool withDot);

// A whole random number, at least low and below high.
std::int32_t GetRandomLong(std::int32_t low, std::int32_t high);

}  // namespace stow
