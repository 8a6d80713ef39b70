// Reading messages: parsing, header fields, structure and decoded content.

#include <fcntl.h>
#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "platform/com_error.h"
#include "platform/maildir/decoders.h"
#include "platform/maildir/fast_scan.h"
#include "platform/maildir/maildir_files.h"
#include "platform/maildir/mime_internal.h"

namespace stow::maildir::mime {

namespace {

struct ParseWarning {
  std::int64_t offset;
  GMimeParserWarning code;
  std::string item;
};

// The parser options are process-wide; the warnings of the parse in progress go
// to the list this points at (everything runs on one thread).
thread_local std::vector<ParseWarning>* tCollector = nullptr;

void CollectWarning(gint64 offset, GMimeParserWarning code, const gchar* item, gpointer) {
  if (tCollector) tCollector->push_back({offset, code, item ? item : ""});
}

GMimeParserOptions* ParserOptions() {
  static GMimeParserOptions* options = [] {
    EnsureInitialized();
    GMimeParserOptions* o = g_mime_parser_options_new();
    g_mime_parser_options_set_warning_callback(o, CollectWarning, nullptr);
    return o;
  }();
  return options;
}

// MIME types by file extension (lower case), first the one a file of that
// extension gets, then for naming a part by its type.
const std::pair<const char*, const char*> kTypesByExtension[] = {
    {"pdf", "application/pdf"},
    {"doc", "application/msword"},
    {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    {"xls", "application/vnd.ms-excel"},
    {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    {"ppt", "application/vnd.ms-powerpoint"},
    {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
    {"odt", "application/vnd.oasis.opendocument.text"},
    {"ods", "application/vnd.oasis.opendocument.spreadsheet"},
    {"rtf", "application/rtf"},
    {"zip", "application/zip"},
    {"gz", "application/gzip"},
    {"7z", "application/x-7z-compressed"},
    {"txt", "text/plain"},
    {"csv", "text/csv"},
    {"htm", "text/html"},
    {"html", "text/html"},
    {"xml", "application/xml"},
    {"json", "application/json"},
    {"ics", "text/calendar"},
    {"vcf", "text/vcard"},
    {"png", "image/png"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"gif", "image/gif"},
    {"bmp", "image/bmp"},
    {"tif", "image/tiff"},
    {"tiff", "image/tiff"},
    {"svg", "image/svg+xml"},
    {"webp", "image/webp"},
    {"mp3", "audio/mpeg"},
    {"wav", "audio/wav"},
    {"mp4", "video/mp4"},
    {"eml", "message/rfc822"},
};

std::string Upper(std::string s) {
  for (auto& c : s) c = g_ascii_toupper(c);
  return s;
}

bool IsMultipart(GMimeObject* o) {
  return GMIME_IS_MULTIPART(o);
}

bool ContainsMultipart(GMimeObject* o) {
  if (!o) return false;
  if (IsMultipart(o)) return true;
  if (GMIME_IS_MESSAGE_PART(o)) {
    GMimeMessage* m = g_mime_message_part_get_message(GMIME_MESSAGE_PART(o));
    return m && ContainsMultipart(g_mime_message_get_mime_part(m));
  }
  return false;
}

std::string Describe(const ParseWarning& w) {
  std::string what;
  switch (w.code) {
    case GMIME_WARN_MALFORMED_MULTIPART:
      what = "a multipart without parts";
      break;
    case GMIME_WARN_TRUNCATED_MESSAGE:
      what = "the message is truncated (a multipart has no closing boundary)";
      break;
    case GMIME_WARN_MALFORMED_MESSAGE:
      what = "the message is malformed";
      break;
    case GMIME_CRIT_INVALID_HEADER_NAME:
      what = "an invalid header name";
      break;
    case GMIME_CRIT_CONFLICTING_HEADER:
      what = "conflicting headers";
      break;
    case GMIME_CRIT_CONFLICTING_PARAMETER:
      what = "conflicting header parameters";
      break;
    case GMIME_CRIT_MULTIPART_WITHOUT_BOUNDARY:
      what = "a multipart without a boundary";
      break;
    case GMIME_CRIT_NESTING_OVERFLOW:
      what = "too deeply nested parts";
      break;
    case GMIME_WARN_PART_WITHOUT_CONTENT:
      what = "a part cut off by a boundary";
      break;
    case GMIME_CRIT_PART_WITHOUT_HEADERS_OR_CONTENT:
      what = "a part without headers or content";
      break;
    default:
      return "";
  }
  if (!w.item.empty()) what += " (" + w.item + ")";
  if (w.offset >= 0) what += " at byte " + std::to_string(w.offset);
  return what;
}

template <class F>
void Walk(GMimeObject* o, const F& visit) {
  if (!o) return;
  if (IsMultipart(o)) {
    if (MimeType(o) == "MULTIPART/ENCRYPTED") return;  // the ciphertext is the message
    GMimeMultipart* mp = GMIME_MULTIPART(o);
    int n = g_mime_multipart_get_count(mp);
    for (int i = 0; i < n; ++i) Walk(g_mime_multipart_get_part(mp, i), visit);
    return;
  }
  visit(o);
}

bool IsAttachmentDisposition(GMimeObject* o) {
  const char* d = g_mime_object_get_disposition(o);
  return d && g_ascii_strcasecmp(d, "attachment") == 0;
}

bool IsBodyCandidate(GMimeObject* o, const char* subtype) {
  if (!GMIME_IS_PART(o)) return false;
  GMimeContentType* ct = g_mime_object_get_content_type(o);
  if (!g_mime_content_type_is_type(ct, "text", subtype)) return false;
  if (IsAttachmentDisposition(o)) return false;
  return g_mime_part_get_filename(GMIME_PART(o)) == nullptr;
}

// Parts that belong to the structure of a signed, encrypted or report message
// rather than being something the sender attached.
bool IsStructuralPart(GMimeObject* o) {
  static const char* const kTypes[] = {
      "APPLICATION/PKCS7-SIGNATURE",   "APPLICATION/X-PKCS7-SIGNATURE",
      "APPLICATION/PGP-SIGNATURE",     "APPLICATION/PGP-ENCRYPTED",
      "MESSAGE/DELIVERY-STATUS",       "MESSAGE/DISPOSITION-NOTIFICATION",
      "MESSAGE/GLOBAL-DELIVERY-STATUS"};
  std::string t = MimeType(o);
  for (const char* k : kTypes)
    if (t == k) return true;
  return false;
}

GMimeObject* FindParentIn(GMimeObject* root, GMimeObject* target) {
  if (!root || !IsMultipart(root)) return nullptr;
  GMimeMultipart* mp = GMIME_MULTIPART(root);
  int n = g_mime_multipart_get_count(mp);
  for (int i = 0; i < n; ++i) {
    GMimeObject* child = g_mime_multipart_get_part(mp, i);
    if (child == target) return root;
    if (GMimeObject* found = FindParentIn(child, target)) return found;
  }
  return nullptr;
}

}  // namespace

void EnsureInitialized() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

std::string MimeType(GMimeObject* object) {
  if (!object) return "";
  GMimeContentType* ct = g_mime_object_get_content_type(object);
  if (!ct) return "";
  return Upper(Adopted(g_mime_content_type_get_mime_type(ct)));
}

namespace {

// Messages up to this size are read into memory in one go: the parser and the
// decoders then read from memory. Through a descriptor, every small read of the
// parser and of each part's content costs a seek and a read (two system calls per
// few kilobytes, more time than the parse itself). Larger messages keep the
// descriptor, so that memory stays bounded whatever the size of an attachment.
constexpr off_t kInMemoryParseBytes = 16 * 1024 * 1024;

// Takes fd (closed here when the message was read into memory).
GMimeStream* OpenForParse(int fd, const std::string& path) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kInMemoryParseBytes)
    return g_mime_stream_fs_new(fd);
  GByteArray* bytes = g_byte_array_sized_new(static_cast<guint>(st.st_size));
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      g_byte_array_unref(bytes);
      close(fd);
      Raise(errnum::kFail, kSource, "Cannot read message " + path + ": " + std::strerror(err));
    }
    if (n == 0) break;
    g_byte_array_append(bytes, reinterpret_cast<const guint8*>(buf), static_cast<guint>(n));
    if (bytes->len > static_cast<guint>(kInMemoryParseBytes) * 2) {
      // Grew while being read: stream it from the descriptor after all.
      g_byte_array_unref(bytes);
      lseek(fd, 0, SEEK_SET);
      return g_mime_stream_fs_new(fd);
    }
  }
  close(fd);
  return g_mime_stream_mem_new_with_byte_array(bytes);  // owns bytes
}

// GMime ends a part's content where it believes the line break before the next
// boundary starts: two bytes back in a message whose header lines end in CR LF, one
// in a message whose lines end in LF. A generator that ends the header and boundary
// lines in CR LF but the encoded lines in LF (or the other way round) then has the
// part's last byte cut off, or a stray CR kept, both when it is read and when the
// message is written again. The line break that belongs to the boundary is the one
// right before its "--" line (RFC 2046); every leaf is made to end just before it.
void RepairContentEnd(GMimePart* part) {
  GMimeDataWrapper* wrapper = g_mime_part_get_content(part);
  GMimeStream* raw = wrapper ? g_mime_data_wrapper_get_stream(wrapper) : nullptr;
  GMimeStream* whole = raw ? raw->super_stream : nullptr;
  if (!whole || raw->bound_end < 0) return;
  gint64 start = raw->bound_start, end = raw->bound_end;
  gint64 from = std::max(start, end - 1);
  // A substream must not reach past the end of a memory stream: it would read there.
  gint64 length = g_mime_stream_length(whole);
  if (length < end) return;
  GRef<GMimeStream> window(g_mime_stream_substream(whole, from, std::min(end + 4, length)));
  char bytes[5];
  ssize_t got = 0;
  while (got < static_cast<ssize_t>(sizeof bytes)) {
    ssize_t n = g_mime_stream_read(window.get(), bytes + got, sizeof bytes - got);
    if (n <= 0) break;
    got += n;
  }
  auto at = [&](gint64 pos) {
    gint64 i = pos - from;
    return i >= 0 && i < got ? bytes[i] : '\0';
  };
  gint64 boundaryLine = -1;
  if (at(end) == '\n' && at(end + 1) == '-' && at(end + 2) == '-')
    boundaryLine = end + 1;
  else if (at(end + 1) == '\n' && at(end + 2) == '-' && at(end + 3) == '-')
    boundaryLine = end + 2;
  if (boundaryLine < 0) return;  // the end of the message: nothing was taken off
  gint64 contentEnd = boundaryLine - 1;
  if (contentEnd > start && at(contentEnd - 1) == '\r') --contentEnd;
  if (contentEnd == end) return;
  GRef<GMimeStream> fixed(g_mime_stream_substream(whole, start, contentEnd));
  g_mime_data_wrapper_set_stream(wrapper, fixed.get());
}

}  // namespace

