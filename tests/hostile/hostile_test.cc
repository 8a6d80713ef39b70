// Hostile mail through the real program: attachment names that try to leave the
// attachment folder, replace a file, or inject markup into the link block; MIME that
// is malformed; and headers that forge the system's own record list and marker.
// For each: nothing outside the attachment folder is touched (a sentinel tree is
// snapshot before and after), no existing file is replaced, the link block parses as
// HTML with the same elements a harmless name gives, and a part that cannot be
// decoded faithfully stays in its message.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libxml/HTMLparser.h>
#include <libxml/tree.h>

#include <iostream>

#include "common/maildir_harness.h"

namespace {

using namespace stow::testing::reliability;
using ::testing::HasSubstr;

// How the name reaches the part's headers.
enum class Form { kQuoted, kRfc2231, kEncodedWord };

struct HostileName {
  std::string label;
  std::string name;  // the decoded name (what a mail client would show)
  Form form = Form::kQuoted;
};

std::string QuotedString(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::vector<std::string> PartHeaders(const HostileName& h) {
  switch (h.form) {
    case Form::kRfc2231:
      return {"Content-Type: application/octet-stream",
              "Content-Disposition: attachment; filename*=" + Rfc2231(h.name),
              "Content-Transfer-Encoding: base64"};
    case Form::kEncodedWord:
      return {"Content-Type: application/octet-stream; name=\"=?utf-8?b?" +
                  Base64(h.name).substr(0, Base64(h.name).size() - 2) + "?=\"",
              "Content-Disposition: attachment; filename=\"=?utf-8?b?" +
                  Base64(h.name).substr(0, Base64(h.name).size() - 2) + "?=\"",
              "Content-Transfer-Encoding: base64"};
    case Form::kQuoted:
    default:
      return {"Content-Type: application/octet-stream; name=" + QuotedString(h.name),
              "Content-Disposition: attachment; filename=" + QuotedString(h.name),
              "Content-Transfer-Encoding: base64"};
  }
}

std::vector<HostileName> Names(const fs::path& sentinel) {
  std::string longAscii(300, 'a');
  std::string longUtf8;
  for (int i = 0; i < 140; ++i) longUtf8 += "\xC3\xA9";  // é, 280 bytes
  return {
      {"parent", "../escape.txt"},
      {"grandparent", "../../escape2.txt"},
      {"deep parent", "../../../../../../../../tmp/escape3.txt"},
      {"backslash parent", "..\\escape4.txt"},
      {"backslash grandparent", "..\\..\\escape5.txt"},
      {"absolute into sentinel", (sentinel / "planted.txt").string()},
      {"absolute over sentinel file", (sentinel / "keep.txt").string()},
      {"absolute etc", "/etc/stowbright-escape"},
      {"drive path", "C:\\Windows\\evil.txt"},
      {"unc path", "\\\\server\\share\\unc.txt"},
      {"dot", "."},
      {"dotdot", ".."},
      {"dots", "...."},
      {"subfolders", "dir/sub/file.txt"},
      {"tilde", "~/home-escape.txt"},
      {"shell variable", "$HOME/var-escape.txt"},
      {"rfc2231 dot dot slash", "../enc-escape.txt", Form::kRfc2231},
      {"rfc2231 absolute", (sentinel / "enc-planted.txt").string(), Form::kRfc2231},
      {"rfc2231 dot dot backslash", "..\\enc-back.txt", Form::kRfc2231},
      {"rfc2231 nul", std::string("before\0after.txt", 16), Form::kRfc2231},
      {"rfc2231 cr lf", "line\r\nbreak.txt", Form::kRfc2231},
      {"rfc2231 slash only", "/", Form::kRfc2231},
      {"encoded word parent", "../word-escape.txt", Form::kEncodedWord},
      {"encoded word absolute", (sentinel / "word-planted.txt").string(), Form::kEncodedWord},
      {"control characters", "ctl\x01\x02\x1b[31m.txt", Form::kRfc2231},
      {"tab", "tab\tname.txt"},
      {"delete character", "del\x7f.txt", Form::kRfc2231},
      {"right-to-left override",
       "invoice\xE2\x80\xAE"
       "fdp.exe"},
      {"long ascii", longAscii + ".txt"},
      {"long utf-8", longUtf8 + ".pdf"},
      {"case twin 1", "Report.PDF"},
      {"case twin 2", "report.pdf"},
      {"existing file", "existing.txt"},
      {"nfc", "R\xC3\xA9sum\xC3\xA9.pdf"},
      {"nfd", "Re\xCC\x81sume\xCC\x81.pdf"},
      {"double quotes", "he said \"hi\".txt"},
      {"single quote", "it's.txt"},
      {"script element", "<script>alert(1)</script>.html"},
      {"ampersands", "a&b&amp;c.txt"},
      {"attribute breakout", "\"><img src=x onerror=alert(1)>.txt"},
      {"single-quote breakout", "'><a href='javascript:alert(1)'>x</a>.txt"},
      {"comment", "<!--x-->.txt"},
      {"block end marker", "<!--END_KZO--->.txt"},
      {"block start marker", "<br><table id=tableKZOSTART>.txt"},
      {"javascript url", "javascript:alert(1)"},
      {"leading space", " leading.txt"},
      {"trailing dot", "trailing."},
      {"colon", "file:name.txt"},
      {"looks like our temporary", ".stowbright-123456789.partial"},
      {"hidden", ".bashrc"},
      {"emoji", "emoji \xF0\x9F\x98\x80.txt"},
      {"invalid utf-8", "bad\xC3\x28.txt", Form::kRfc2231},
      {"percent literal", "%2e%2e%2fliteral.txt"},
  };
}

struct Block {
  bool found = false;
  std::vector<std::string> elements;  // element names in document order
  std::vector<std::string> hrefs;
};

void Walk(xmlNode* node, Block& b) {
  for (xmlNode* n = node; n; n = n->next) {
    if (n->type == XML_ELEMENT_NODE) {
      std::string name = reinterpret_cast<const char*>(n->name);
      b.elements.push_back(name);
      for (xmlAttr* a = n->properties; a; a = a->next) {
        std::string attr = reinterpret_cast<const char*>(a->name);
        if (attr.rfind("on", 0) == 0) b.elements.push_back("EVENT HANDLER " + attr);
        if (name == "a" && attr == "href") {
          xmlChar* v = xmlNodeGetContent(a->children);
          b.hrefs.push_back(v ? reinterpret_cast<const char*>(v) : "");
          xmlFree(v);
        }
      }
    }
    Walk(n->children, b);
  }
}

// The link block of a body (from its start to its end comment), parsed as HTML.
Block LinkBlockOf(const std::string& html) {
  Block b;
  std::size_t start = html.find("<br><table id=tableKZOSTART");
  std::size_t end = html.find("<!--END_KZO--->");
  if (start == std::string::npos || end == std::string::npos || end < start) return b;
  std::string text = html.substr(start, end + 15 - start);
  htmlDocPtr doc = htmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, "utf-8",
                                  HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET);
  if (!doc) return b;
  b.found = true;
  Walk(xmlDocGetRootElement(doc), b);
  xmlFreeDoc(doc);
  return b;
}

class HostileTest : public ::testing::Test {
 protected:
  HostileTest() : tree_("hostile"), prog_(tree_.root(), tree_.root() / "Maildir") {
    MakeMaildir(prog_.store());
    sentinel_ = tree_.root() / "sentinel";
    fs::create_directories(sentinel_ / "inner");
    WriteAll(sentinel_ / "keep.txt", "keep me");
    WriteAll(sentinel_ / "inner" / "secret.txt", "private");
    WriteAll(prog_.home() / ".bashrc", "# mine");
    fs::create_directories(prog_.attachments());
    fs::create_directories(prog_.trash());  // as on a desktop that has used it
    WriteAll(prog_.attachments() / "existing.txt", "already here");
    WriteAll(prog_.attachments() / "report.pdf", "an older report");
  }

