#pragma once
// What the mime*.cc files share and nothing else sees: GMime itself, and the few
// helpers more than one of them needs. Include only from mime*.cc.

#include <gmime/gmime.h>

#include <string>
#include <utility>

#include "platform/maildir/mime.h"
#include "platform/maildir/store_util.h"

namespace stow::maildir::mime {

// A string GLib or GMime allocated, as text (freed here); "" for none.
inline std::string Adopted(char* s) {
  std::string r = s ? s : "";
  g_free(s);
  return r;
}

// The multipart holding part; nullptr when part is the top-level part.
GMimeMultipart* ParentOf(GMimeMessage* message, GMimeObject* part);

// Calls visit(GMimePart*) for every leaf part below o, those of attached messages
// included.
template <class F>
void EachLeaf(GMimeObject* o, const F& visit, int depth = 0) {
  if (!o || depth > 200) return;
  if (GMIME_IS_MULTIPART(o)) {
    GMimeMultipart* mp = GMIME_MULTIPART(o);
    for (int i = 0; i < g_mime_multipart_get_count(mp); ++i)
      EachLeaf(g_mime_multipart_get_part(mp, i), visit, depth + 1);
  } else if (GMIME_IS_MESSAGE_PART(o)) {
    GMimeMessage* m = g_mime_message_part_get_message(GMIME_MESSAGE_PART(o));
    if (m) EachLeaf(g_mime_message_get_mime_part(m), visit, depth + 1);
  } else if (GMIME_IS_PART(o)) {
    visit(GMIME_PART(o));
  }
}

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

// Adds part (a reference is taken) as the mail's last attachment: into its top-level
// multipart/mixed, made when there is none.
void AppendAttachment(GMimeMessage* message, GMimeObject* part);

// The text part's content: text (UTF-8) or bytes in charset ("" leaves the parameter
// out), 7bit when that keeps every byte, else base64; the encoding asked for
// ("8bit", "quoted-printable", "base64") when it keeps every byte too.
void SetPartText(GMimePart* part, const std::string& text);
void SetPartBytes(GMimePart* part, const std::string& bytes, const std::string& charset,
                  const std::string& encoding = "");
// A new text part of that subtype holding text (UTF-8).
GMimePart* NewTextPart(const char* subtype, const std::string& text);
// Puts replacement where old is, whether old is the top-level part or a child; the
// holder's reference to old goes.
void ReplacePart(GMimeMessage* message, GMimeObject* old, GMimeObject* replacement);
// Puts part first in the mail: into its top-level multipart/mixed, made when there
// is none.
void InsertFirst(GMimeMessage* message, GMimeObject* part);

}  // namespace stow::maildir::mime
