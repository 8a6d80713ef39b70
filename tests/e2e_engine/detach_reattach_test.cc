// The engine on real signed and encrypted MIME messages in a Maildir built by the test:
// detach, the monitors' detach and the removal of attachments leave them as they are.

#include <gtest/gtest.h>

#include "common/maildir_env.h"
#include "engine/deleteItem.h"
#include "engine/processEmail.h"

namespace stow::testing {
namespace {

TEST(MaildirEngineTest, SignedOrEncryptedMailIsNeverChanged) {
  AddinEnvironment env{MaildirOptions()};
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
  auto only = [&] { return env.Inbox()->Items()->Item(1); };
  for (const std::string& mail : {signedMail, smime, encrypted}) {
    AddinEnvironment::WriteFile(file, mail);  // as a delivery agent puts it there
    ASSERT_EQ(env.Inbox()->Items()->Count(), 1);
    ProcessEmail(only(), false, "", false);
    EXPECT_EQ(env.LastOutcome().left, ItemOutcome::Left::kSignedOrEncrypted);
    ProcessEmail(only(), true, "", false);
    subDeleteAttachments(only());
    EXPECT_EQ(env.LastOutcome().left, ItemOutcome::Left::kSignedOrEncrypted);
    EXPECT_EQ(AddinEnvironment::ReadFile(file), mail);
    EXPECT_TRUE(env.ListFiles(folder).empty());
  }
}

}  // namespace
}  // namespace stow::testing