  // What may change: the Maildir, the attachment folder's new files, the settings,
  // the temporary folder, and the trash (with files of the attachment folder only).
  std::map<std::string, std::string> Outside() {
    for (const auto& from : prog_.TrashedFrom())
      EXPECT_EQ(fs::path(from).parent_path(), prog_.attachments()) << "trashed " << from;
    return TreeHashes(tree_.root(),
                      {prog_.store(), prog_.attachments(), prog_.config(), prog_.tmp(),
                       prog_.trash(), tree_.root() / "run.out", tree_.root() / "run.err"});
  }

  std::string Add(const std::string& id, MimeMessage m) {
    m.messageId = id + "@example.org";
    if (m.subject.empty()) m.subject = id;
    Deliver(prog_.store(),
            std::to_string(1709543700 + serial_) + ".M" + std::to_string(serial_) + "P9.hostile",
            Render(m));
    ++serial_;
    return m.messageId;
  }

  std::map<std::string, ParsedMessage> ById() {
    std::map<std::string, ParsedMessage> out;
    for (auto& m : ReadFolder(prog_.store())) out[m.messageId] = m;
    return out;
  }

  TempDir tree_;
  Program prog_;
  fs::path sentinel_;
  int serial_ = 0;
};

TEST_F(HostileTest, HostileNamesStayInTheAttachmentFolderAndCannotInjectMarkup) {
  auto names = Names(sentinel_);
  ASSERT_GE(names.size(), 40u);
  std::mt19937_64 rng(9);
  std::map<std::string, std::string> dataById;  // message id -> attachment bytes
  std::map<std::string, std::string> labelById;
  std::string benign = Add("benign", {"", "", "", {{"benign.txt", "benign bytes", {}, {}}}, {}});
  dataById[benign] = "benign bytes";
  labelById[benign] = "benign";
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::string data = "hostile " + std::to_string(i) + " " + RandomBytes(rng, 40);
    MimePart p{names[i].name, data, PartHeaders(names[i]), std::nullopt};
    std::string id = Add("name-" + std::to_string(i), {"", "", "", {p}, {}});
    dataById[id] = data;
    labelById[id] = names[i].label;
  }
  auto existingBefore = Sha256(ReadAll(prog_.attachments() / "existing.txt"));
  auto reportBefore = Sha256(ReadAll(prog_.attachments() / "report.pdf"));
  auto outsideBefore = Outside();

