#pragma once
// The command routines: each works on what the user is looking at (the active
// explorer's selection, the active inspector's item, or a folder). One item goes to
// the engine directly; several go through the batch window fStripAttachments.

#include <memory>
#include <string>

#include "platform/object_model.h"

namespace stow {

// Detach into the attachment folder.
void StripAttachments();
// Detach into a folder the user picks for this run.
void StripAttachmentsToACustomFolder();
// Re-attach the saved files.
void AttachFiles();
// Delete the items with their saved files (one confirmation for several items).
void DeleteItemFiles();

// The folder routines; a folder of one item is handled without the batch window.
void StripAttachmentsFromAllItemsInFolder(const std::shared_ptr<om::Folder>& folder,
                                          bool skipProcessed, bool showFolderMessage);
void AttachFilesOnAllItemsInFolder(const std::shared_ptr<om::Folder>& folder);
// Deletes the attachments of every item, nothing saved (Sent Items).
void RemoveAttachmentsFromAllItemsInFolder(const std::shared_ptr<om::Folder>& folder,
                                           bool skipProcessed);

// Removes the link block of the current item (its files stay where they are).
void RemoveLinks();
// Opens the attachment folder dialog for the current host folder.
void SetSeparateFolderPathForAttachment();

// The first selected item of the active explorer, or the active inspector's item.
std::shared_ptr<om::Item> GetCurrentSelectedItem();

// The text a batch shows before its first item.
inline constexpr const char* kInitiatingText = "Initiating Process! Please Wait...";

}  // namespace stow
