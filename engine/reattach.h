#pragma once
// Undoing a detach: the saved files attached again, the link block removed.

#include <memory>
#include <string>

#include "platform/object_model.h"

namespace stow {

// batch: called by the folder batch (no view refresh). records: the record text,
// "" to read the item's own. A record whose file is at its path or in the trash is
// put back; one that cannot be keeps its record and its link, and is reported. A
// saved file is moved to the trash once the item holding its bytes is saved.
void ReAttachFiles(const std::shared_ptr<om::Item>& item, bool batch, const std::string& records);

// Removes the link block and/or attaches the listed files without deleting them.
void subRemoveFilesLinks(const std::shared_ptr<om::Item>& item, const std::string& records,
                         bool removeBlock, bool attachFiles);

// Where a saved file is made to appear under its attachment name for attaching: the
// temporary folder (the process's own) and the name, made safe first when it is not
// a plain file name (a sender's "../x" or "/etc/x" never reaches outside it). ""
// when no such name can be made (the saved file is then attached itself).
std::string TempCopyPath(const std::string& attachmentName);

// Makes the active explorer show its current folder afresh.
void RefreshFolder();

}  // namespace stow
