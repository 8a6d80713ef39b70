// Setting a mail's bodies as a mail client does: the HTML body in the charset it was
// written in, and the plain-text body following it, so that a reader that shows the
// text sees what one that shows the HTML sees.

#include <cstring>
#include <tuple>

#include "platform/link_markers.h"
#include "platform/maildir/mime_internal.h"

namespace stow::maildir::mime {

namespace {

bool SameCharset(const std::string& a, const char* b) {
  return g_ascii_strcasecmp(a.c_str(), b) == 0;
}

bool Utf8Compatible(const std::string& charset) {
  return charset.empty() || SameCharset(charset, "utf-8") || SameCharset(charset, "utf8") ||
         SameCharset(charset, "us-ascii");
}

bool Ascii(const std::string& text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

std::string Charset(GMimePart* part) {
  const char* c = g_mime_object_get_content_type_parameter(GMIME_OBJECT(part), "charset");
  return c ? c : "";
}

std::string EncodingName(GMimePart* part) {
  GMimeContentEncoding e = g_mime_part_get_content_encoding(part);
  if (e == GMIME_CONTENT_ENCODING_DEFAULT) return "";
  const char* name = g_mime_content_encoding_to_string(e);
  return name ? name : "";
}

// Where what first stands in text from `from` on, whatever its case; npos for nowhere.
std::size_t FindNoCase(const std::string& text, const std::string& what, std::size_t from) {
  for (std::size_t i = from; i + what.size() <= text.size(); ++i)
    if (g_ascii_strncasecmp(text.c_str() + i, what.c_str(), what.size()) == 0) return i;
  return std::string::npos;
}

// The html with every <meta> charset declaration saying charset: a browser believes
// the declaration over the bytes.
std::string DeclareCharset(std::string html, const std::string& charset) {
  for (std::size_t from = 0;;) {
    std::size_t at = FindNoCase(html, "<meta", from);
    if (at == std::string::npos) return html;
    std::size_t end = html.find('>', at);
    if (end == std::string::npos) return html;
    from = at + 1;
    std::size_t name = FindNoCase(html.substr(at, end - at), "charset=", 0);
    if (name == std::string::npos) continue;
    std::size_t value = at + name + 8;
    char quote = '\0';
    if (value < end && (html[value] == '"' || html[value] == '\'')) quote = html[value++];
    std::size_t stop = value;
    while (stop < end && html[stop] != ';' && html[stop] != '"' && html[stop] != '\'' &&
           html[stop] != ' ' && html[stop] != '/' && !(quote && html[stop] == quote))
      ++stop;
    html.replace(value, stop - value, charset);
  }
}

// html (UTF-8) in the charset named; a character the charset lacks becomes a
// numeric character reference. Nullopt when the charset is unknown.
std::optional<std::string> HtmlIn(const std::string& html, const std::string& charset) {
  const char* name = g_mime_charset_iconv_name(charset.c_str());
  gsize written = 0;
  if (gchar* whole = g_convert(html.data(), static_cast<gssize>(html.size()), name, "UTF-8",
                               nullptr, &written, nullptr)) {
    std::string out(whole, written);
    g_free(whole);
    return out;
  }
  GIConv cd = g_iconv_open(name, "UTF-8");
  if (cd == reinterpret_cast<GIConv>(-1)) return std::nullopt;
  std::string out;
  for (const char* p = html.c_str(); *p;) {
    const char* next = g_utf8_next_char(p);
    gsize read = 0;
    gchar* one = g_convert_with_iconv(p, next - p, cd, &read, &written, nullptr);
    if (one) {
      out.append(one, written);
      g_free(one);
    } else {
      gunichar u = g_utf8_get_char_validated(p, next - p);
      out += "&#" + std::to_string(u == static_cast<gunichar>(-1) ? 0xFFFD : u) + ";";
    }
    p = next;
  }
  g_iconv_close(cd);
  return out;
}

void SetHtmlText(GMimePart* part, const std::string& html) {
  std::string charset = Charset(part);
  if (!Utf8Compatible(charset)) {
    if (auto bytes = HtmlIn(html, charset)) {
      SetPartBytes(part, *bytes, charset);
      return;
    }
  }
  SetPartText(part, DeclareCharset(html, "utf-8"));
}

std::string Unescaped(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&') {
      out += text[i];
      continue;
    }
    std::size_t semi = text.find(';', i);
    if (semi == std::string::npos || semi - i > 10) {
      out += '&';
      continue;
    }
    std::string entity = text.substr(i + 1, semi - i - 1);
    std::string ch;
    if (entity == "amp")
      ch = "&";
    else if (entity == "lt")
      ch = "<";
    else if (entity == "gt")
      ch = ">";
    else if (entity == "quot")
      ch = "\"";
    else if (entity == "nbsp")
      ch = " ";
    else if (entity.size() > 1 && entity[0] == '#') {
      gunichar u = static_cast<gunichar>(entity[1] == 'x' || entity[1] == 'X'
                                             ? std::strtoul(entity.c_str() + 2, nullptr, 16)
                                             : std::strtoul(entity.c_str() + 1, nullptr, 10));
      char buf[8] = {};
      if (g_unichar_validate(u) && u != 0) ch.assign(buf, g_unichar_to_utf8(u, buf));
    }
    if (ch.empty()) {
      out += '&';
      continue;
    }
    out += ch;
    i = semi;
  }
  return out;
}

// Where html's first link block from `from` on is: [start, end), npos when it has
// none.
std::pair<std::size_t, std::size_t> BlockIn(const std::string& html, std::size_t from = 0) {
  std::size_t id = html.find(kBlockStartId, from);
  std::size_t opening = std::strlen(kBlockOpening);
  if (id == std::string::npos || id < opening) return {std::string::npos, 0};
  std::size_t end = html.find(kBlockEndComment, id);
  if (end != std::string::npos) return {id - opening, end + std::strlen(kBlockEndComment)};
  std::size_t last = html.find(kBlockEndId, id);
  if (last == std::string::npos) return {std::string::npos, 0};
  std::size_t close = html.find("</table>", last);
  if (close == std::string::npos) return {std::string::npos, 0};
  return {html.rfind('<', id), close + 8};
}

// The list text readers see for the block's first list: a heading, then the name
// and file: URL of each saved file.
std::string PlainList(const std::string& block) {
  std::size_t from = block.find("<ul>");
  std::size_t to = from == std::string::npos ? from : block.find("</ul>", from);
  if (to == std::string::npos) return "";
  std::string list;
  for (std::size_t at = block.find("<a href=", from); at != std::string::npos && at < to;
       at = block.find("<a href=", at + 1)) {
    std::size_t open = at + 8;
    if (open >= block.size()) break;
    char quote = block[open];
    std::size_t close = block.find(quote, open + 1);
    std::size_t text = close == std::string::npos ? close : block.find('>', close);
    std::size_t end = text == std::string::npos ? text : block.find("</a>", text);
    if (end == std::string::npos) break;
    std::string target = Unescaped(block.substr(open + 1, close - open - 1));
    // Blocks of earlier versions link by the bare path.
    if (target.rfind('/', 0) == 0) target = FileUrl(target);
    std::string name = Unescaped(block.substr(text + 1, end - text - 1));
    if (name.empty()) name = Unescaped(block.substr(open + 1, close - open - 1));
    name = name.substr(name.find_last_of('/') + 1);
    list += "  " + name + " <" + target + ">\n";
  }
  return list.empty() ? "" : "Available Attachments:\n" + list;
}

// A plain text shown in HTML as it reads: escaped, every line break and blank kept.
std::string TextAsHtml(const std::string& text) {
  gchar* escaped = g_markup_escape_text(text.data(), static_cast<gssize>(text.size()));
  return "<div style=\"white-space: pre-wrap\">" + Adopted(escaped) + "</div>";
}

// Puts list into the plain text, in its charset, before or after the text.
std::optional<PlainEdit> AddPlainList(GMimePart* plain, std::string list, bool atStart) {
  std::string raw = PartBytes(GMIME_OBJECT(plain), Fidelity::kReadable), charset = Charset(plain);
  const char* eol = raw.find("\r\n") != std::string::npos ? "\r\n" : "\n";
  std::string withEol;
  for (char c : list) c == '\n' ? withEol += eol : withEol += c;
  std::string newCharset = charset, bytes;
  if (Utf8Compatible(charset) &&
      (Ascii(withEol) || SameCharset(charset, "utf-8") ||
       g_utf8_validate(raw.data(), static_cast<gssize>(raw.size()), nullptr))) {
    bytes = withEol;
    if (!Ascii(withEol) && !SameCharset(charset, "utf-8")) newCharset = "utf-8";
  } else {
    const char* name =
        Utf8Compatible(charset) ? "US-ASCII" : g_mime_charset_iconv_name(charset.c_str());
    gsize written = 0;
    gchar* converted = g_convert_with_fallback(withEol.data(), static_cast<gssize>(withEol.size()),
                                               name, "UTF-8", "?", nullptr, &written, nullptr);
    if (!converted) return std::nullopt;
    bytes.assign(converted, written);
    g_free(converted);
  }
  PlainEdit edit;
  edit.atStart = atStart;
  edit.charset = charset;
  edit.encoding = EncodingName(plain);
  if (atStart) {
    edit.inserted = bytes + eol;
    raw.insert(0, edit.inserted);
  } else {
    edit.inserted = (raw.empty() || raw.back() == '\n' ? "" : eol) + std::string(eol) + bytes;
    raw += edit.inserted;
  }
  SetPartBytes(plain, raw, newCharset);
  return edit;
}

// Takes out what edit put into the plain text, when it is still there as it was put.
void UndoPlainEdit(GMimePart* plain, const PlainEdit& edit) {
  if (edit.inserted.empty()) return;
  std::string raw = PartBytes(GMIME_OBJECT(plain), Fidelity::kReadable);
  std::size_t n = edit.inserted.size();
  if (raw.size() < n) return;
  if (edit.atStart ? raw.compare(0, n, edit.inserted) != 0
                   : raw.compare(raw.size() - n, n, edit.inserted) != 0)
    return;
  raw.erase(edit.atStart ? 0 : raw.size() - n, n);
  SetPartBytes(plain, raw, edit.charset, edit.encoding);
}

}  // namespace