  RunResult r = prog_.Run({"detach-all", "Inbox"});
  ASSERT_TRUE(r.code == 0 || r.code == 1) << r.code << r.err;

  EXPECT_EQ(Outside(), outsideBefore);
  EXPECT_FALSE(fs::exists("/etc/stowbright-escape"));
  EXPECT_FALSE(fs::exists("/tmp/escape3.txt"));
  EXPECT_EQ(Sha256(ReadAll(prog_.attachments() / "existing.txt")), existingBefore);
  EXPECT_EQ(Sha256(ReadAll(prog_.attachments() / "report.pdf")), reportBefore);
  // Only plain files, directly in the attachment folder.
  for (auto& e : fs::recursive_directory_iterator(prog_.attachments()))
    EXPECT_TRUE(e.is_regular_file() && e.path().parent_path() == prog_.attachments()) << e.path();

  auto messages = ById();
  Block reference = LinkBlockOf(messages[benign].html);
  ASSERT_TRUE(reference.found) << "the harmless message was not detached: " << r.err;
  int detached = 0;
  for (const auto& [id, data] : dataById) {
    SCOPED_TRACE(labelById[id]);
    ASSERT_TRUE(messages.count(id)) << "message lost";
    const ParsedMessage& m = messages[id];
    EXPECT_TRUE(m.parsed);
    std::string hash = Sha256(data);
    bool inMessage = std::count(m.leafHashes.begin(), m.leafHashes.end(), hash) > 0;
    auto text = prog_.RecordsOf("Inbox", m.unique);
    ASSERT_TRUE(text.has_value());
    auto records = ParseRecords(*text);
    for (const auto& rec : records)
      EXPECT_EQ(fs::path(rec.path).parent_path(), prog_.attachments()) << rec.path;
    bool inFile = InRecordedFile(records, prog_.attachments(), hash);
    EXPECT_TRUE(inMessage || inFile) << "attachment lost";
    if (!inFile) continue;
    ++detached;
    Block b = LinkBlockOf(m.html);
    ASSERT_TRUE(b.found);
    EXPECT_EQ(b.elements, reference.elements) << "the name changed the block's markup";
    ASSERT_EQ(b.hrefs.size(), 1u);
    // The link is a file: URL that resolves to the saved file.
    gchar* file = g_filename_from_uri(b.hrefs[0].c_str(), nullptr, nullptr);
    EXPECT_EQ(file ? std::string(file) : b.hrefs[0], records[0].path);
    g_free(file);
  }
  std::cout << "[hostile] " << names.size() << " names tried, " << detached
            << " attachments detached (the rest kept in their message)\n";

