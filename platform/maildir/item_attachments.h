#pragma once
// The attachments of a MIME item (mime_item.h): the parts a mail client shows as
// attachments (mime::AttachmentParts), in message order.
//
// FileName and DisplayName are the part's names, RFC 2231 and RFC 2047 decoded,
// never a path; a part the HTML shows by "cid:" without a name of its own is named
// after its type ("image-1.gif"). Size is the decoded size a mail reader shows.
// Field gives the Content-ID (PR_ATTACH_CONTENT_ID) and the hidden flag
// (PR_ATTACHMENT_HIDDEN, an authenticated record of item_marks.h); SetField sets
// them until Save.
//
// SaveAsFile writes the part's bytes, and only when they are exactly what the
// encoded text stands for (else it raises and the attachment stays in the mail);
// the file is written without a name and linked in whole, or written aside and
// renamed, and is on disk before SaveAsFile returns (SaveAsFileUnflushed leaves
// that flush to the caller). Delete takes the part out and
// records what brings it back (part_restore.h): Add of a file with the same name
// and the same bytes puts that part back as it was (type and parameters,
// Content-ID, disposition, place in the structure, a permitted encoding); any other
// file is a new attachment. Add copies the file's bytes at once (the caller may
// change or delete the file before Save): in memory up to 1 MiB, else in a nameless
// file of the storage's work folder. Nothing in signed or encrypted mail changes.

#include <memory>

#include "platform/maildir/mime_item.h"
#include "platform/object_model.h"

namespace stow::maildir {

std::shared_ptr<om::Attachments> MakeAttachments(std::shared_ptr<MimeItem> item);

}  // namespace stow::maildir
