#pragma once
// Putting a detached attachment back as it was. When a part is taken out of a mail,
// what it was is kept with the mail's authenticated marks: its header block (type
// and parameters, Content-ID, disposition, description, whatever else it carried),
// its transfer encoding, where it sat in the structure, and the size and digest of
// its bytes. A file added later with the same name and the same bytes comes back
// there, as that part; any other file is added as a new attachment.
//
// This is the record and its text form; mime.h describes a part into one
// (DescribePart) and restores one (RestorePart).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace stow::maildir {

struct RemovedPart {
  // The multiparts that held the part, innermost first: each one's boundary, its
  // header block (to make it again when it went with its last part), and the index
  // of the part (or of the multiparts below) in it, as the mail was first read.
  struct Level {
    std::string boundary, headers;
    int index = 0;
  };
  std::string name;  // the attachment's file name when it was taken out
  std::int64_t size = 0;
  std::string sha256;    // lowercase hex digest of its decoded bytes
  std::string headers;   // its header block, without Content-Transfer-Encoding
  std::string encoding;  // its transfer encoding as written, lower case; "" for none
  std::vector<Level> place;

  // A text of its own (for the mark that carries it) and back; nullopt for a text
  // that is not one.
  std::string ToText() const;
  static std::optional<RemovedPart> FromText(const std::string& text);
};

// What setting the HTML body did to the plain-text body, kept with the mail's marks
// so that it can be undone byte for byte: the text readers' list of the saved files
// put into the plain text, the plain text's charset and transfer encoding before,
// and whether the mail had a plain-text body only (its HTML alternative was made
// from that text, and goes again with the last link).
struct PlainEdit {
  bool atStart = false;
  std::string inserted;  // the bytes put into the text, in its charset
  std::string charset;   // its charset parameter before; "" for none
  std::string encoding;  // its transfer encoding before, lower case; "" for none
  bool madeAlternative = false;

  std::string ToText() const;
  static std::optional<PlainEdit> FromText(const std::string& text);
};

// A hidden attachment, kept with the mail's marks rather than as a MIME part, so
// that no mail reader lists it and no search counts it.
struct HiddenFile {
  std::string name, bytes, contentId;

  std::string ToText() const;
  static std::optional<HiddenFile> FromText(const std::string& text);
};

}  // namespace stow::maildir
