#pragma once
// Everything the store does with GMime lives behind this header: parsing a message
// (headers only, or the whole structure with the part contents left where they
// are), reading and writing its header fields, telling body parts from
// attachments, decoding a part faithfully, the edits the object model makes (HTML
// body, removing, adding and restoring parts) and writing the message out.
//
// This header does not include GMime: messages and parts are handles (GMimeMessage*,
// GMimeObject*, GMimePart* for a body, GMimeStream* for content) that only the
// mime*.cc files look into. mime.cc reads, mime_edit.cc changes and writes,
// mime_restore.cc puts a detached part back (part_restore.h). A message read here
// belongs to one thread at a time.

#include <glib-object.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/maildir/part_restore.h"

typedef struct _GMimeMessage GMimeMessage;
typedef struct _GMimeObject GMimeObject;
typedef struct _GMimePart GMimePart;
typedef struct _GMimeStream GMimeStream;

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

// ---------------------------------------------------------------------------
// Parsing

// A parsed message. For a whole-structure parse of a large message the descriptor
// stays open and part contents are read from it when needed.
class Document {
 public:
  // Whole structure of the message read from fd (taken: the document closes it),
  // from its current offset; name says which message it is in errors. Messages up
  // to 16 MiB are read into memory at once, larger ones are read from fd as the
  // parts are needed. Raises ComError when fd cannot be read or holds no message.
  static std::shared_ptr<Document> Parse(int fd, const std::string& name);
  // The same for the file at path (kObjectGone when there is none).
  static std::shared_ptr<Document> Parse(const std::string& path);
  // Only a header block (text up to its first empty line, as scan::ReadHeaderText
  // reads it); name as above.
  static std::shared_ptr<Document> ParseHeaders(std::string text, const std::string& name);
  // The header block of the file at path.
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

// ---------------------------------------------------------------------------
// Header fields (mime.cc reads, mime_edit.cc writes)

// Header value (unfolded, not decoded) of a message's top level or of a part; empty
// when absent.
std::string RawHeader(GMimeMessage* message, const char* name);
std::string RawHeader(GMimeObject* object, const char* name);
// All raw values of a header, in order.
std::vector<std::string> RawHeaders(GMimeMessage* message, const char* name);
std::vector<std::string> RawHeaders(GMimeObject* object, const char* name);
// text as GMime decodes an unstructured header (RFC 2047 words decoded).
std::string DecodeHeaderText(const std::string& text);
// The message ids of a References or In-Reply-To value, in order, without "<>".
std::vector<std::string> MessageIdsIn(const std::string& value);
// A Message-ID value decoded as GMime decodes it ("" when there is none).
std::string DecodeMessageId(const std::string& value);

std::string Subject(GMimeMessage* message);
// The To addresses as one text ("Ann <ann@example.org>, bob@example.org").
std::string To(GMimeMessage* message);
std::string MessageId(GMimeMessage* message);
// The date of the first (newest) Received header; nullopt when it has none.
std::optional<std::int64_t> ReceivedTime(GMimeMessage* message);

void SetSubject(GMimeMessage* message, const std::string& subject);
// Replaces the To addresses with those of text.
void SetTo(GMimeMessage* message, const std::string& text);
// Adds to reply's To the address a reply to original goes to (its Reply-To, else
// its From).
void AddReplyRecipients(GMimeMessage* original, GMimeMessage* reply);
// Gives a message without a Message-ID one (made for this host), and one without a
// Date the time now.
void EnsureMessageId(GMimeMessage* message);
void EnsureDate(GMimeMessage* message);
// Sets (replacing) or appends a top-level header; with a charset, the value is
// UTF-8 text encoded as RFC 2047 words where it needs them, else it is written as
// it is (ASCII).
void SetHeader(GMimeMessage* message, const char* name, const std::string& value,
               const char* charset = nullptr);
void AppendHeader(GMimeMessage* message, const char* name, const std::string& value);
// Removes every top-level header of that name.
void RemoveHeaders(GMimeMessage* message, const char* name);
// Sets a header of a part; removes every header of that name from every part.
void SetPartHeader(GMimeObject* part, const char* name, const std::string& value);
void RemovePartHeaders(GMimeMessage* message, const char* name);

// Parameters of a part's Content-Type and Content-Disposition, as written (not
// decoded); nullopt when absent.
std::optional<std::string> ContentTypeParameter(GMimeObject* part, const char* name);
std::optional<std::string> DispositionParameter(GMimeObject* part, const char* name);
void SetContentTypeParameter(GMimeObject* part, const char* name, const std::string& value);
// Content-ID without "<>" (empty when none); setting "" removes it.
std::string ContentId(GMimeObject* part);
void SetContentId(GMimeObject* part, const std::string& id);

// ---------------------------------------------------------------------------
// Structure

// Upper-cased content type "TYPE/SUBTYPE" of a part.
std::string MimeType(GMimeObject* object);
// The message's top-level part.
GMimeObject* TopPart(GMimeMessage* message);
// Every leaf part of the message in order, descending into multiparts (not into
// attached messages).
std::vector<GMimeObject*> LeafParts(GMimeMessage* message);

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

// Decoded file name (RFC 2231 and RFC 2047), empty when the part has none.
std::string PartFileName(GMimeObject* part);

// ---------------------------------------------------------------------------
// Content

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

// Content for a new part: bytes copied now, or the file open at fd (taken; read
// from its current offset at Save time).
GRef<GMimeStream> MemoryContent(const std::string& bytes);
// Content that takes over the first size bytes at data (allocated by g_malloc).
GRef<GMimeStream> TakeMemoryContent(char* data, std::size_t size);
GRef<GMimeStream> FileContent(int fd);

// ---------------------------------------------------------------------------
// Edits (mime_edit.cc, mime_restore.cc)

// Replaces the HTML body with html (UTF-8), written in the charset the body had (a
// character it lacks as a character reference; a body in a charset unknown here
// becomes UTF-8 and says so in its <meta>). The plain-text body follows, as a mail
// client's does: prior (what an earlier call did to it) is undone, and when html
// holds a block of links the plain text gets the same list (a heading, then a line
// per file: name and file: URL). A mail with a plain-text body only keeps it as the
// text/plain alternative of a new multipart/alternative whose HTML shows the text
// as it reads; it gets the plain text alone back when the last link goes. A mail
// with no body gets html as its first part. Returns what was done to the plain text.
std::optional<PlainEdit> SetBodies(GMimeMessage* message, const std::string& html,
                                   const std::optional<PlainEdit>& prior);
void SetPlainBody(GMimeMessage* message, const std::string& text);

// Removes part; a multipart left empty goes with it.
void RemovePart(GMimeMessage* message, GMimeObject* part);

// Adds an attachment whose content is read at Save time: base64, but a message
// (.eml) unencoded as RFC 2046 requires. The message holds the part.
GMimeObject* AddAttachmentPart(GMimeMessage* message, GMimeStream* content,
                               const std::string& fileName);

// Hidden attachments live outside the MIME structure, so that no reader lists them:
// a part holding bytes under name, in no message; one added back as the mail's last
// attachment; and one taken out (as RemovePart does; a top-level multipart/mixed
// left with one part gives way to it).
GRef<GMimeObject> LoosePart(const std::string& name, const std::string& bytes);
void AddLoosePart(GMimeMessage* message, GMimeObject* part);
void TakeOutOfStructure(GMimeMessage* message, GMimeObject* part);
// The part's decoded bytes (raises as DecodePart does).
std::string PartBytes(GMimeObject* part, Fidelity fidelity = Fidelity::kExact);

// MIME type for a file name, from its extension.
std::string ContentTypeForName(const std::string& fileName);

// Where part sits in message: the index of the part (or of the multipart below) in
// each multipart above it, innermost first.
std::vector<int> PlaceOf(GMimeMessage* message, GMimeObject* part);
// What part is, before it is taken out. indexes are its PlaceOf as the mail was
// first read (earlier removals shift the ones seen now).
RemovedPart DescribePart(GMimeMessage* message, GMimeObject* part, const std::vector<int>& indexes,
                         const std::string& name, std::int64_t size, const std::string& sha256);
// Puts a part like removed, holding content (its decoded bytes, read at Save time),
// back into message: in the multipart it came from (made again when it went), else
// as the mail's last attachment. Text keeps its charset and encoding; a message
// part comes back 7bit, 8bit or binary as its bytes need, never encoded. Returns
// the new part (the message holds it); nullptr when removed describes no part.
GMimeObject* RestorePart(GMimeMessage* message, const RemovedPart& removed, GMimeStream* content);

// Serialises the message to fd; returns the bytes written. Raises on failure. An
// attachment in an unencoded transfer whose bytes hold a CR is written base64, which
// alone keeps it.
std::int64_t WriteMessage(GMimeMessage* message, int fd);

}  // namespace stow::maildir::mime