std::shared_ptr<Document> Document::Parse(const std::string& path) {
  return Parse(OpenMessageFile(path), path);
}

std::shared_ptr<Document> Document::Parse(int fd, const std::string& path) {
  EnsureInitialized();
  auto doc = std::make_shared<Document>();
  doc->stream_ = GRef<GMimeStream>(OpenForParse(fd, path));
  GRef<GMimeParser> parser(g_mime_parser_new_with_stream(doc->stream_.get()));
  g_mime_parser_set_persist_stream(parser.get(), TRUE);
  std::vector<ParseWarning> warnings;
  tCollector = &warnings;
  GMimeMessage* m = g_mime_parser_construct_message(parser.get(), ParserOptions());
  tCollector = nullptr;
  if (!m) Raise(errnum::kFail, kSource, "The file " + path + " is not a mail message");
  doc->message_ = GRef<GMimeMessage>(m);
  EachLeaf(g_mime_message_get_mime_part(m), RepairContentEnd);
  bool multipart = ContainsMultipart(g_mime_message_get_mime_part(m));
  for (const auto& w : warnings) {
    if (w.code == GMIME_WARN_TRUNCATED_MESSAGE && !multipart) continue;  // a body-less mail
    std::string d = Describe(w);
    if (d.empty()) continue;
    if (!doc->damage_.empty()) doc->damage_ += "; ";
    doc->damage_ += d;
  }
  return doc;
}

