#pragma once
// Copying the attachments of items to a folder the user picks, leaving the items
// untouched, and the platform's special folder paths.

#include <memory>
#include <string>

#include "platform/object_model.h"

namespace stow {

// The command: asks for a folder, then copies the attachments of the selection or of
// the open item into it (several items through the batch window).
void CopyAttachmentsToFileFolder();

// Saves the attachments of one item into folderPath (inline and hidden ones skipped
// when asked). Returns folderPath when the item had attachments, the folder existed
// and the item could be wrapped; otherwise "". The item is not changed.
std::string SaveAttachmentsToFolder(const std::shared_ptr<om::Item>& item,
                                    const std::string& folderPath, bool skipInline,
                                    bool skipHidden);

// The path of a special folder (5: the user's Documents), "" when there is none.
std::string GetSpecialFolderPath(int folderId, int flags);

}  // namespace stow
