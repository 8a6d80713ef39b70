// Describing a part before it is taken out of a mail, and putting it back from that
// description (see part_restore.h for the record).

#include <algorithm>

#include "platform/maildir/mime_internal.h"

namespace stow::maildir::mime {

namespace {

bool PathTo(GMimeObject* node, GMimeObject* target, std::vector<std::pair<GMimeObject*, int>>& up) {
  if (!GMIME_IS_MULTIPART(node)) return false;
  GMimeMultipart* mp = GMIME_MULTIPART(node);
  for (int i = 0; i < g_mime_multipart_get_count(mp); ++i) {
    GMimeObject* child = g_mime_multipart_get_part(mp, i);
    if (child == target || PathTo(child, target, up)) {
      up.emplace_back(node, i);
      return true;
    }
  }
  return false;
}

// Each multipart above part, innermost first, with the index of the child below in it.
std::vector<std::pair<GMimeObject*, int>> Ancestry(GMimeMessage* message, GMimeObject* part) {
  std::vector<std::pair<GMimeObject*, int>> up;
  PathTo(g_mime_message_get_mime_part(message), part, up);
  return up;
}

std::string Boundary(GMimeObject* o) {
  const char* b = g_mime_object_get_content_type_parameter(o, "boundary");
  return b ? b : "";
}

// The object's header block as it was written (line breaks as LF), without the
// store's own marks and, when asked, without its transfer encoding.
std::string HeaderBlock(GMimeObject* o, bool withoutEncoding) {
  std::string out;
  GMimeHeaderList* list = g_mime_object_get_header_list(o);
  for (int i = 0; i < g_mime_header_list_get_count(list); ++i) {
    GMimeHeader* h = g_mime_header_list_get_header_at(list, i);
    const char* name = g_mime_header_get_name(h);
    if (g_ascii_strncasecmp(name, "X-Stowbright-", 13) == 0) continue;
    if (withoutEncoding && g_ascii_strcasecmp(name, "Content-Transfer-Encoding") == 0) continue;
    const char* raw = g_mime_header_get_raw_value(h);
    std::string line = std::string(name) + ":" + (raw ? raw : "");
    line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
    if (line.empty() || line.back() != '\n') line += '\n';
    out += line;
  }
  return out;
}

GMimeObject* ParseEntity(const std::string& text) {
  GRef<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(text.data(), text.size()));
  GRef<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  return g_mime_parser_construct_part(parser.get(), nullptr);
}

GMimeMultipart* FindMultipart(GMimeObject* node, const std::string& boundary) {
  if (!GMIME_IS_MULTIPART(node)) return nullptr;
  if (Boundary(node) == boundary) return GMIME_MULTIPART(node);
  GMimeMultipart* mp = GMIME_MULTIPART(node);
  for (int i = 0; i < g_mime_multipart_get_count(mp); ++i)
    if (GMimeMultipart* found = FindMultipart(g_mime_multipart_get_part(mp, i), boundary))
      return found;
  return nullptr;
}

// The transfer encoding the part comes back with: the one it had, where it carries
// the bytes; base64 where it does not.
GMimeContentEncoding EncodingFor(const std::string& stored, const Shape& s, bool text) {
  // Text keeps its encoding, its CR LF line breaks becoming LF as in every text part
  // GMime writes; other bytes keep their CRs only in base64.
  if (s.carriageReturn && !text) return GMIME_CONTENT_ENCODING_BASE64;
  if (stored == "quoted-printable") return GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE;
  bool binaryOk = !s.endsInCr, eightBitOk = binaryOk && !s.nul && !s.longLine;
  if (stored == "" && eightBitOk && !s.eightBit) return GMIME_CONTENT_ENCODING_DEFAULT;
  if (stored == "7bit" && eightBitOk && !s.eightBit) return GMIME_CONTENT_ENCODING_7BIT;
  if (stored == "8bit" && eightBitOk) return GMIME_CONTENT_ENCODING_8BIT;
  if (stored == "binary" && binaryOk) return GMIME_CONTENT_ENCODING_BINARY;
  return GMIME_CONTENT_ENCODING_BASE64;
}

GMimeObject* MakePart(const RemovedPart& removed, GMimeStream* content) {
  std::string bytes;
  GRef<GMimeObject> made(ParseEntity(removed.headers + "\n"));
  if (made && GMIME_IS_MESSAGE_PART(made.get())) {
    // A message travels as it is (RFC 2046 allows it no other encoding).
    GMimeContentEncoding encoding = UnencodedFor(ShapeOf(content, &bytes));
    made = GRef<GMimeObject>(ParseEntity(removed.headers + "\n" + bytes));
    if (made && (!removed.encoding.empty() || encoding != GMIME_CONTENT_ENCODING_7BIT))
      g_mime_object_set_header(made.get(), "Content-Transfer-Encoding",
                               g_mime_content_encoding_to_string(encoding), nullptr);
  } else if (made && GMIME_IS_PART(made.get())) {
    bool text =
        g_mime_content_type_is_type(g_mime_object_get_content_type(made.get()), "text", "*");
    GMimeContentEncoding encoding = EncodingFor(removed.encoding, ShapeOf(content), text);
    // An unencoded part is written from its content as it is only when the content
    // is said to be in the part's own encoding.
    bool raw = encoding != GMIME_CONTENT_ENCODING_BASE64 &&
               encoding != GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE;
    GRef<GMimeDataWrapper> wrapper(g_mime_data_wrapper_new_with_stream(
        content, raw ? encoding : GMIME_CONTENT_ENCODING_DEFAULT));
    g_mime_part_set_content(GMIME_PART(made.get()), wrapper.get());
    g_mime_part_set_content_encoding(GMIME_PART(made.get()), encoding);
  } else {
    return nullptr;
  }
  if (!made) return nullptr;
  g_object_ref(made.get());
  return made.get();
}

}  // namespace