std::shared_ptr<Document> Document::ParseHeaders(const std::string& path) {
  int fd = OpenMessageFile(path);
  std::string text = scan::ReadHeaderText(fd).text;
  close(fd);
  return ParseHeaders(std::move(text), path);
}

std::shared_ptr<Document> Document::ParseHeaders(std::string text, const std::string& path) {
  EnsureInitialized();
  if (text.empty() || text.back() != '\n') text += "\n";
  text += "\n";
  auto doc = std::make_shared<Document>();
  GRef<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(text.data(), text.size()));
  GRef<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  std::vector<ParseWarning> warnings;
  tCollector = &warnings;
  GMimeMessage* m = g_mime_parser_construct_message(parser.get(), ParserOptions());
  tCollector = nullptr;
  if (!m) Raise(errnum::kFail, kSource, "The file " + path + " is not a mail message");
  doc->message_ = GRef<GMimeMessage>(m);
  return doc;
}

std::shared_ptr<Document> Document::NewMail() {
  EnsureInitialized();
  auto doc = std::make_shared<Document>();
  doc->message_ = GRef<GMimeMessage>(g_mime_message_new(TRUE));
  GMimeTextPart* body = g_mime_text_part_new_with_subtype("plain");
  g_mime_text_part_set_text(body, "");
  g_mime_message_set_mime_part(doc->message_.get(), GMIME_OBJECT(body));
  g_object_unref(body);
  return doc;
}

