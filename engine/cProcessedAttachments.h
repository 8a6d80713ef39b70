#pragma once
// The keyed list of detached-attachment records of one item, and its text form:
// one line per record, path TAB name TAB "-1"/"0" (TAB the saved file's size, when
// known), lines joined by CR LF. Readers that take three fields ignore the fourth. Keys
// (paths) are compared byte for byte, as the file system compares names; the list
// keeps insertion order.

#include <memory>
#include <string>
#include <vector>

#include "engine/cProcessedAttachment.h"
#include "platform/dictionary.h"

namespace stow {

class cProcessedAttachments {
 public:
  cProcessedAttachments();
  ~cProcessedAttachments();
  cProcessedAttachments(const cProcessedAttachments&) = delete;
  cProcessedAttachments& operator=(const cProcessedAttachments&) = delete;

  // Adds the records of the text form; records already listed stay, and a line
  // whose path is already listed is dropped. A first line
  // without a name field stops the parse ("cProcessedAttachments.SetString").
  void FromString(const std::string& StringToParse);
  // The text form, in list order; "" for an empty list.
  std::string ToString() const;

  // Adds a record under its AttachmentPath; false (and nothing added) when the
  // path is already listed or the list could not be created.
  bool Add(const std::shared_ptr<cProcessedAttachment>& record);
  // The records in list order.
  std::vector<std::shared_ptr<cProcessedAttachment>> Records() const;
  int Count() const;

  // Key = AttachmentPath, item = the cProcessedAttachment (binary compare). Empty
  // only when the scripting runtime could not make a dictionary (then reported).
  std::shared_ptr<platform::Dictionary> dicList;
};

}  // namespace stow
