// Detach and re-attach on real MIME messages in a Maildir built by the test.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "common/maildir_env.h"
#include "engine/deleteItem.h"
#include "engine/linkBlock.h"
#include "engine/processEmail.h"
#include "engine/reattach.h"
#include "engine/userProperties.h"

namespace stow::testing {
namespace {

std::string Message(const std::string& html, const std::vector<MimePart>& parts) {
  MimeMessage m{"e2e-1@example.org", "Quarterly", html, parts, {}, "b1", "\n", true};
  return Render(m);
}

std::string AllBytes() {
  std::string bytes;
  for (int round = 0; round < 40; ++round) {
    for (int c = 0; c < 256; ++c) bytes += static_cast<char>(c);
  }
  return bytes;
}

class MaildirEngineTest : public ::testing::Test {
 protected:
  // Puts a message into the Inbox as a mail delivery agent would.
  void Deliver(const std::string& text) {
    AddinEnvironment::WriteFile(env.Root() + "/Maildir/cur/1309962605.e2e1.host:2,S", text);
  }

  std::shared_ptr<om::Item> OnlyItem() {
    auto items = env.Inbox()->Items();
    EXPECT_EQ(items->Count(), 1);
    return items->Item(1);
  }

  // Name -> SHA-256 of the bytes of each attachment of the item, as saved by the store.
  std::map<std::string, std::string> AttachmentHashes(const std::shared_ptr<om::Item>& item) {
    std::map<std::string, std::string> hashes;
    std::string dir = env.MakeFolder("check");
    int n = 0;
    for (const auto& a : item->Attachments()->All()) {
      std::string path = dir + "/" + std::to_string(++n);
      a->SaveAsFile(path);
      hashes[a->FileName()] = AddinEnvironment::FileSha256(path);
    }
    return hashes;
  }

  AddinEnvironment env{MaildirOptions()};
};

TEST_F(MaildirEngineTest, DetachThenReattachGivesBackTheSameBytes) {
  const std::string pdf = AllBytes();
  const std::string text = "line one\r\nline two\n\xC3\xA9t\xC3\xA9\n";
  const std::string html = "<html><body><p>Figures attached.</p></body></html>";
  Deliver(Message(html, {{"figures.pdf", pdf}, {"notes.txt", text}}));
  std::string folder = env.MakeFolder("att");
  env.UseAttachmentFolder(folder);
  env.SetSetting("AttachmentNamingOption", "4");

  ProcessEmail(OnlyItem(), false, "", false);

  auto detached = OnlyItem();
  EXPECT_TRUE(IsProcessed(detached));
  EXPECT_NE(detached->HTMLBody().find("tableKZOSTART"), std::string::npos);
  ASSERT_EQ(env.ListFiles(folder), (std::vector<std::string>{"figures.pdf", "notes.txt"}));
  EXPECT_EQ(AddinEnvironment::FileSha256(folder + "/figures.pdf"), Sha256(pdf));
  EXPECT_EQ(AddinEnvironment::FileSha256(folder + "/notes.txt"), Sha256(text));
  auto left = detached->Attachments()->All();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0]->FileName(), kTokenFileName);

  ReAttachFiles(detached, false, "");

  auto restored = OnlyItem();
  auto hashes = AttachmentHashes(restored);
  EXPECT_EQ(hashes.size(), 3u);
  EXPECT_EQ(hashes["figures.pdf"], Sha256(pdf));
  EXPECT_EQ(hashes["notes.txt"], Sha256(text));
  std::string body = restored->HTMLBody();
  EXPECT_EQ(body.find("tableKZO"), std::string::npos);
  EXPECT_EQ(body.find(kBlockEndComment), std::string::npos);
  EXPECT_NE(body.find("Figures attached."), std::string::npos);
  EXPECT_EQ(restored->BillingInformation(), "");
  EXPECT_EQ(
      ToText(GetUserDefinedFieldValue(restored, kRecordsProperty, FieldKind::kText, Value(""))),
      "");
  EXPECT_TRUE(env.ListFiles(folder).empty());
}

TEST_F(MaildirEngineTest, NamesThatOnlyFoldTogetherAreSavedRecordedAndPutBackEach) {
  const std::vector<std::string> names = FoldingTwinNames();
  std::vector<MimePart> parts;
  for (std::size_t i = 0; i < names.size(); ++i)
    parts.push_back({names[i], "bytes of file " + std::to_string(i)});
  Deliver(Message("<p>eight</p>", parts));
  std::string folder = env.MakeFolder("att");
  env.UseAttachmentFolder(folder);
  env.SetSetting("AttachmentNamingOption", "4");

  ProcessEmail(OnlyItem(), false, "", false);
  EXPECT_EQ(env.ListFiles(folder).size(), names.size());
  ReAttachFiles(OnlyItem(), true, "");

  auto hashes = AttachmentHashes(OnlyItem());
  for (const MimePart& p : parts) EXPECT_EQ(hashes[p.name], Sha256(p.data)) << p.name;
  EXPECT_TRUE(env.ListFiles(folder).empty());
}