std::string RawHeader(GMimeObject* object, const char* name) {
  auto all = RawHeaders(object, name);
  return all.empty() ? std::string() : all.front();
}

std::string RawHeader(GMimeMessage* message, const char* name) {
  return RawHeader(GMIME_OBJECT(message), name);
}

std::vector<std::string> RawHeaders(GMimeMessage* message, const char* name) {
  return RawHeaders(GMIME_OBJECT(message), name);
}

std::vector<std::string> RawHeaders(GMimeObject* object, const char* name) {
  std::vector<std::string> out;
  GMimeHeaderList* list = g_mime_object_get_header_list(object);
  int n = g_mime_header_list_get_count(list);
  for (int i = 0; i < n; ++i) {
    GMimeHeader* h = g_mime_header_list_get_header_at(list, i);
    if (g_ascii_strcasecmp(g_mime_header_get_name(h), name) != 0) continue;
    const char* raw = g_mime_header_get_raw_value(h);
    std::string v;
    for (const char* p = raw ? raw : ""; *p; ++p)
      if (*p != '\r' && *p != '\n') v += *p;
    std::size_t b = v.find_first_not_of(" \t");
    std::size_t e = v.find_last_not_of(" \t");
    out.push_back(b == std::string::npos ? std::string() : v.substr(b, e - b + 1));
  }
  return out;
}

std::string DecodeHeaderText(const std::string& text) {
  char* d = g_mime_utils_header_decode_text(nullptr, text.c_str());
  std::string s = d ? d : text;
  g_free(d);
  return s;
}

std::vector<std::string> MessageIdsIn(const std::string& value) {
  std::vector<std::string> ids;
  if (GMimeReferences* r = g_mime_references_parse(nullptr, value.c_str())) {
    for (int i = 0; i < g_mime_references_length(r); ++i)
      ids.emplace_back(g_mime_references_get_message_id(r, i));
    g_mime_references_free(r);
  }
  return ids;
}

std::string DecodeMessageId(const std::string& value) {
  return Adopted(g_mime_utils_decode_message_id(value.c_str()));
}

std::string Subject(GMimeMessage* message) {
  const char* s = g_mime_message_get_subject(message);
  return s ? s : "";
}

std::string To(GMimeMessage* message) {
  InternetAddressList* to = g_mime_message_get_to(message);
  return Adopted(to ? internet_address_list_to_string(to, nullptr, FALSE) : nullptr);
}

std::string MessageId(GMimeMessage* message) {
  const char* id = g_mime_message_get_message_id(message);
  return id ? id : "";
}

