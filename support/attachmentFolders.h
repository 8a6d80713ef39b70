#pragma once
// The attachment folder chosen for one host folder, stored as a text value of the
// settings key named after the host folder's path with every "\" replaced by "."
// (\\Mailbox - User\Inbox is stored as "..Mailbox - User.Inbox").

#include <string>

namespace stow {

// The value name of a host folder path.
std::string AttachmentFolderValueName(const std::string& folderPath);

// The folder stored for a host folder path; "" when none is stored or it cannot be read.
std::string ReadAttachmentFolderPathFromRegistry(const std::string& folderPath);
// Same; the engine's entry point (reports under "mMain.GetAttachmentFolderPathFromRegistry").
std::string GetAttachmentFolderPathFromRegistry(const std::string& folderPath);
// Stores the folder for a host folder path; a failing write is ignored.
void WriteAttachmentFolderPathToRegistry(const std::string& folderPath, const std::string& value);

}  // namespace stow
