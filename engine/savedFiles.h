#pragma once
// The saved files of detached attachments after the detach: where a record's file
// is now, how it is attached again under its attachment name without copying it,
// and how it goes when it is no longer needed (to the user's trash, never deleted:
// a copy of the mail elsewhere may still link to it).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/cProcessedAttachment.h"
#include "engine/linkBlock.h"
#include "platform/file_system.h"
#include "platform/object_model.h"

namespace stow {

// The record's file: at its path, else the one the trash holds from that path (of
// the recorded size when the record says), and then fromTrash is set; "" when
// neither has it.
std::string LocateSavedFile(platform::FileSystemObject& fso, const cProcessedAttachment& record,
                            bool& fromTrash);

// The file at source under the name attachmentName, for the store to attach: a link
// of that name in the process's own working folder (never a file someone else can
// have put there), or source itself when its name is already that name or no link
// can be made. The link goes with this object; the file never does.
class NamedFile {
 public:
  NamedFile(platform::FileSystemObject& fso, const std::string& source,
            const std::string& attachmentName);
  ~NamedFile();
  NamedFile(const NamedFile&) = delete;
  NamedFile& operator=(const NamedFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  platform::FileSystemObject& fso_;
  std::string path_;
  std::string link_;
};

// Moves a saved file that nothing should link to any more into the trash: "" when it
// went, else why it stays where it is.
std::string TrashSavedFile(platform::FileSystemObject& fso, const std::string& path);

// Tab, CR and LF end the fields and lines of the record list: a path holding one
// cannot be recorded.
bool HoldsRecordSeparator(const std::string& text);

class cProcessedAttachments;
// The files a block links to for these records (inline images are in the body).
std::vector<LinkedFile> LinkedFilesOf(const cProcessedAttachments& records);

// Reports (as a "verify" outcome) each record of the item: its file there and of the
// recorded size, missing (and whether the trash holds it), or of another size.
// Changes nothing.
void VerifySavedFiles(const std::shared_ptr<om::Item>& item);

// For an item whose saved files were moved from oldDir to newDir (the same names
// below it): each record under oldDir whose file is at its new place (of the
// recorded size, when the record says) is pointed there, with its link and its
// inline image reference; the others stay as they are and are reported. The item is
// saved only when something changed.
void RelinkSavedFiles(const std::shared_ptr<om::Item>& item, const std::string& oldDir,
                      const std::string& newDir);

}  // namespace stow