std::optional<PlainEdit> SetBodies(GMimeMessage* message, const std::string& html,
                                   const std::optional<PlainEdit>& prior) {
  Bodies b = FindBodies(message);
  if (prior && b.plain) UndoPlainEdit(b.plain, *prior);
  bool made = prior && prior->madeAlternative;
  // The block just placed: a sender's body may carry a look-alike that the text
  // readers' list must not copy, and that body had it before.
  std::string before = b.html ? PartText(b.html) : b.plain ? PartText(b.plain) : "";
  auto [start, end] = BlockIn(html);
  for (auto next = std::make_pair(start, end); next.first != std::string::npos;
       next = BlockIn(html, next.second)) {
    if (before.find(html.substr(next.first, next.second - next.first)) == std::string::npos) {
      std::tie(start, end) = next;
      break;
    }
  }
  std::string list = start == std::string::npos ? "" : PlainList(html.substr(start, end - start));
  bool atStart = start != std::string::npos && html.find_first_not_of(" \t\r\n") == start;
  if (!b.html && !b.plain) {
    GMimePart* part = NewTextPart("html", html);
    InsertFirst(message, GMIME_OBJECT(part));
    g_object_unref(part);
    return std::nullopt;
  }
  if (b.html) {
    SetHtmlText(b.html, html);
    GMimeMultipart* parent = b.plain ? ParentOf(message, GMIME_OBJECT(b.plain)) : nullptr;
    if (made && list.empty() && parent && ParentOf(message, GMIME_OBJECT(b.html)) == parent &&
        g_mime_multipart_get_count(parent) == 2 && html == TextAsHtml(PartText(b.plain))) {
      // The last link went: the mail gets back the plain text it had alone.
      g_object_ref(b.plain);
      g_mime_multipart_remove(parent, GMIME_OBJECT(b.plain));
      ReplacePart(message, GMIME_OBJECT(parent), GMIME_OBJECT(b.plain));
      g_object_unref(b.plain);
      return std::nullopt;
    }
  } else {
    // A plain-text mail: its text stays for text readers, and the HTML alternative
    // shows it as it reads (a text put in HTML as it is would lose its line breaks
    // and every "<word>").
    std::string text = PartText(b.plain);
    // The text given back unchanged (a re-attach of a mail whose links went) changes
    // nothing.
    if (html == text) return std::nullopt;
    std::string shown = html;
    if (start != std::string::npos && html.substr(0, start) + html.substr(end) == text)
      shown =
          atStart ? html.substr(0, end) + TextAsHtml(text) : TextAsHtml(text) + html.substr(start);
    GMimePart* part = NewTextPart("html", shown);
    GMimeMultipart* alternative = g_mime_multipart_new_with_subtype("alternative");
    g_object_ref(b.plain);
    ReplacePart(message, GMIME_OBJECT(b.plain), GMIME_OBJECT(alternative));
    g_mime_multipart_add(alternative, GMIME_OBJECT(b.plain));
    g_mime_multipart_add(alternative, GMIME_OBJECT(part));
    g_object_unref(b.plain);
    g_object_unref(part);
    g_object_unref(alternative);
    made = true;
  }
  std::optional<PlainEdit> edit;
  if (b.plain && !list.empty()) edit = AddPlainList(b.plain, list, atStart);
  if (made) {
    if (!edit) edit = PlainEdit{};
    edit->madeAlternative = true;
  }
  return edit;
}

void SetPlainBody(GMimeMessage* message, const std::string& text) {
  Bodies b = FindBodies(message);
  if (b.plain) {
    SetPartText(b.plain, text);
    return;
  }
  GMimePart* part = NewTextPart("plain", text);
  InsertFirst(message, GMIME_OBJECT(part));
  g_object_unref(part);
}

}  // namespace stow::maildir::mime
