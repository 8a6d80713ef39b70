#pragma once
// Undoing a detach: the saved files attached again, the link block removed.

#include <memory>
#include <string>

#include "platform/object_model.h"

namespace stow {

// batch: called by the folder batch (no view refresh). records: the record text,
// "" to read the item's own.
void ReAttachFiles(const std::shared_ptr<om::Item>& item, bool batch, const std::string& records);

// Removes the link block and/or attaches the listed files without deleting them.
void subRemoveFilesLinks(const std::shared_ptr<om::Item>& item, const std::string& records,
                         bool removeBlock, bool attachFiles);

// Where a saved file is copied so that it is attached under its attachment name:
// the temporary folder and the name, made safe first when it is not a plain file
// name (a sender's "../x" or "/etc/x" never reaches outside the temporary folder).
// "" when no copy can be named (the saved file is then attached itself).
std::string TempCopyPath(const std::string& attachmentName);

// Removes, once per process, what a re-attach killed with its temporary copies in
// the temporary folder left there (see reattach.cc); a detach calls it too, so
// that any run after a kill leaves the folder clean.
void SweepInterruptedCopies();

// Makes the active explorer show its current folder afresh.
void RefreshFolder();

}  // namespace stow