TEST_F(MaildirEngineTest, SignedOrEncryptedMailIsNeverChanged) {
  const std::string head =
      "Message-ID: <sealed@example.org>\nFrom: Ann <ann@example.org>\nSubject: Sealed\n"
      "MIME-Version: 1.0\n";
  const std::string signedMail =
      head +
      "Content-Type: multipart/signed; protocol=\"application/pgp-signature\"; "
      "micalg=pgp-sha256; boundary=\"s\"\n\n--s\nContent-Type: multipart/mixed; "
      "boundary=\"m\"\n\n--m\nContent-Type: text/plain\n\nterms\n--m\nContent-Type: "
      "application/pdf\nContent-Disposition: attachment; filename=\"contract.pdf\"\n"
      "Content-Transfer-Encoding: base64\n\nJVBERi0xLjQK\n--m--\n--s\nContent-Type: "
      "application/pgp-signature; name=\"signature.asc\"\nContent-Disposition: attachment; "
      "filename=\"signature.asc\"\n\n-----BEGIN PGP SIGNATURE-----\nabc\n"
      "-----END PGP SIGNATURE-----\n--s--\n";
  const std::string smime = head +
                            "Content-Type: application/pkcs7-mime; smime-type=enveloped-data; "
                            "name=\"smime.p7m\"\nContent-Disposition: attachment; "
                            "filename=\"smime.p7m\"\nContent-Transfer-Encoding: base64\n\n"
                            "MIAGCSqGSIb3DQEHA6CAMIACAQAx\n";
  const std::string encrypted =
      head +
      "Content-Type: multipart/encrypted; protocol=\"application/pgp-encrypted\"; "
      "boundary=\"e\"\n\n--e\nContent-Type: application/pgp-encrypted\n\nVersion: 1\n--e\n"
      "Content-Type: application/octet-stream; name=\"encrypted.asc\"\nContent-Disposition: "
      "inline; filename=\"encrypted.asc\"\n\n-----BEGIN PGP MESSAGE-----\nxyz\n"
      "-----END PGP MESSAGE-----\n--e--\n";
  std::string folder = env.MakeFolder("att");
  env.UseAttachmentFolder(folder);
  std::string file = env.Root() + "/Maildir/cur/1309962605.e2e1.host:2,S";
  for (const std::string& mail : {signedMail, smime, encrypted}) {
    Deliver(mail);
    ProcessEmail(OnlyItem(), false, "", false);
    EXPECT_EQ(env.LastOutcome().left, ItemOutcome::Left::kSignedOrEncrypted);
    ProcessEmail(OnlyItem(), true, "", false);
    subDeleteAttachments(OnlyItem());
    EXPECT_EQ(env.LastOutcome().left, ItemOutcome::Left::kSignedOrEncrypted);
    EXPECT_EQ(AddinEnvironment::ReadFile(file), mail);
    EXPECT_TRUE(env.ListFiles(folder).empty());
  }
}

TEST_F(MaildirEngineTest, InlineImagesComeBackWithNewContentIds) {
  const std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + AllBytes();
  Deliver(Message("<p><img src=\"cid:logo@x\"></p>",
                  {{"logo.png", png, {}, {}, "logo@x"}, {"a.bin", "A"}}));
  std::string folder = env.MakeFolder("att");
  env.UseAttachmentFolder(folder);
  env.SetSetting("TreatInlineImagesAsAttachments", "-1");

  ProcessEmail(OnlyItem(), false, "", false);
  auto detached = OnlyItem();
  EXPECT_EQ(detached->HTMLBody().find("cid:logo@x"), std::string::npos);
  EXPECT_EQ(env.ListFiles(folder).size(), 2u);

  ReAttachFiles(detached, true, "");
  auto restored = OnlyItem();
  auto hashes = AttachmentHashes(restored);
  ASSERT_EQ(hashes.count("logo.png"), 1u);
  EXPECT_EQ(hashes["logo.png"], Sha256(png));
  std::string body = restored->HTMLBody();
  EXPECT_EQ(body.find("tableKZO"), std::string::npos);
  std::size_t cid = body.find("cid:");
  ASSERT_NE(cid, std::string::npos);
  std::string id = body.substr(cid + 4, 8);
  for (const auto& a : restored->Attachments()->All()) {
    if (a->FileName() == "logo.png") {
      EXPECT_EQ(ToText(a->Field(om::PR_ATTACH_CONTENT_ID)), id);
    }
  }
  EXPECT_TRUE(env.ListFiles(folder).empty());
}

}  // namespace
}  // namespace stow::testing