std::optional<std::int64_t> ReceivedTime(GMimeMessage* message) {
  auto received = RawHeaders(message, "Received");
  if (received.empty()) return std::nullopt;
  auto semi = received.front().rfind(';');
  if (semi == std::string::npos) return std::nullopt;
  GDateTime* d = g_mime_utils_header_decode_date(received.front().substr(semi + 1).c_str());
  if (!d) return std::nullopt;
  std::int64_t s = g_date_time_to_unix(d);
  g_date_time_unref(d);
  return s;
}

std::optional<std::string> ContentTypeParameter(GMimeObject* part, const char* name) {
  const char* v = g_mime_object_get_content_type_parameter(part, name);
  return v ? std::optional<std::string>(v) : std::nullopt;
}

std::optional<std::string> DispositionParameter(GMimeObject* part, const char* name) {
  const char* v = g_mime_object_get_content_disposition_parameter(part, name);
  return v ? std::optional<std::string>(v) : std::nullopt;
}

std::string ContentId(GMimeObject* part) {
  const char* id = g_mime_object_get_content_id(part);
  return id ? id : "";
}

GMimeObject* TopPart(GMimeMessage* message) {
  return g_mime_message_get_mime_part(message);
}

std::vector<GMimeObject*> LeafParts(GMimeMessage* message) {
  std::vector<GMimeObject*> out;
  std::function<void(GMimeObject*)> walk = [&](GMimeObject* o) {
    if (!o) return;
    if (!IsMultipart(o)) {
      out.push_back(o);
      return;
    }
    int n = g_mime_multipart_get_count(GMIME_MULTIPART(o));
    for (int i = 0; i < n; ++i) walk(g_mime_multipart_get_part(GMIME_MULTIPART(o), i));
  };
  walk(g_mime_message_get_mime_part(message));
  return out;
}

Bodies FindBodies(GMimeMessage* message) {
  Bodies b;
  Walk(g_mime_message_get_mime_part(message), [&](GMimeObject* o) {
    if (!b.html && IsBodyCandidate(o, "html")) b.html = GMIME_PART(o);
    if (!b.plain && IsBodyCandidate(o, "plain")) b.plain = GMIME_PART(o);
  });
  return b;
}

std::vector<GMimeObject*> AttachmentParts(GMimeMessage* message) {
  std::vector<GMimeObject*> out;
  GMimeObject* top = g_mime_message_get_mime_part(message);
  std::string topType = MimeType(top);
  if (topType == "APPLICATION/PKCS7-MIME" || topType == "APPLICATION/X-PKCS7-MIME") return out;
  Bodies b = FindBodies(message);
  Walk(top, [&](GMimeObject* o) {
    if (o == GMIME_OBJECT(b.html) || o == GMIME_OBJECT(b.plain)) return;
    if (GMIME_IS_MESSAGE_PART(o) || IsAttachmentDisposition(o)) {
      out.push_back(o);
      return;
    }
    if (IsStructuralPart(o)) return;
    if (GMIME_IS_PART(o) && g_mime_part_get_filename(GMIME_PART(o))) {
      out.push_back(o);
      return;
    }
    GMimeContentType* ct = g_mime_object_get_content_type(o);
    if (ct && g_ascii_strcasecmp(g_mime_content_type_get_media_type(ct), "text") == 0) return;
    out.push_back(o);
  });
  return out;
}

std::map<GMimeObject*, std::string> NamelessInlineNames(GMimeMessage* message,
                                                        const std::vector<GMimeObject*>& parts) {
  std::map<GMimeObject*, std::string> names;
  std::string html;
  bool htmlRead = false;
  std::map<std::string, int> counts;
  for (GMimeObject* part : parts) {
    const char* id = g_mime_object_get_content_id(part);
    if (!id || !*id || !PartFileName(part).empty() ||
        g_mime_object_get_content_disposition_parameter(part, "filename"))
      continue;
    if (!htmlRead) {
      Bodies b = FindBodies(message);
      try {
        if (b.html) html = PartText(b.html);
      } catch (const ComError&) {
      }
      htmlRead = true;
    }
    if (html.find(std::string("cid:") + id) == std::string::npos) continue;
    std::string type = MimeType(part);
    for (auto& c : type) c = g_ascii_tolower(c);
    std::string major = type.substr(0, type.find('/')), extension = "bin";
    for (const auto& [e, t] : kTypesByExtension)
      if (type == t) {
        extension = e;
        break;
      }
    if (major.empty() || major.find_first_not_of("abcdefghijklmnopqrstuvwxyz") != std::string::npos)
      major = "attachment";
    names[part] = major + "-" + std::to_string(++counts[major]) + "." + extension;
  }
  return names;
}