  // Everything comes back, and still nothing outside is touched.
  r = prog_.Run({"reattach-all", "Inbox"});
  EXPECT_TRUE(r.code == 0 || r.code == 1) << r.code << r.err;
  EXPECT_EQ(Outside(), outsideBefore);
  EXPECT_EQ(Sha256(ReadAll(prog_.attachments() / "existing.txt")), existingBefore);
  EXPECT_EQ(Sha256(ReadAll(prog_.attachments() / "report.pdf")), reportBefore);
  messages = ById();
  for (const auto& [id, data] : dataById) {
    SCOPED_TRACE(labelById[id]);
    const ParsedMessage& m = messages[id];
    EXPECT_EQ(std::count(m.leafHashes.begin(), m.leafHashes.end(), Sha256(data)), 1)
        << "not back in its message";
  }
}

TEST_F(HostileTest, MalformedMimeIsNeverStrippedUnlessDecodedFaithfully) {
  std::mt19937_64 rng(11);
  struct Case {
    std::string label;
    MimeMessage message;
    std::string rawMustStay;  // encoded text that must still be in the file afterwards
    std::string data;         // the attachment when it is decodable
  };
  std::vector<Case> cases;
  {
    std::string data = RandomBytes(rng, 3000);
    std::string b64 = Base64(data);
    // Cut one character into a group: that character stands for no whole byte.
    std::string cut = b64.substr(0, b64.size() / 2);
    std::size_t chars = 0;
    for (char c : cut) chars += c != '\r' && c != '\n';
    while (chars % 4 != 1) {
      char c = cut.back();
      cut.pop_back();
      if (c != '\r' && c != '\n') --chars;
    }
    while (cut.back() == '\r' || cut.back() == '\n') cut.pop_back();
    MimePart p{"short.bin", data, {}, cut + "\r\n"};
    cases.push_back({"base64 that decodes short", {"", "", "", {p}, {}}, cut.substr(0, 200), ""});
  }
  {
    std::string data = RandomBytes(rng, 900);
    std::string body = Base64(data);
    body.insert(body.size() / 2, "!!**$$\r\n");
    MimePart p{"garbage.bin", data, {}, body};
    cases.push_back({"base64 with garbage", {"", "", "", {p}, {}}, "!!**$$", ""});
  }
  {
    MimePart p{"unknown.bin",
               "",
               {"Content-Type: application/octet-stream; name=\"unknown.bin\"",
                "Content-Disposition: attachment; filename=\"unknown.bin\"",
                "Content-Transfer-Encoding: x-made-up"},
               std::string("=00=01 raw bytes in an unknown encoding\r\n")};
    cases.push_back({"unknown transfer encoding",
                     {"", "", "", {p}, {}},
                     "raw bytes in an unknown encoding",
                     ""});
  }
  {
    // The closing boundary is missing: the message ends inside the attachment.
    std::string data = RandomBytes(rng, 500);
    MimeMessage m{"", "", "", {}, {}};
    m.messageId = "no-close@example.org";
    m.subject = "no closing boundary";
    std::string text = Render(
        {"no-close@example.org", "no closing boundary", "", {{"open.bin", data, {}, {}}}, {}});
    text = text.substr(0, text.rfind("--=-b0undary"));
    Deliver(prog_.store(), "1709540000.Mnoclose.hostile", text);
    cases.push_back({"missing closing boundary", m, "", data});
  }
  {
    // A multipart whose boundary parameter is missing.
    MimeMessage m{"", "missing boundary", "", {}, {"X-Case: 1"}};
    m.messageId = "no-boundary@example.org";
    std::string data = "payload without boundary";
    std::string text =
        "From: a@example.org\r\nTo: b@example.org\r\nSubject: missing boundary\r\nMessage-ID: "
        "<no-boundary@example.org>\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed\r\n\r\n"
        "--x\r\nContent-Type: text/html\r\n\r\n<p>hi</p>\r\n--x\r\nContent-Type: "
        "application/octet-stream; name=\"nb.bin\"\r\nContent-Disposition: attachment; "
        "filename=\"nb.bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
        Base64(data) + "--x--\r\n";
    Deliver(prog_.store(), "1709540001.Mnobound.hostile", text);
    cases.push_back({"missing boundary parameter", m, "", ""});
  }
  {
    // Nesting deeper than any parser limit.
    std::string data = RandomBytes(rng, 200);
    std::string text =
        "From: a@example.org\r\nTo: b@example.org\r\nSubject: deep\r\nMessage-ID: "
        "<deep@example.org>\r\nMIME-Version: 1.0\r\n";
    const int depth = 2000;
    for (int i = 0; i < depth; ++i)
      text += "Content-Type: multipart/mixed; boundary=\"d" + std::to_string(i) + "\"\r\n\r\n--d" +
              std::to_string(i) + "\r\n";
    text +=
        "Content-Type: application/octet-stream; name=\"deep.bin\"\r\nContent-Disposition: "
        "attachment; filename=\"deep.bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
        Base64(data);
    for (int i = depth - 1; i >= 0; --i) text += "--d" + std::to_string(i) + "--\r\n";
    Deliver(prog_.store(), "1709540002.Mdeep.hostile", text);
    MimeMessage m;
    m.messageId = "deep@example.org";
    cases.push_back({"nesting 2000 deep", m, "", ""});
  }
  {
    std::string data = RandomBytes(rng, 700);
    MimeMessage m{"",
                  "huge header",
                  "",
                  {{"after-huge.bin", data, {}, {}}},
                  {"X-Huge: " + std::string(1 << 20, 'h')}};
    cases.push_back({"1 MB header", m, "", data});
  }
  for (auto& c : cases) {
    // The raw ones were delivered as they are; these are built here.
    if (c.message.messageId.empty())
      c.message.messageId = Add("case-" + std::to_string(serial_), c.message);
  }
  std::map<std::string, std::string> rawBefore;
  for (auto& m : ReadFolder(prog_.store())) rawBefore[m.messageId] = ReadAll(m.path);
  auto leavesBefore = ById();
  auto outsideBefore = Outside();

  RunResult r = prog_.Run({"detach-all", "Inbox"});
  ASSERT_TRUE(r.code == 0 || r.code == 1) << "crashed or hung: " << r.code << r.err;
  EXPECT_EQ(Outside(), outsideBefore);

  auto after = ById();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_TRUE(after.count(c.message.messageId)) << "message lost: " << c.message.messageId;
    const ParsedMessage& m = after[c.message.messageId];
    if (!c.rawMustStay.empty()) {
      EXPECT_THAT(ReadAll(m.path), HasSubstr(c.rawMustStay)) << "undecodable part was stripped";
    }
    // Whatever the parser made of the message before is still there, or saved and
    // recorded byte for byte.
    auto records = ParseRecords(prog_.RecordsOf("Inbox", m.unique).value_or(""));
    const ParsedMessage& before = leavesBefore[c.message.messageId];
    for (std::size_t i = 0; i < before.leafHashes.size(); ++i) {
      if (before.leafNames[i].empty()) continue;  // the body: rewritten with links
      const std::string& h = before.leafHashes[i];
      bool kept = std::count(m.leafHashes.begin(), m.leafHashes.end(), h) > 0;
      bool saved = InRecordedFile(records, prog_.attachments(), h);
      EXPECT_TRUE(kept || saved) << "part " << before.leafNames[i] << " lost";
    }
  }
}

