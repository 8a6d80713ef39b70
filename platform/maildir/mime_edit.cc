// The edits the object model makes to a message, and writing it out.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "platform/com_error.h"
#include "platform/maildir/mime_internal.h"

namespace stow::maildir::mime {

namespace {

void RemoveAll(GMimeObject* object, const char* name) {
  while (g_mime_object_remove_header(object, name)) {
  }
}

}  // namespace

void SetPartText(GMimePart* part, const std::string& text) {
  SetPartBytes(part, text, "utf-8");
}

void SetPartBytes(GMimePart* part, const std::string& bytes, const std::string& charset,
                  const std::string& encoding) {
  GRef<GMimeStream> mem(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
  GRef<GMimeDataWrapper> wrapper(
      g_mime_data_wrapper_new_with_stream(mem.get(), GMIME_CONTENT_ENCODING_DEFAULT));
  g_mime_part_set_content(part, wrapper.get());
  if (!charset.empty())
    g_mime_object_set_content_type_parameter(GMIME_OBJECT(part), "charset", charset.c_str());
  else if (GMimeContentType* type = g_mime_object_get_content_type(GMIME_OBJECT(part)))
    g_mime_param_list_remove(g_mime_content_type_get_parameters(type), "charset");
  // Plain 7bit (or the 8bit asked for) when that keeps every byte as it is; otherwise
  // base64, which (unlike quoted-printable read back by other tools) returns CR LF
  // and long lines exactly. Quoted-printable only when asked for and no CR is in it.
  bool seven = true, eight = true;
  std::size_t line = 0;
  for (char c : bytes) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u == '\n') {
      line = 0;
      continue;
    }
    seven &= u < 0x80;
    if (u == '\r' || u == 0 || ++line > 900) seven = eight = false;
  }
  // A text not ending in a line break would gain one: the last line break before a
  // boundary or the end belongs to the MIME structure, not to the text.
  if (!bytes.empty() && bytes.back() != '\n') seven = eight = false;
  GMimeContentEncoding chosen = seven ? GMIME_CONTENT_ENCODING_7BIT : GMIME_CONTENT_ENCODING_BASE64;
  if (encoding == "8bit" && eight && !seven) chosen = GMIME_CONTENT_ENCODING_8BIT;
  if (encoding == "quoted-printable" && bytes.find('\r') == std::string::npos)
    chosen = GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE;
  if (encoding == "base64") chosen = GMIME_CONTENT_ENCODING_BASE64;
  g_mime_part_set_content_encoding(part, chosen);
}

GMimePart* NewTextPart(const char* subtype, const std::string& text) {
  GMimePart* part = GMIME_PART(g_mime_text_part_new_with_subtype(subtype));
  SetPartText(part, text);
  return part;
}

// Puts replacement where old is, whether old is the top-level part or a child.
void ReplacePart(GMimeMessage* message, GMimeObject* old, GMimeObject* replacement) {
  GMimeMultipart* parent = ParentOf(message, old);
  if (!parent) {
    g_mime_message_set_mime_part(message, replacement);
    return;
  }
  int index = g_mime_multipart_index_of(parent, old);
  GMimeObject* removed = g_mime_multipart_replace(parent, index, replacement);
  if (removed) g_object_unref(removed);
}

void InsertFirst(GMimeMessage* message, GMimeObject* part) {
  GMimeObject* top = g_mime_message_get_mime_part(message);
  if (top && MimeType(top) == "MULTIPART/MIXED") {
    g_mime_multipart_insert(GMIME_MULTIPART(top), 0, part);
    return;
  }
  GMimeMultipart* mixed = g_mime_multipart_new_with_subtype("mixed");
  g_mime_multipart_add(mixed, part);
  if (top) g_mime_multipart_add(mixed, top);
  g_mime_message_set_mime_part(message, GMIME_OBJECT(mixed));
  g_object_unref(mixed);
}

