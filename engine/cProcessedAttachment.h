#pragma once
// The record of one detached attachment.

#include <cstdint>
#include <string>

#include "platform/com_object.h"

namespace stow {

class cProcessedAttachment : public ComObject {
 public:
  // Full path of the saved file; the record's key in cProcessedAttachments.
  std::string AttachmentPath;
  // The file name the host reported; the name the file is attached under again.
  std::string AttachmentName;
  // An inline image the HTML body referenced by a "cid:" address.
  bool blnInlineImage = false;
  // Size as the host reported it; used only to find the attachment to delete
  // while detaching, and not part of the text form.
  std::int32_t AttachmentSize = 0;
  // Bytes of the saved file when it was saved; -1 when the record does not say
  // (records written before it was kept). A fourth field of the text form, so that
  // a file that was replaced, truncated or moved can be told from the one saved.
  std::int64_t SavedSize = -1;
};

}  // namespace stow
