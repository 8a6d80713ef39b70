// Attachments taken out and added back come back as they were: type and parameters,
// Content-ID, disposition, description, transfer encoding and place in the
// structure, for every kind of part real mail carries.

#include <glib.h>
#include <gmime/gmime.h>

#include "maildir/maildir_fixture.h"
#include "platform/maildir/mime.h"

namespace stow::maildir::testing {
namespace {

// Every leaf but the HTML body: where it sits, its headers as written, and its bytes.
void Leaves(GMimeObject* o, const std::string& at, std::vector<std::string>& out) {
  if (GMIME_IS_MULTIPART(o)) {
    for (int i = 0; i < g_mime_multipart_get_count(GMIME_MULTIPART(o)); ++i)
      Leaves(g_mime_multipart_get_part(GMIME_MULTIPART(o), i), at + "/" + std::to_string(i), out);
    return;
  }
  if (mime::MimeType(o) == "TEXT/HTML") return;
  std::string leaf = at;
  for (const char* h : {"Content-Type", "Content-ID", "Content-Disposition", "Content-Description",
                        "Content-Transfer-Encoding"})
    leaf += " | " + mime::RawHeader(o, h);
  std::string bytes;
  mime::DecodePart(o, [&](const char* d, std::size_t n) { bytes.append(d, n); });
  out.push_back(leaf + " | " + Sha256(bytes));
}

std::vector<std::string> LeavesOf(const fs::path& file) {
  auto doc = mime::Document::Parse(file.string());
  std::vector<std::string> out;
  Leaves(mime::TopPart(doc->message()), "", out);
  return out;
}

TEST_F(MaildirTest, EveryKindOfPartComesBackAsItWas) {
  const std::string crlf = "\r\n";
  std::string gif = std::string("GIF89a\x01\x00\x01\x00", 10), pdf = "%PDF-1.4\n\x80\x81 tail";
  std::string forwarded =
      "From: Carl <c@example.org>\r\nSubject: Original\r\nContent-Type: text/plain; "
      "charset=iso-8859-1\r\nContent-Transfer-Encoding: 8bit\r\n\r\nGr\xfc\xdf"
      "e\r\n";
  std::string msg =
      kHead +
      "Subject: kinds\nContent-Type: multipart/mixed; boundary=M\n\n"
      "--M\nContent-Type: multipart/related; boundary=R\n\n"
      "--R\nContent-Type: multipart/alternative; boundary=A\n\n"
      "--A\nContent-Type: text/plain\n\nsee the logo\n"
      "--A\nContent-Type: text/html\n\n<img src=\"cid:logo@x\"><img src=\"cid:chart@x\">\n--A--\n"
      "--R\nContent-Type: image/gif\nContent-ID: <logo@x>\nContent-Transfer-Encoding: base64\n\n" +
      Base64(gif, "\n") +
      "--R\nContent-Type: image/svg+xml; name=\"chart.svg\"\nContent-ID: <chart@x>\n"
      "Content-Disposition: inline; filename=\"chart.svg\"\n\n<svg/>\n--R--\n"
      "--M\nContent-Type: text/plain; charset=iso-8859-1; name=\"notes.txt\"\n"
      "Content-Description: Notes\nContent-Disposition: attachment;\n "
      "filename*=iso-8859-1''n%F6tes.txt\n"
      "Content-Transfer-Encoding: quoted-printable\n\nK=F6ln\nzwei=20\n"
      "--M\nContent-Type: message/rfc822\nContent-Disposition: attachment\n"
      "Content-Transfer-Encoding: 8bit\n\n" +
      forwarded +
      "--M\nContent-Type: multipart/mixed; boundary=N\n\n"
      "--N\nContent-Type: application/pdf; name=\"a.pdf\"\nContent-Transfer-Encoding: base64\n\n" +
      Base64(pdf, crlf) +  // lines ending in CR LF in a message whose lines end in LF
      "--N\nContent-Type: text/csv; charset=utf-8\nContent-Disposition: attachment; "
      "filename=b.csv\nContent-Transfer-Encoding: 7bit\n\na;b\n1;2\n--N--\n"
      "--M\nContent-Type: multipart/report; report-type=delivery-status; boundary=D\n\n"
      "--D\nContent-Type: text/plain\n\nUndeliverable\n"
      "--D\nContent-Type: message/delivery-status\n\nReporting-MTA: dns; mx\n"
      "--D\nContent-Type: message/rfc822\n\nSubject: Bounced\n\nlost?\n--D--\n"
      // Kept in the mail: unencoded bytes with CR LF in them survive the rewrite.
      "--M\nContent-Type: application/octet-stream; name=keep.bin\n"
      "Content-Transfer-Encoding: 8bit\n\nx\r\ny\n--M--\n";
  fs::path file = Deliver(msg);
  auto before = LeavesOf(file);
  auto item = ItemAt(file);
  std::vector<std::string> names;
  fs::create_directories(dir_ / "saved");
  for (auto& a : item->Attachments()->All()) {
    if (a->FileName() == "keep.bin") continue;
    names.push_back(a->FileName());
    a->SaveAsFile((dir_ / "saved" / names.back()).string());
    a->Delete();
  }
  EXPECT_EQ(names, (std::vector<std::string>{"image-1.gif", "chart.svg", "nötes.txt",
                                             "Original.eml", "a.pdf", "b.csv", "Bounced.eml"}))
      << "a nameless part the HTML shows is named after its type";
  item->SetHTMLBody("<p>links</p>");
  item->Save();

  auto stripped = ItemAt(root_ / InboxFiles().at(0));
  EXPECT_EQ(stripped->Attachments()->Count(), 1);                                  // keep.bin
  stripped->Attachments()->Add((dir_ / "saved" / "a.pdf").string(), "other.pdf");  // no match
  for (const auto& name : names)
    stripped->Attachments()->Add((dir_ / "saved" / name).string(), name);
  stripped->Save();

  fs::path back = root_ / InboxFiles().at(0);
  auto after = LeavesOf(back);
  ASSERT_FALSE(after.empty());
  EXPECT_NE(after.back().find("other.pdf"), std::string::npos) << "a new file is a new part";
  after.erase(std::remove_if(after.begin(), after.end(),
                             [](const std::string& l) { return l.find("other.pdf") != l.npos; }),
              after.end());
  // The kept part comes last, base64 now: GMime writes unencoded content with LF.
  ASSERT_EQ(after.size(), before.size());
  std::string kept = before.back();
  kept.replace(kept.find("| 8bit |"), 8, "| base64 |");
  EXPECT_EQ(after.back(), kept);
  after.pop_back();
  before.pop_back();
  EXPECT_EQ(after, before);
  EXPECT_EQ(ReadAll(back).find("Content-Type: message/rfc822\nContent-Disposition: attachment\n"
                               "Content-Transfer-Encoding: base64"),
            std::string::npos);
  // What brings the parts back goes once they are back.
  EXPECT_EQ(ReadAll(back).find("X-Stowbright-Part"), std::string::npos);
}

// A part put back keeps its unencoded transfer encoding only where its bytes allow
// it, whichever block of the content the deciding byte falls in.
TEST_F(MaildirTest, APartComesBackUnencodedOnlyWhereItsBytesAllowIt) {
  const std::size_t block = 65536;  // what the content is looked at in
  auto lines = [](std::size_t total, std::size_t width) {
    std::string s;
    while (s.size() < total) s += std::string(width, 'a') + "\n";
    return s;
  };
  std::string straddling = lines(block - 500, 80);  // a 999-byte line across the block edge
  straddling += std::string(999, 'b') + "\n" + lines(2000, 80);
  std::string late8 = lines(block + 4000, 80), lateNul = late8;
  late8[block + 100] = '\xe9';
  lateNul[block + 100] = '\0';
  struct Case {
    std::string encoding, content, back;
  } cases[] = {{"7bit", lines(3 * block, 998), "7bit"},
               {"7bit", straddling, "base64"},
               {"7bit", late8, "base64"},
               {"8bit", late8, "8bit"},
               {"8bit", lateNul, "base64"}};
  fs::create_directories(dir_ / "saved");
  for (const auto& c : cases) {
    fs::remove_all(root_ / "cur");
    fs::create_directories(root_ / "cur");
    auto item = ItemAt(
        Deliver(kHead + "Subject: shape\nContent-Type: multipart/mixed; boundary=M\n\n" +
                "--M\nContent-Type: text/html\n\n<p>x</p>\n--M\n" +
                "Content-Type: application/x-data; name=d.bin\n" +
                "Content-Transfer-Encoding: " + c.encoding + "\n\n" + c.content + "--M--\n"));
    auto part = item->Attachments()->Item(1);
    part->SaveAsFile((dir_ / "saved" / "d.bin").string());
    part->Delete();
    item->Save();
    auto stripped = ItemAt(root_ / InboxFiles().at(0));
    stripped->Attachments()->Add((dir_ / "saved" / "d.bin").string(), "d.bin");
    stripped->Save();
    auto after = LeavesOf(root_ / InboxFiles().at(0));
    ASSERT_EQ(after.size(), 1u);
    EXPECT_NE(after[0].find("| " + c.back + " |"), std::string::npos)
        << c.encoding << " content of " << c.content.size() << " bytes: " << after[0];
    // The delimiter takes the last line break.
    EXPECT_NE(after[0].find(Sha256(c.content.substr(0, c.content.size() - 1))), std::string::npos);
  }
}

// A message file attached anew (no record of how it was) is still a message part,
// which may only be sent unencoded.
TEST_F(MaildirTest, AMessageFileAttachedAnewIsNotEncoded) {
  fs::create_directories(dir_ / "saved");
  WriteAll(dir_ / "saved" / "fwd.eml", "Subject: Forwarded\n\nhello\n");
  auto item = ItemAt(Deliver("Subject: s\nContent-Type: text/html\n\n<p>x</p>\n"));
  item->Attachments()->Add((dir_ / "saved" / "fwd.eml").string(), "fwd.eml");
  item->Save();
  std::string text = ReadAll(root_ / InboxFiles().at(0));
  ASSERT_NE(text.find("message/rfc822"), std::string::npos);
  EXPECT_EQ(text.find("base64"), std::string::npos);
  EXPECT_NE(text.find("Subject: Forwarded"), std::string::npos);
}

}  // namespace
}  // namespace stow::maildir::testing