void SetSubject(GMimeMessage* message, const std::string& subject) {
  g_mime_message_set_subject(message, subject.c_str(), "utf-8");
}

void SetTo(GMimeMessage* message, const std::string& text) {
  InternetAddressList* list = g_mime_message_get_to(message);
  internet_address_list_clear(list);
  if (InternetAddressList* parsed = internet_address_list_parse(nullptr, text.c_str())) {
    internet_address_list_append(list, parsed);
    g_object_unref(parsed);
  }
}

void AddReplyRecipients(GMimeMessage* original, GMimeMessage* reply) {
  InternetAddressList* from = g_mime_message_get_reply_to(original);
  if (!from || internet_address_list_length(from) == 0) from = g_mime_message_get_from(original);
  if (from) internet_address_list_append(g_mime_message_get_to(reply), from);
}

void EnsureMessageId(GMimeMessage* message) {
  if (!MessageId(message).empty()) return;
  char* id = g_mime_utils_generate_message_id(g_get_host_name());
  g_mime_message_set_message_id(message, id);
  g_free(id);
}

void EnsureDate(GMimeMessage* message) {
  if (g_mime_message_get_date(message)) return;
  GDateTime* now = g_date_time_new_now_local();
  g_mime_message_set_date(message, now);
  g_date_time_unref(now);
}

void SetHeader(GMimeMessage* message, const char* name, const std::string& value,
               const char* charset) {
  g_mime_object_set_header(GMIME_OBJECT(message), name, value.c_str(), charset);
}

void AppendHeader(GMimeMessage* message, const char* name, const std::string& value) {
  g_mime_object_append_header(GMIME_OBJECT(message), name, value.c_str(), nullptr);
}

void RemoveHeaders(GMimeMessage* message, const char* name) {
  RemoveAll(GMIME_OBJECT(message), name);
}

void SetPartHeader(GMimeObject* part, const char* name, const std::string& value) {
  g_mime_object_set_header(part, name, value.c_str(), nullptr);
}

void RemovePartHeaders(GMimeMessage* message, const char* name) {
  std::function<void(GMimeObject*)> clear = [&](GMimeObject* o) {
    if (!o) return;
    RemoveAll(o, name);
    if (!GMIME_IS_MULTIPART(o)) return;
    int n = g_mime_multipart_get_count(GMIME_MULTIPART(o));
    for (int i = 0; i < n; ++i) clear(g_mime_multipart_get_part(GMIME_MULTIPART(o), i));
  };
  clear(g_mime_message_get_mime_part(message));
}

void SetContentTypeParameter(GMimeObject* part, const char* name, const std::string& value) {
  g_mime_object_set_content_type_parameter(part, name, value.c_str());
}

void SetContentId(GMimeObject* part, const std::string& id) {
  if (id.empty())
    g_mime_object_remove_header(part, "Content-Id");
  else
    g_mime_object_set_content_id(part, id.c_str());
}