namespace {

bool IsSealingMultipart(GMimeObject* o) {
  std::string t = MimeType(o);
  return t == "MULTIPART/SIGNED" || t == "MULTIPART/ENCRYPTED";
}

bool IsOpaqueTop(GMimeMessage* message) {
  std::string t = MimeType(g_mime_message_get_mime_part(message));
  return t == "APPLICATION/PKCS7-MIME" || t == "APPLICATION/X-PKCS7-MIME";
}

bool HasSealingMultipart(GMimeObject* o) {
  if (!IsMultipart(o)) return false;
  if (IsSealingMultipart(o)) return true;
  GMimeMultipart* mp = GMIME_MULTIPART(o);
  for (int i = 0; i < g_mime_multipart_get_count(mp); ++i)
    if (HasSealingMultipart(g_mime_multipart_get_part(mp, i))) return true;
  return false;
}

}  // namespace

bool InsideSealed(GMimeMessage* message, GMimeObject* part) {
  if (IsOpaqueTop(message)) return true;
  for (GMimeMultipart* up = ParentOf(message, part); up; up = ParentOf(message, GMIME_OBJECT(up)))
    if (IsSealingMultipart(GMIME_OBJECT(up))) return true;
  return false;
}

bool IsSealed(GMimeMessage* message) {
  return IsOpaqueTop(message) || HasSealingMultipart(g_mime_message_get_mime_part(message));
}

GMimeMultipart* ParentOf(GMimeMessage* message, GMimeObject* part) {
  GMimeObject* p = FindParentIn(g_mime_message_get_mime_part(message), part);
  return p ? GMIME_MULTIPART(p) : nullptr;
}

std::string PartFileName(GMimeObject* part) {
  const char* name = nullptr;
  if (GMIME_IS_PART(part)) {
    name = g_mime_part_get_filename(GMIME_PART(part));
  } else {
    name = g_mime_object_get_content_disposition_parameter(part, "filename");
    if (!name) name = g_mime_object_get_content_type_parameter(part, "name");
  }
  std::string s = name ? name : "";
  // Some senders put RFC 2047 words inside a quoted parameter.
  if (s.find("=?") != std::string::npos) s = DecodeHeaderText(s);
  if (s.empty() && GMIME_IS_MESSAGE_PART(part)) {
    GMimeMessage* m = g_mime_message_part_get_message(GMIME_MESSAGE_PART(part));
    const char* subject = m ? g_mime_message_get_subject(m) : nullptr;
    s = subject && *subject ? subject : "Forwarded message";
    s += ".eml";
  }
  // A name is a name, never a path.
  for (auto& c : s)
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) c = '_';
  return s;
}

