#pragma once
// The block of links a detached item carries in its HTML body, and its removal.
// The block's markers ("tableKZOSTART", "tableKZO2", "tableKZOEND" and the end
// comment) are what removal looks for, in bodies written by every earlier version,
// so their text and layout never change.

#include <string>
#include <vector>

#include "platform/link_markers.h"

namespace stow {

// Escapes text for an HTML attribute value or element content. File names come
// from senders, so a quote or "<" must never close the link or open markup.
std::string HtmlEscape(const std::string& text);

// What a detach needs of the settings to lay out the links.
struct LinkSettings {
  int AttachmentDisplayOption = 1;   // 1: link text is the file name; else the full path
  int AttachmentLocationOption = 0;  // 0: block before the body; else after it
  bool EmbedMacPath = false;
  bool EmbedHTTPPath = false;
  std::string HTTPAddress;
  bool MacHTTPOnAutoDetachment = false;
};

// The three lists of link entries a detach collects, one entry per saved file
// that is not an inline image, in the order the files were saved.
struct LinkLists {
  std::string Windows, Mac, Web;

  // Adds the entries for one saved file.
  void AddEntries(const std::string& fullPath, const std::string& attachmentName,
                  const LinkSettings& settings);
  bool Empty() const { return Windows.empty(); }
};

// The texts by which a body may refer to a saved file, longest first: its escaped
// and bare file: URL (written now) and its escaped and bare path (written by earlier
// versions). Replacing them in this order never leaves half a URL behind.
std::vector<std::string> BodyFormsOf(const std::string& path);

// One "<li>...</li>" entry; target and text are escaped here.
std::string LinkEntry(const std::string& target, const std::string& text);

// The links text placed inside the block: the Windows list, and the Mac and web
// sections when the settings ask for them. automatic: a monitor detached the item.
std::string BuildLinksText(const LinkLists& lists, const LinkSettings& settings, bool automatic);

// The block around the links text.
std::string BuildLinkBlock(const std::string& linksText);

// The body with the block before or after it (by AttachmentLocationOption).
std::string PlaceLinkBlock(const std::string& body, const std::string& block,
                           int attachmentLocationOption);

// A saved file a block links to.
struct LinkedFile {
  std::string path;
  std::string name;  // the attachment's name
};

// The body without any block, then with one block that links to files (none when
// files is empty, nor when the body had no block: its links were removed on
// purpose). Every change of which files an item links to goes through here.
std::string RebuildLinkBlock(const std::string& body, const std::vector<LinkedFile>& files,
                             const LinkSettings& settings, bool automatic);

// The link settings as objSettings holds them now.
LinkSettings CurrentLinkSettings();

// True when a block of the body has the Mac or web sections' headings, as a block
// written for an automatic detach (or with MacHTTPOnAutoDetachment off) has.
bool HasLinkSections(const std::string& body);

// smb: form of a path: "\\" becomes "//", every other "\" becomes "/".
std::string TranslateToMacPath(const std::string& path);
// Web form: httpAddress without one trailing separator, "/", then the path after
// its first separator.
std::string TranslateToHTTPPath(const std::string& path, const std::string& httpAddress);

// Cuts the first link block (and every identical copy of it) out of an HTML text;
// the text comes back unchanged when no complete block is found.
std::string RemoveAttachmentsLinks(const std::string& html);

// Removes every link block, for callers that must leave none behind (a second
// detach adds a second block).
std::string RemoveAllAttachmentsLinks(const std::string& html);

// Replaces every occurrence of `from` in text by `to`; case-sensitive.
std::string ReplaceAll(const std::string& text, const std::string& from, const std::string& to);

}  // namespace stow
