#pragma once
// The authenticated records the store keeps in a message's own headers: the
// billing text, the user properties, the hidden flag of an attachment and what
// brings a detached part back. A header can be written by any sender, so only the
// records this program signed are believed: a forged record list in an incoming
// mail must never make the system read, attach or delete a file.
//
// THE HEADERS (top-level unless said otherwise; all values ASCII):
//   X-Stowbright-Billing: v=1; value=<base64 of the UTF-8 text>; k=<key id>; mac=<hex>
//   X-Stowbright-Property: v=1; name=<base64 of the UTF-8 name>; type=<OlUserPropertyType>;
//       value=<base64 of the value's text form>; k=<key id>; mac=<hex>
//   X-Stowbright-Part: v=1; k=<key id>; data=<base64 of a RemovedPart's text>; mac=<hex>
//   X-Stowbright-Text: v=1; k=<key id>; data=<base64 of a PlainEdit's text>; mac=<hex>
//   X-Stowbright-Attachment: v=1; k=<key id>; data=<base64 of a HiddenFile's text>; mac=<hex>
//   X-Stowbright-Hidden: v=1; k=<key id>; mac=<hex>   (on the MIME part of a hidden
//       attachment too large for a header)
// Base64 runs are folded over several lines. The value's text form is the text for
// olText, "%.17g" for numbers and currency, "yyyy-mm-dd hh:mm:ss" for dates,
// "True"/"False" for yes/no. mac is HMAC-SHA256 under the store secret (header_auth.h,
// store_secret.h) over the length-prefixed fields: the kind ("billing", "property",
// "part", "text", "attachment", "hidden"), the message's Message-ID, then the name,
// type and value (property), the value (billing), the record's text (part, text,
// attachment) or the part's file name (hidden). k names the secret (HeaderAuth::KeyId).
//
// A record whose mac does not verify reads as absent and is dropped at the next
// save; so is one copied into another message. One that names a secret other than
// the store's was made by this program under a secret since lost or changed: it is
// not believed either, and the item is never saved (that would drop it).
// A message saved without a Message-ID gets one.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/maildir/header_auth.h"
#include "platform/maildir/mime.h"
#include "platform/maildir/mime_item.h"
#include "platform/maildir/part_restore.h"

namespace stow::maildir {

// Reads the records of messages under the store's secret.
class RecordReader {
 public:
  explicit RecordReader(const HeaderAuth& auth) : auth_(auth) {}

  // The billing text of the message with this Message-ID whose billing headers have
  // these raw values; "" when none verifies.
  std::string Billing(const std::string& messageId, const std::vector<std::string>& values);
  std::string Billing(GMimeMessage* message);
  // The user properties, in order, the first of each name (compared without regard
  // to case).
  std::vector<std::shared_ptr<PropertyState>> Properties(GMimeMessage* message);
  // The parts taken out of the message that can still come back.
  std::vector<RemovedPart> RemovedParts(GMimeMessage* message);
  // The hidden attachments kept with the marks.
  std::vector<HiddenFile> HiddenFiles(GMimeMessage* message);
  // What setting the HTML body did to the plain text, to be undone.
  std::optional<PlainEdit> PlainEditOf(GMimeMessage* message);
  // The hidden flag of an attachment part of the message.
  bool Hidden(GMimeMessage* message, GMimeObject* part) const;

  // A record read so far was made under another secret.
  bool sawForeign() const { return sawForeign_; }

 private:
  // The data of the records of this kind under header that verify.
  std::vector<std::string> DataRecords(GMimeMessage* message, const char* header, const char* kind);

  const HeaderAuth& auth_;
  bool sawForeign_ = false;
};

// The message carries a record made under another secret than auth's.
bool CarriesForeignRecords(const HeaderAuth& auth, GMimeMessage* message);

struct RecordsToWrite {
  std::string billing;  // "" for none
  std::vector<std::shared_ptr<PropertyState>> properties;
  std::vector<RemovedPart> removed;     // the parts that can still come back
  std::vector<GMimeObject*> hidden;     // the attachment parts that are hidden
  std::optional<PlainEdit> plainEdit;   // what the HTML body did to the plain text
  std::vector<HiddenFile> hiddenFiles;  // hidden attachments kept out of the structure
};

// Replaces every record of the message (which has its Message-ID) with these,
// signed under auth.
void WriteRecords(const HeaderAuth& auth, GMimeMessage* message, const RecordsToWrite& records);

// The UserProperties object of item: Find raises kItemInConflict for an item in
// conflict; Add raises 5 for an empty name and kFail for a name taken with another
// type; values convert to the property's type as they are set.
std::shared_ptr<om::UserProperties> MakeUserProperties(std::shared_ptr<MimeItem> item);

}  // namespace stow::maildir