GRef<GMimeStream> MemoryContent(const std::string& bytes) {
  return GRef<GMimeStream>(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
}

GRef<GMimeStream> TakeMemoryContent(char* data, std::size_t size) {
  GByteArray* array = g_byte_array_new_take(reinterpret_cast<guint8*>(data), size);
  return GRef<GMimeStream>(g_mime_stream_mem_new_with_byte_array(array));  // owns it now
}

GRef<GMimeStream> FileContent(int fd) {
  return GRef<GMimeStream>(g_mime_stream_fs_new(fd));
}

void RemovePart(GMimeMessage* message, GMimeObject* part) {
  GMimeObject* target = part;
  for (;;) {
    GMimeMultipart* parent = ParentOf(message, target);
    if (!parent) {
      // The part was the whole message: what is left is an empty text.
      GMimePart* empty = NewTextPart("plain", "");
      g_mime_message_set_mime_part(message, GMIME_OBJECT(empty));
      g_object_unref(empty);
      return;
    }
    g_mime_multipart_remove(parent, target);
    if (g_mime_multipart_get_count(parent) > 0) return;
    target = GMIME_OBJECT(parent);
  }
}

Shape ShapeOf(GMimeStream* content, std::string* keep) {
  Shape s;
  std::size_t line = 0;  // bytes of the line so far
  char last = '\0';
  char buf[65536];
  g_mime_stream_reset(content);
  // Every part put back is looked at whole: each question is asked of a block at
  // once (memchr, a byte OR the compiler vectorises) and no more once answered.
  for (ssize_t got; (got = g_mime_stream_read(content, buf, sizeof buf)) > 0;) {
    std::size_t n = static_cast<std::size_t>(got);
    if (keep) keep->append(buf, n);
    if (!s.nul) s.nul = std::memchr(buf, 0, n) != nullptr;
    if (!s.carriageReturn) s.carriageReturn = std::memchr(buf, '\r', n) != nullptr;
    if (!s.eightBit) {
      unsigned char any = 0;
      for (std::size_t i = 0; i < n; ++i) any |= static_cast<unsigned char>(buf[i]);
      s.eightBit = (any & 0x80) != 0;
    }
    for (const char *at = buf, *end = buf + n; !s.longLine;) {
      const char* nl = static_cast<const char*>(std::memchr(at, '\n', end - at));
      std::size_t length = static_cast<std::size_t>((nl ? nl : end) - at);
      s.longLine = line + length > 998;
      if (!nl) {
        line += length;
        break;
      }
      line = 0;
      at = nl + 1;
    }
    last = buf[n - 1];
  }
  g_mime_stream_reset(content);
  s.endsInCr = last == '\r';
  return s;
}

GMimeContentEncoding UnencodedFor(const Shape& s) {
  if (s.nul || s.longLine || s.endsInCr) return GMIME_CONTENT_ENCODING_BINARY;
  return s.eightBit ? GMIME_CONTENT_ENCODING_8BIT : GMIME_CONTENT_ENCODING_7BIT;
}

void AppendAttachment(GMimeMessage* message, GMimeObject* part) {
  GMimeObject* top = g_mime_message_get_mime_part(message);
  if (top && MimeType(top) == "MULTIPART/MIXED") {
    g_mime_multipart_add(GMIME_MULTIPART(top), part);
    return;
  }
  GMimeMultipart* mixed = g_mime_multipart_new_with_subtype("mixed");
  if (top) g_mime_multipart_add(mixed, top);
  g_mime_multipart_add(mixed, part);
  g_mime_message_set_mime_part(message, GMIME_OBJECT(mixed));
  g_object_unref(mixed);
}

namespace {

GMimePart* NewAttachmentPart(GMimeStream* content, const std::string& fileName) {
  std::string type = ContentTypeForName(fileName);
  auto slash = type.find('/');
  GMimePart* part =
      g_mime_part_new_with_type(type.substr(0, slash).c_str(), type.substr(slash + 1).c_str());
  // A message goes as it is, written from the content unchanged (content and part in
  // the same encoding).
  GMimeContentEncoding encoding = type.rfind("message/", 0) == 0 ? UnencodedFor(ShapeOf(content))
                                                                 : GMIME_CONTENT_ENCODING_BASE64;
  GRef<GMimeDataWrapper> wrapper(g_mime_data_wrapper_new_with_stream(
      content,
      encoding == GMIME_CONTENT_ENCODING_BASE64 ? GMIME_CONTENT_ENCODING_DEFAULT : encoding));
  g_mime_part_set_content(part, wrapper.get());
  g_mime_part_set_content_encoding(part, encoding);
  g_mime_object_set_disposition(GMIME_OBJECT(part), "attachment");
  g_mime_part_set_filename(part, fileName.c_str());
  return part;
}

}  // namespace

GMimeObject* AddAttachmentPart(GMimeMessage* message, GMimeStream* content,
                               const std::string& fileName) {
  GMimePart* part = NewAttachmentPart(content, fileName);
  AppendAttachment(message, GMIME_OBJECT(part));
  g_object_unref(part);  // the message holds it now
  return GMIME_OBJECT(part);
}

GRef<GMimeObject> LoosePart(const std::string& name, const std::string& bytes) {
  GRef<GMimeStream> content = MemoryContent(bytes);
  GRef<GMimeObject> part(GMIME_OBJECT(NewAttachmentPart(content.get(), name)));
  g_mime_object_set_content_type_parameter(part.get(), "name", name.c_str());
  return part;
}

void AddLoosePart(GMimeMessage* message, GMimeObject* part) {
  AppendAttachment(message, part);
}

void TakeOutOfStructure(GMimeMessage* message, GMimeObject* part) {
  GMimeMultipart* parent = ParentOf(message, part);
  RemovePart(message, part);
  // The multipart/mixed an added attachment made gives way to the part it held.
  if (parent && MimeType(GMIME_OBJECT(parent)) == "MULTIPART/MIXED" &&
      g_mime_multipart_get_count(parent) == 1 && !ParentOf(message, GMIME_OBJECT(parent))) {
    GMimeObject* only = g_mime_multipart_get_part(parent, 0);
    g_object_ref(only);
    g_mime_multipart_remove(parent, only);
    g_mime_message_set_mime_part(message, only);
    g_object_unref(only);
  }
}

std::string PartBytes(GMimeObject* part, Fidelity fidelity) {
  std::string bytes;
  DecodePart(
      part, [&](const char* d, std::size_t n) { bytes.append(d, n); }, fidelity);
  return bytes;
}

namespace {

void KeepCarriageReturns(GMimePart* part) {
  GMimeObject* o = GMIME_OBJECT(part);
  switch (g_mime_part_get_content_encoding(part)) {
    case GMIME_CONTENT_ENCODING_DEFAULT:
    case GMIME_CONTENT_ENCODING_7BIT:
    case GMIME_CONTENT_ENCODING_8BIT:
    case GMIME_CONTENT_ENCODING_BINARY:
      break;
    default:
      return;
  }
  // Text is read as lines, and its CR LF may become LF; other bytes are the file.
  if (g_mime_content_type_is_type(g_mime_object_get_content_type(o), "text", "*")) return;
  GMimeDataWrapper* content = g_mime_part_get_content(part);
  GMimeStream* stream = content ? g_mime_data_wrapper_get_stream(content) : nullptr;
  if (stream && ShapeOf(stream).carriageReturn)
    g_mime_part_set_content_encoding(part, GMIME_CONTENT_ENCODING_BASE64);
}

}  // namespace

std::int64_t WriteMessage(GMimeMessage* message, int fd) {
  EachLeaf(g_mime_message_get_mime_part(message), KeepCarriageReturns);
  // A pipe stream writes to any descriptor without the fsync a file stream's flush
  // does (the caller flushes the file once, when it is whole); the buffer turns the
  // writer's many small pieces (a header line each) into block writes.
  GRef<GMimeStream> fdStream(g_mime_stream_pipe_new(fd));
  g_mime_stream_pipe_set_owner(GMIME_STREAM_PIPE(fdStream.get()), FALSE);
  GRef<GMimeStream> out(g_mime_stream_buffer_new(fdStream.get(), GMIME_STREAM_BUFFER_BLOCK_WRITE));
  errno = 0;
  ssize_t n = g_mime_object_write_to_stream(GMIME_OBJECT(message), nullptr, out.get());
  int err = errno;
  if (n < 0 || g_mime_stream_flush(out.get()) < 0)
    Raise(err == ENOSPC ? errnum::kDiskFull : errnum::kFail, kSource,
          std::string("Cannot write the message: ") + (err ? std::strerror(err) : "write failed"));
  return n;
}

}  // namespace stow::maildir::mime
