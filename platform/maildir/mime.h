#pragma once
// Everything the store does with GMime lives behind this header: parsing a
// message file (headers only, or the whole structure with the part contents left
// in the file), telling body parts from attachments, decoding a part faithfully,
// and the edits the object model makes (HTML body, removing and adding parts).

#include <gmime/gmime.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace stow::maildir::mime {

void EnsureInitialized();

// Owns one reference to a GObject.
template <class T>
class GRef {
 public:
  GRef() = default;
  explicit GRef(T* p) : p_(p) {}  // adopts a reference
  GRef(const GRef& o) : p_(o.p_) {
    if (p_) g_object_ref(p_);
  }
  GRef& operator=(GRef o) {
    std::swap(p_, o.p_);
    return *this;
  }
  ~GRef() {
    if (p_) g_object_unref(p_);
  }
  static GRef Share(T* p) {
    if (p) g_object_ref(p);
    return GRef(p);
  }
  T* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

// A parsed message. For a whole-structure parse the file descriptor stays open
// and part contents are read from the file when needed.
class Document {
 public:
  // Whole structure of the message file at path. Raises ComError when the file
  // cannot be opened or is not a message.
  static std::shared_ptr<Document> Parse(const std::string& path);
  // Only the header block (the file is read up to the first empty line).
  static std::shared_ptr<Document> ParseHeaders(const std::string& path);
  // An empty new mail with a plain-text body.
  static std::shared_ptr<Document> NewMail();

  GMimeMessage* message() const { return message_.get(); }
  // Why the message cannot be changed safely (a truncated multipart, a missing
  // boundary, a critical parse problem); empty when it is sound.
  const std::string& damage() const { return damage_; }

 private:
  GRef<GMimeMessage> message_;
  GRef<GMimeStream> stream_;
  std::string damage_;
};

// Header value (unfolded, not decoded) of an object; empty when absent.
std::string RawHeader(GMimeObject* object, const char* name);
// All raw values of a header, in order.
std::vector<std::string> RawHeaders(GMimeObject* object, const char* name);

struct Bodies {
  GMimePart* html = nullptr;
  GMimePart* plain = nullptr;
};
Bodies FindBodies(GMimeMessage* message);

// The parts a mail client shows as attachments, in message order.
std::vector<GMimeObject*> AttachmentParts(GMimeMessage* message);

// Names for the parts the HTML body shows by "cid:" that have no name of their own:
// "<type>-<n>.<extension>" ("image-1.gif"), n counting those of a type in order.
std::map<GMimeObject*, std::string> NamelessInlineNames(GMimeMessage* message,
                                                     const std::vector<GMimeObject*>& parts);

// Whether part sits inside a signed or encrypted structure, and whether the message
// has one at all (changing a byte there breaks the signature or the message).
bool InsideSealed(GMimeMessage* message, GMimeObject* part);
bool IsSealed(GMimeMessage* message);

// The multipart holding part; nullptr when part is the top-level part.
GMimeMultipart* ParentOf(GMimeMessage* message, GMimeObject* part);

// Decoded file name (RFC 2231 and RFC 2047), empty when the part has none.
std::string PartFileName(GMimeObject* part);

// Writes the part's decoded bytes to sink. kExact (what an attachment taken out of
// the mail needs) raises ComError unless the bytes are exactly what the encoded text
// stands for (see decoders.h); kReadable (a body to show and rewrite) reads
// quoted-printable and an unpadded base64 end as mail readers do.
using Sink = std::function<void(const char* data, std::size_t size)>;
enum class Fidelity { kExact, kReadable };
void DecodePart(GMimeObject* part, const Sink& sink, Fidelity fidelity = Fidelity::kExact);
// The size a mail reader shows (kReadable): an attachment kept in the mail because
// it cannot be decoded exactly still has one.
std::int64_t DecodedSize(GMimeObject* part);

// The text of a text part, decoded and converted to UTF-8.
std::string PartText(GMimePart* part);

// Replaces the HTML body with html (UTF-8); a mail without one gets it in place of
// its plain-text body, or as its first part.
void SetHtmlBody(GMimeMessage* message, const std::string& html);
void SetPlainBody(GMimeMessage* message, const std::string& text);

// Removes part; a multipart left empty goes with it.
void RemovePart(GMimeMessage* message, GMimeObject* part);

// Adds an attachment whose content is read from the stream at Save time: base64,
// but a message (.eml) unencoded as RFC 2046 requires.
GMimePart* AddAttachmentPart(GMimeMessage* message, GMimeStream* content,
                             const std::string& fileName);
// Adds part (a reference is taken) as the mail's last attachment: into its top-level
// multipart/mixed, made when there is none.
void AppendAttachment(GMimeMessage* message, GMimeObject* part);

// What bytes allow as an unencoded transfer encoding (read from content, which is
// left at its start; kept in *keep when asked).
struct Shape {
  bool eightBit = false, nul = false, longLine = false;
  // The line break before a boundary belongs to the boundary: bytes ending in CR
  // cannot go unencoded.
  bool endsInCr = false;
  // GMime writes unencoded and quoted-printable content with its CR LF made LF: only
  // base64 keeps a CR.
  bool carriageReturn = false;
};
Shape ShapeOf(GMimeStream* content, std::string* keep = nullptr);
// The narrowest of 7bit, 8bit and binary for bytes of that shape.
GMimeContentEncoding UnencodedFor(const Shape& shape);

// MIME type for a file name, from its extension.
std::string ContentTypeForName(const std::string& fileName);

// Serialises the message to fd; returns the bytes written. Raises on failure. An
// attachment in an unencoded transfer whose bytes hold a CR is written base64, which
// alone keeps it.
std::int64_t WriteMessage(GMimeMessage* message, int fd);

// Upper-cased content type "TYPE/SUBTYPE" of an object.
std::string MimeType(GMimeObject* object);

}  // namespace stow::maildir::mime
