#pragma once
// Identical attachments stored once. The same file forwarded twenty times would
// otherwise be saved twenty times: a detach that has just written an attachment
// looks for a file of the same bytes in the attachment folder it saves into (and
// the folders below it), and when there is one the new name becomes a second name
// of that file (a hard link) instead of a copy. Every saved name stays a path of
// its own, so links, records, re-attach, delete and the trash work per name as
// before; only the bytes on disk are shared.

#include <cstdint>
#include <string>

#include "platform/file_system.h"

namespace stow {

// A working name in folder that is a second name of a file in folder's tree holding
// the same bytes as written (a new file of size bytes in folder, still under its own
// working name), or "" when there is none or no link can be made there. Bytes are
// compared in full through the new name, so a file changed meanwhile is never
// taken for the same. portable: the working name is one every file system takes.
std::string LinkToSameFile(platform::FileSystemObject& fso, const std::string& folder,
                           const std::string& written, std::int64_t size, bool portable);

// The file now at path (of size bytes) was saved into folder: later saves find it.
// was: the name it had before, when that was noted (a working name), now forgotten.
void NoteSavedFile(const std::string& folder, const std::string& path, std::int64_t size,
                   const std::string& was = "");

// Forgets what is known of every folder (a new settings profile, a test).
void ForgetSavedFiles();

}  // namespace stow