void DecodePart(GMimeObject* part, const Sink& sink, Fidelity fidelity) {
  if (GMIME_IS_MESSAGE_PART(part)) {
    GMimeMessage* m = g_mime_message_part_get_message(GMIME_MESSAGE_PART(part));
    if (!m) return;
    GRef<GMimeStream> mem(g_mime_stream_mem_new());
    if (g_mime_object_write_to_stream(GMIME_OBJECT(m), nullptr, mem.get()) < 0)
      Undecodable("the attached message cannot be read");
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem.get()));
    if (bytes->len) sink(reinterpret_cast<const char*>(bytes->data), bytes->len);
    return;
  }
  if (!GMIME_IS_PART(part)) Undecodable("not a leaf part");
  GMimeDataWrapper* wrapper = g_mime_part_get_content(GMIME_PART(part));
  if (!wrapper) return;
  GMimeStream* raw = g_mime_data_wrapper_get_stream(wrapper);
  if (!raw) return;
  GMimeContentEncoding enc = g_mime_data_wrapper_get_encoding(wrapper);
  // GMime passes a transfer encoding it does not know through as it is; those bytes
  // are the encoded text, not the attachment.
  if (const char* cte = g_mime_object_get_header(part, "Content-Transfer-Encoding")) {
    std::string name = cte;
    name.erase(0, name.find_first_not_of(" \t"));
    name.erase(name.find_last_not_of(" \t\r\n") + 1);
    if (g_mime_content_encoding_from_string(name.c_str()) == GMIME_CONTENT_ENCODING_DEFAULT)
      Undecodable("an unknown transfer encoding (" + name + ")");
  }
  if (g_mime_stream_reset(raw) < 0) Undecodable("the part cannot be read");
  GRef<GMimeStream> source = GRef<GMimeStream>::Share(raw);
  bool exact = fidelity == Fidelity::kExact;
  if (enc == GMIME_CONTENT_ENCODING_UUENCODE ||
      (!exact && enc == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE)) {
    GMimeStream* filtered = g_mime_stream_filter_new(raw);
    GMimeFilter* f = g_mime_filter_basic_new(enc, FALSE);
    g_mime_stream_filter_add(GMIME_STREAM_FILTER(filtered), f);
    g_object_unref(f);
    source = GRef<GMimeStream>(filtered);
  }
  Base64Decoder b64(sink, !exact);
  QuotedPrintableDecoder qp(sink);
  std::vector<char> buf(1 << 16);
  for (;;) {
    ssize_t n = g_mime_stream_read(source.get(), buf.data(), buf.size());
    if (n < 0) Undecodable(std::string("read error: ") + std::strerror(errno));
    if (n == 0) break;
    if (enc == GMIME_CONTENT_ENCODING_BASE64)
      b64.Feed(buf.data(), static_cast<std::size_t>(n));
    else if (exact && enc == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE)
      qp.Feed(buf.data(), static_cast<std::size_t>(n));
    else
      sink(buf.data(), static_cast<std::size_t>(n));
    if (g_mime_stream_eos(source.get())) break;
  }
  if (enc == GMIME_CONTENT_ENCODING_BASE64) b64.Finish();
  if (exact && enc == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE) qp.Finish();
}

std::int64_t DecodedSize(GMimeObject* part) {
  std::int64_t total = 0;
  DecodePart(
      part, [&](const char*, std::size_t n) { total += static_cast<std::int64_t>(n); },
      Fidelity::kReadable);
  return total;
}

std::string PartText(GMimePart* part) {
  std::string bytes = PartBytes(GMIME_OBJECT(part), Fidelity::kReadable);
  const char* charset = g_mime_object_get_content_type_parameter(GMIME_OBJECT(part), "charset");
  if (charset && *charset) {
    const char* iconvName = g_mime_charset_iconv_name(charset);
    gsize written = 0;
    gchar* utf8 = g_convert(bytes.data(), static_cast<gssize>(bytes.size()), "UTF-8", iconvName,
                            nullptr, &written, nullptr);
    if (utf8) {
      std::string s(utf8, written);
      g_free(utf8);
      return s;
    }
  }
  if (g_utf8_validate(bytes.data(), static_cast<gssize>(bytes.size()), nullptr)) return bytes;
  gsize written = 0;
  gchar* utf8 = g_convert_with_fallback(bytes.data(), static_cast<gssize>(bytes.size()), "UTF-8",
                                        "WINDOWS-1252", "?", nullptr, &written, nullptr);
  std::string s = utf8 ? std::string(utf8, written) : bytes;
  g_free(utf8);
  return s;
}

std::string ContentTypeForName(const std::string& fileName) {
  const auto& kTable = kTypesByExtension;
  auto dot = fileName.rfind('.');
  if (dot != std::string::npos) {
    std::string ext = fileName.substr(dot + 1);
    for (auto& c : ext) c = g_ascii_tolower(c);
    for (const auto& [e, type] : kTable)
      if (ext == e) return type;
  }
  gboolean uncertain = TRUE;
  gchar* guessed = g_content_type_guess(fileName.c_str(), nullptr, 0, &uncertain);
  gchar* mimeType = guessed ? g_content_type_get_mime_type(guessed) : nullptr;
  std::string result =
      mimeType && !uncertain && std::strchr(mimeType, '/') ? mimeType : "application/octet-stream";
  g_free(mimeType);
  g_free(guessed);
  return result;
}

}  // namespace stow::maildir::mime
