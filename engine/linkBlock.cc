#include "engine/linkBlock.h"

#include <cstring>

#include "platform/com_error.h"
#include "support/cSettings.h"
#include "support/modErroHandling.h"
#include "support/modGlobal.h"

namespace stow {

namespace {
constexpr const char* kWindowsHeading = "<B>&nbsp;Windows Friendly Links:</B><BR>";
}  // namespace

std::string ReplaceAll(const std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (true) {
    std::size_t hit = text.find(from, pos);
    if (hit == std::string::npos) break;
    out.append(text, pos, hit - pos);
    out += to;
    pos = hit + from.size();
  }
  out.append(text, pos, std::string::npos);
  return out;
}

std::string HtmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 16);
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string LinkEntry(const std::string& target, const std::string& text) {
  return "<li><font face=\"Arial\" size=\"1\"><a href='" + HtmlEscape(target) + "'>" +
         HtmlEscape(text) + "</a></font></li>";
}

std::vector<std::string> BodyFormsOf(const std::string& path) {
  std::string url = FileUrl(path);
  return {HtmlEscape(url), url, HtmlEscape(path), path};
}

void LinkLists::AddEntries(const std::string& fullPath, const std::string& attachmentName,
                           const LinkSettings& settings) {
  const bool showName = settings.AttachmentDisplayOption == 1;
  const std::string text = showName ? attachmentName : fullPath;
  const std::string mac = TranslateToMacPath(fullPath);
  const std::string web = TranslateToHTTPPath(fullPath, settings.HTTPAddress);
  // Targets are URLs (a "#" or a blank in a name must not end them); a text that
  // shows the target shows it as the user reads a path.
  const std::string webBase = TranslateToHTTPPath("", settings.HTTPAddress);
  const std::string macUrl = "smb:" + PercentEncode(mac.substr(4), "/:");
  const std::string webUrl = webBase + PercentEncode(web.substr(webBase.size()), "/");
  Windows += LinkEntry(FileUrl(fullPath), text);
  Mac += LinkEntry(macUrl, showName ? text : mac);
  Web += LinkEntry(webUrl, showName ? text : web);
}

std::string BuildLinksText(const LinkLists& lists, const LinkSettings& s, bool automatic) {
  std::string windows = lists.Windows.empty() ? "" : "<ul>" + lists.Windows + "</ul>";
  const bool showSections = automatic || !s.MacHTTPOnAutoDetachment;
  if (!(showSections && (s.EmbedMacPath || s.EmbedHTTPPath))) return windows;
  if (!windows.empty()) windows = kWindowsHeading + windows;
  std::string mac;
  if (s.EmbedMacPath && !lists.Mac.empty())
    mac = "<B>&nbsp;Mac Friendly Links:</B><BR><ul>" + lists.Mac + "</ul>";
  std::string web;
  if (s.EmbedHTTPPath && !s.HTTPAddress.empty() && !lists.Web.empty())
    web = "<B>&nbsp;HTTP Friendly links:</B><BR><ul>" + lists.Web + "</ul>";
  return windows + mac + web;
}

std::string BuildLinkBlock(const std::string& linksText) {
  static const char* const kHead[] = {
      "<br><table id=tableKZOSTART border=\"1\" width=\"100%\" cellspacing=\"0\" "
      "bgcolor=\"#F2F1F3\" style=\"border-collapse: collapse\">",
      "<tr><td>",
      "<table border=\"0\" width=\"100%\" id=\"tableKZO2\" cellspacing=\"0\" cellpadding=\"0\">",
      "<tr>",
      "<td><p align=\"center\"><font face=\"Arial\" size=\"2\"><b>&nbsp;<u>Available "
      "Attachments</u></b></font></p></td>",
      "</tr>",
      "<tr>",
      "<td>",
  };
  static const char* const kTail[] = {"</td>", "</tr>", "</table>", "</td>", "</tr>", "</table>"};
  std::string block;
  block.reserve(linksText.size() + 800);
  for (const char* line : kHead) block.append(line).append("\r\n");
  block.append(linksText).append("\r\n");
  for (const char* line : kTail) block.append(line).append("\r\n");
  block.append("<table id=tableKZOEND><tr><td>&nbsp;</td></tr></table>");
  block.append(kBlockEndComment);
  return block;
}

std::string PlaceLinkBlock(const std::string& body, const std::string& block,
                           int attachmentLocationOption) {
  return attachmentLocationOption == 0 ? block + body : body + block;
}

std::string RebuildLinkBlock(const std::string& body, const std::vector<LinkedFile>& files,
                             const LinkSettings& settings, bool automatic) {
  if (body.find(kBlockStartId) == std::string::npos) return body;
  std::string text = RemoveAllAttachmentsLinks(body);
  LinkLists lists;
  for (const LinkedFile& f : files) lists.AddEntries(f.path, f.name, settings);
  std::string links = BuildLinksText(lists, settings, automatic);
  if (links.empty()) return text;
  return PlaceLinkBlock(text, BuildLinkBlock(links), settings.AttachmentLocationOption);
}

LinkSettings CurrentLinkSettings() {
  auto& s = Required(modGlobal::objSettings);
  return LinkSettings{s.AttachmentDisplayOption,
                      s.AttachmentLocationOption,
                      s.EmbedMacPath,
                      s.EmbedHTTPPath,
                      s.HTTPAddress,
                      s.MacHTTPOnAutoDetachment};
}

bool HasLinkSections(const std::string& body) {
  return body.find(kWindowsHeading) != std::string::npos;
}

std::string TranslateToMacPath(const std::string& path) {
  return "smb:" + ReplaceAll(ReplaceAll(path, "\\\\", "//"), "\\", "/");
}

std::string TranslateToHTTPPath(const std::string& path, const std::string& httpAddress) {
  std::string base = httpAddress;
  if (!base.empty() && (base.back() == '/' || base.back() == '\\')) base.pop_back();
  std::size_t sep = path.find_first_of("\\/");
  std::string rest = sep == std::string::npos ? "" : path.substr(sep + 1);
  return base + "/" + rest;
}

std::string RemoveAttachmentsLinks(const std::string& html) {
  const std::string endComment = kBlockEndComment;
  std::size_t cutFrom = 0, cutLen = 0;
  std::size_t e = html.find(endComment);
  if (e != std::string::npos) {
    std::size_t start = html.find(kBlockStartId);
    // The block begins with kBlockOpening before the id.
    const std::size_t opening = std::strlen(kBlockOpening);
    if (start == std::string::npos || start < opening) return html;
    // An end comment before the start belongs to no block we can cut whole; cutting
    // between them would take a piece out of the user's text.
    if (start > e) return html;
    cutFrom = start - opening;
    cutLen = e + endComment.size() - cutFrom;
  } else {
    std::size_t end = html.find(kBlockEndId);
    std::size_t start = html.find(kBlockStartId);
    if (end == std::string::npos || start == std::string::npos) return html;
    std::size_t open = html.rfind('<', start);
    if (open == std::string::npos) return html;
    std::size_t close = html.find("</table>", end);
    if (close == std::string::npos) close = html.find("</TABLE>", end);
    if (close == std::string::npos) return html;
    close += 8;
    if (close <= open) return html;
    cutFrom = open;
    cutLen = close - open;
  }
  return ReplaceAll(html, html.substr(cutFrom, cutLen), "");
}

std::string RemoveAllAttachmentsLinks(const std::string& html) {
  std::string text = html;
  while (true) {
    std::string next = RemoveAttachmentsLinks(text);
    if (next == text) return text;
    text = std::move(next);
  }
}

}  // namespace stow