std::vector<int> PlaceOf(GMimeMessage* message, GMimeObject* part) {
  std::vector<int> indexes;
  for (const auto& level : Ancestry(message, part)) indexes.push_back(level.second);
  return indexes;
}

RemovedPart DescribePart(GMimeMessage* message, GMimeObject* part, const std::vector<int>& indexes,
                         const std::string& name, std::int64_t size, const std::string& sha256) {
  RemovedPart r;
  r.name = name;
  r.size = size;
  r.sha256 = sha256;
  r.headers = HeaderBlock(part, true);
  if (const char* cte = g_mime_object_get_header(part, "Content-Transfer-Encoding")) {
    r.encoding = cte;
    r.encoding.erase(0, r.encoding.find_first_not_of(" \t"));
    r.encoding.erase(r.encoding.find_last_not_of(" \t\r\n") + 1);
    for (auto& c : r.encoding) c = g_ascii_tolower(c);
  }
  auto up = Ancestry(message, part);
  for (std::size_t k = 0; k < up.size(); ++k)
    r.place.push_back({Boundary(up[k].first), HeaderBlock(up[k].first, false),
                       k < indexes.size() ? indexes[k] : up[k].second});
  return r;
}

GMimeObject* RestorePart(GMimeMessage* message, const RemovedPart& removed, GMimeStream* content) {
  GMimeObject* part = MakePart(removed, content);
  if (!part) return nullptr;
  GMimeObject* top = g_mime_message_get_mime_part(message);
  std::size_t found = 0;
  GMimeMultipart* container = nullptr;
  for (; found < removed.place.size() && !container; ++found)
    if (!removed.place[found].boundary.empty())
      container = FindMultipart(top, removed.place[found].boundary);
  if (!container) {
    AppendAttachment(message, part);
    g_object_unref(part);
    return part;
  }
  --found;
  // The multiparts between it and the part that went with their last part are made
  // again from what they were.
  GMimeObject* child = part;
  for (std::size_t k = 0; k < found; ++k) {
    GMimeObject* made = ParseEntity(removed.place[k].headers + "\n");
    if (!made || !GMIME_IS_MULTIPART(made)) {
      if (made) g_object_unref(made);
      made = GMIME_OBJECT(g_mime_multipart_new_with_subtype("mixed"));
    }
    g_mime_multipart_add(GMIME_MULTIPART(made), child);
    g_object_unref(child);
    child = made;
  }
  int at = std::min(removed.place[found].index, g_mime_multipart_get_count(container));
  g_mime_multipart_insert(container, at, child);
  g_object_unref(child);
  return part;
}

}  // namespace stow::maildir::mime
