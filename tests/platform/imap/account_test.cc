// Naming an IMAP account and finding its password, without a server.

#include <sys/stat.h>

#include "common/dovecot_server.h"
#include "platform/com_error.h"
#include "platform/imap/credentials.h"
#include "platform/imap/replacement.h"

namespace stow::imap {
namespace {

TEST(ImapAccount, UrlsGiveSecurityUserHostAndPortAndNeverAPassword) {
  Endpoint a = Endpoint::Parse("imaps://alice@mail.example.com/");
  EXPECT_EQ(a.security, Security::kImplicitTls);
  EXPECT_EQ(a.Server(), "mail.example.com:993");
  Endpoint b = Endpoint::Parse("imap://alice@example.com@[::1]:1143");
  EXPECT_EQ(b.security, Security::kStartTls);
  EXPECT_EQ(b.user, "alice@example.com");
  EXPECT_EQ(Endpoint::Parse(b.Url()).Server(), "[::1]:1143");
  EXPECT_EQ(Endpoint::Parse("imap://a%2Fb%40c@h").FileKey(), "a%2Fb%40c@h_143");
  for (const char* bad :
       {"imaps://alice:pw@h/", "pop3://alice@h/", "imaps://h/", "imaps://alice@h/INBOX",
        "imaps://alice@h:0/", "imaps://alice@h:99999/", "alice@h"}) {
    try {
      Endpoint::Parse(bad);
      ADD_FAILURE() << bad;
    } catch (const ComError& e) {
      EXPECT_EQ(e.Description().find(":pw"), std::string::npos);
    }
  }
  setenv("XDG_STATE_HOME", "/state", 1);
  EXPECT_EQ(DefaultJournalDir(a), "/state/stowbright/imap-journal/alice@mail.example.com_993");
  setenv("XDG_STATE_HOME", "relative", 1);  // not absolute: ignored, as the XDG rules say
  EXPECT_EQ(
      DefaultJournalDir(a).rfind(std::string(g_get_home_dir()) + "/.local/state/stowbright/", 0),
      0u);
  unsetenv("XDG_STATE_HOME");
  for (const char* host : {"127.0.0.1", "127.8.9.10", "::1", "localhost", "::ffff:127.0.0.1"})
    EXPECT_TRUE(IsLoopbackHost(host)) << host;
  for (const char* host : {"10.0.0.1", "::2", "example.com", "localhost.example.com", "128.0.0.1"})
    EXPECT_FALSE(IsLoopbackHost(host)) << host;
}

TEST(ImapPassword, NetrcPicksMachineAndLoginThenDefaultMustBePrivateOrACommandGivesOne) {
  std::string netrc = ::testing::TempDir() + "stowbright-netrc-" + std::to_string(getpid());
  auto write = [&](const std::string& text, mode_t mode) {
    testing::WriteAll(netrc, text);
    chmod(netrc.c_str(), mode);
  };
  write(
      "machine other.example login alice password wrong\n"
      "macdef init\nmachine mail.example login alice password inside-a-macro\n\n"
      "machine MAIL.example login bob password bobs\n"
      "machine mail.example\n  login alice\n  password \"two words\\\"q\"\n"
      "default login alice password fallback\n",
      0600);
  EXPECT_EQ(PasswordFromNetrc(netrc, "mail.example", "alice"), "two words\"q");
  EXPECT_EQ(PasswordFromNetrc(netrc, "mail.example", "bob"), "bobs");
  EXPECT_EQ(PasswordFromNetrc(netrc, "elsewhere", "alice"), "fallback");
  EXPECT_EQ(PasswordFromNetrc(netrc, "elsewhere", "carol"), std::nullopt);
  EXPECT_EQ(PasswordFromNetrc(netrc + "-none", "mail.example", "alice"), std::nullopt);
  setenv("NETRC", netrc.c_str(), 1);
  EXPECT_EQ(ObtainPassword(Endpoint::Parse("imaps://alice@mail.example/"), ""), "two words\"q");
  EXPECT_THROW(ObtainPassword(Endpoint::Parse("imaps://zed@h/"), ""), ComError);
  write("machine h login alice password secret\n", 0640);
  EXPECT_THROW(ObtainPassword(Endpoint::Parse("imaps://alice@h/"), ""), ComError);
  unsetenv("NETRC");
  std::remove(netrc.c_str());
  // A command gives its first line and never shows its output.
  EXPECT_EQ(PasswordFromCommand("printf 'p@ss word\\r\\nsecond line\\n'"), "p@ss word");
  EXPECT_EQ(ObtainPassword(Endpoint::Parse("imaps://alice@h/"), "echo from-command"),
            "from-command");
  for (const char* failing : {"printf 'leaked\\n'; exit 3", "true", "printf '\\n'"}) {
    try {
      PasswordFromCommand(failing);
      ADD_FAILURE() << failing;
    } catch (const ComError& e) {
      EXPECT_EQ(e.Number(), errnum::kAccessDenied);
      EXPECT_EQ(e.Description().find("leaked\n"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace stow::imap
