#pragma once
// Deleting an item together with its saved files, and an item's attachments without
// saving them.

#include <memory>
#include <string>

#include "platform/object_model.h"

namespace stow {

// askFirst: ask the single-item question (when DeleteItemPrompt is on). The item is
// deleted for good (not moved to Deleted Items); its saved files then go to the
// user's trash.
void DeleteItemAndFiles(const std::shared_ptr<om::Item>& item, bool askFirst);

// Closes, discarding changes, the open inspector showing the item with that entry id.
void CloseInspector(const std::string& entryId);

// Deletes every attachment of item and saves it; nothing is saved to disk. Signed or
// encrypted mail is left as it is.
void subDeleteAttachments(const std::shared_ptr<om::Item>& item);

}  // namespace stow