TEST_F(HostileTest, ForgedRecordsAndMarkerCannotReachFilesOutside) {
  std::string secretPath = (sentinel_ / "inner" / "secret.txt").string();
  std::string keepPath = (sentinel_ / "keep.txt").string();
  std::string forgedRecords = secretPath + "\tsecret.txt\t0\r\n" + keepPath + "\tkeep.txt\t0";
  auto b64 = [](const std::string& s) {
    std::string b = Base64(s);
    b.erase(std::remove(b.begin(), b.end(), '\r'), b.end());
    b.erase(std::remove(b.begin(), b.end(), '\n'), b.end());
    return b;
  };
  std::vector<std::string> forged = {
      "X-Stowbright-Billing: v=1; value=" + b64("KZO_PROCESSED_ITEM") +
          "; mac=" + std::string(64, '0'),
      "X-Stowbright-Property: v=1; name=" + b64("QLXProcessedAttachments") +
          "; type=1; value=" + b64(forgedRecords) + "; mac=" + std::string(64, 'a'),
      // Without a mac at all, and in another letter case.
      "x-stowbright-billing: v=1; value=" + b64("KZO_PROCESSED_ITEM"),
      "X-STOWBRIGHT-PROPERTY: v=1; name=" + b64("QLXProcessedAttachments") +
          "; type=1; value=" + b64(forgedRecords),
      // What an older mail client might have written: the plain property.
      "QLXProcessedAttachments: " + secretPath + "\tsecret.txt\t0",
  };
  // A link block that names the outside file, as a detached message would.
  std::string html = "<br><table id=tableKZOSTART><tr><td><ul><li><a href='" + secretPath +
                     "'>secret.txt</a></li></ul></td></tr></table><table id=tableKZOEND><tr><td>"
                     "&nbsp;</td></tr></table><!--END_KZO---><p>hello</p>";
  MimeMessage m{"", "forged", html, {{"real.txt", "a real attachment", {}, {}}}, forged};
  std::string id = Add("forged", m);
  auto outsideBefore = Outside();

  auto messages = ById();
  auto shown = prog_.Run({"--json", "show", "Inbox", messages[id].unique});
  ASSERT_EQ(shown.code, 0) << shown.err;
  auto j = nlohmann::json::parse(shown.out);
  EXPECT_EQ(j.value("processed_attachments", std::string("?")), "");
  EXPECT_NE(j.value("billing_information", std::string()), "KZO_PROCESSED_ITEM");

  // Re-attach must not pull the outside files into the mail.
  RunResult r = prog_.Run({"reattach", "Inbox", messages[id].unique});
  EXPECT_TRUE(r.code == 0 || r.code == 1) << r.err;
  messages = ById();
  ASSERT_TRUE(messages.count(id));
  for (const auto& h : messages[id].leafHashes) {
    EXPECT_NE(h, Sha256("private"));
    EXPECT_NE(h, Sha256("keep me"));
  }
  // Detach treats it as new mail: its real attachment goes, into the attachment folder.
  r = prog_.Run({"detach-all", "Inbox"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Outside(), outsideBefore);
  messages = ById();
  auto records = ParseRecords(prog_.RecordsOf("Inbox", messages[id].unique).value_or(""));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(fs::path(records[0].path).parent_path(), prog_.attachments());
  // Re-attach and delete-with-files reach only what this system recorded.
  r = prog_.Run({"reattach", "Inbox", messages[id].unique});
  EXPECT_EQ(r.code, 0) << r.err;
  messages = ById();
  r = prog_.Run({"--yes", "delete", "Inbox", messages[id].unique});
  EXPECT_TRUE(r.code == 0 || r.code == 1) << r.err;
  EXPECT_EQ(Outside(), outsideBefore);
  EXPECT_EQ(ReadAll(secretPath), "private");
  EXPECT_EQ(ReadAll(keepPath), "keep me");
}

// A round trip over what tripped earlier versions: names that differ only in case,
// normalisation or a folded sharp s, the same name twice, read-only saved files, a
// copy of a detached mail in a second folder, and files, links, a FIFO and a fake
// working folder planted in the temporary folder. Every attachment comes back byte
// for byte, in both copies; every saved file goes to the trash (none is unlinked);
// nothing else is touched.
TEST_F(HostileTest, CorpusRoundTripLosesNothingAndTouchesNothingElse) {
  ASSERT_EQ(prog_.Run({"settings", "--set", "AttachmentNamingOption=4"}).code, 0);
  std::mt19937_64 rng(13);
  std::vector<std::string> names = FoldingTwinNames();
  names.insert(names.end(), {"invoice.pdf", "invoice.pdf"});
  std::map<std::string, std::vector<std::string>> hashes;  // message id -> attachment hashes
  MimeMessage a{"", "Colliding", "", {}, {}};
  for (const auto& name : names) a.parts.push_back({name, RandomBytes(rng, 300), {}, {}});
  MimeMessage b{"",
                "Second",
                "",
                {{"invoice.pdf", RandomBytes(rng, 200), {}, {}},
                 {"report.pdf", RandomBytes(rng, 100), {}, {}}},
                {}};
  for (auto* m : {&a, &b}) {
    std::string id = Add(m->subject, *m);
    for (const auto& p : m->parts) hashes[id].push_back(Sha256(p.data));
  }
  ASSERT_EQ(prog_.Run({"detach-all", "Inbox"}).code, 0);
  std::size_t saved = 0;
  for (const auto& f : FilesIn(prog_.attachments())) {
    if (f == "existing.txt" || f == "report.pdf") continue;
    fs::permissions(prog_.attachments() / f, fs::perms::owner_read);
    ++saved;
  }
  ASSERT_EQ(saved, names.size() + 2);
  // The copy of the detached mail, as `cp` or an IMAP COPY makes it.
  fs::path other = prog_.store() / ".Other";
  MakeMaildir(other);
  for (const auto& m : ReadFolder(prog_.store()))
    if (m.messageId == "Colliding@example.org")
      fs::copy_file(m.path, other / "cur" / m.path.filename());
  // Planted where temporary copies used to go.
  fs::path tmp = prog_.tmp();
  WriteAll(tmp / "report.pdf", "planted");
  fs::create_symlink(sentinel_ / "keep.txt", tmp / "invoice.pdf");
  ASSERT_EQ(mkfifo((tmp / "Report.pdf").c_str(), 0600), 0);
  fs::path fake = tmp / "stowbright-work-99999-abcdef";
  fs::create_directories(fake);
  fs::permissions(fake, fs::perms::owner_all);
  fs::create_symlink(sentinel_ / "inner" / "secret.txt", fake / "link");
  auto outsideBefore = Outside();

  RunResult r = prog_.Run({"reattach-all", "Inbox"});
  EXPECT_EQ(r.code, 0) << r.err << r.out;
  r = prog_.Run({"reattach-all", "Other"});
  EXPECT_EQ(r.code, 0) << r.err << r.out;

  std::vector<ParsedMessage> all = ReadFolder(prog_.store());
  for (auto& m : ReadFolder(other)) all.push_back(m);
  ASSERT_EQ(all.size(), 3u);  // the two and the copy
  for (const auto& m : all) {
    for (const auto& h : hashes[m.messageId])
      EXPECT_EQ(std::count(m.leafHashes.begin(), m.leafHashes.end(), h),
                std::count(hashes[m.messageId].begin(), hashes[m.messageId].end(), h))
          << m.path;
  }
  EXPECT_EQ(FilesIn(prog_.attachments()), (std::vector<std::string>{"existing.txt", "report.pdf"}));
  EXPECT_EQ(prog_.TrashedFrom().size(), saved);
  EXPECT_EQ(ReadAll(tmp / "report.pdf"), "planted");
  EXPECT_EQ(fs::read_symlink(tmp / "invoice.pdf"), sentinel_ / "keep.txt");
  EXPECT_TRUE(fs::is_fifo(tmp / "Report.pdf"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(fake)));  // an ended run's folder, swept
  EXPECT_EQ(Outside(), outsideBefore);
}

}  // namespace
