// The attachment folder stored per host folder.

#include "support/attachmentFolders.h"

#include <gtest/gtest.h>

#include "settings_fixture.h"

namespace stow::settings_test {
namespace {

using Op = mem::MemoryRegistry::Op;
namespace syserr = platform::syserr;

using AttachmentFoldersTest = SettingsTest;

TEST_F(AttachmentFoldersTest, ValueNameIsTheFolderPathWithDotsForBackslashes) {
  EXPECT_EQ(AttachmentFolderValueName("\\\\Mailbox - User\\Inbox"), "..Mailbox - User.Inbox");
  EXPECT_EQ(AttachmentFolderValueName("Inbox"), "Inbox");

  WriteAttachmentFolderPathToRegistry("\\\\Mailbox - User\\Inbox", "/srv/att/Été");
  EXPECT_EQ(Stored("..Mailbox - User.Inbox"), "/srv/att/Été");
  EXPECT_EQ(ReadAttachmentFolderPathFromRegistry("\\\\Mailbox - User\\Inbox"), "/srv/att/Été");
  EXPECT_EQ(GetAttachmentFolderPathFromRegistry("\\\\MAILBOX - user\\inbox"), "/srv/att/Été");
  WriteAttachmentFolderPathToRegistry("Inbox", "/plain");
  EXPECT_EQ(Stored("Inbox"), "/plain");
}

TEST_F(AttachmentFoldersTest, MissingOrUnreadableValuesReadAsEmptyAndFailedWritesAreIgnored) {
  EXPECT_EQ(ReadAttachmentFolderPathFromRegistry("\\\\Store\\Nothing"), "");
  Store("Other", "x");
  EXPECT_EQ(GetAttachmentFolderPathFromRegistry("\\\\Store\\Nothing"), "");
  registry.SetRaw(platform::Hive::CurrentUser, kKeyPath, "..Store.Numbers", platform::REG_DWORD,
                  std::string("\x01\0\0\0", 4));
  EXPECT_EQ(ReadAttachmentFolderPathFromRegistry("\\\\Store\\Numbers"), "");
  EXPECT_EQ(ReadAttachmentFolderPathFromRegistry(""), "");
  Store("..Store.Busy", "/x");
  registry.FailOn(Op::QueryValue, syserr::kBusy, "..Store.Busy");
  EXPECT_EQ(GetAttachmentFolderPathFromRegistry("\\\\Store\\Busy"), "");
  // A failed write is ignored too.
  registry.FailOn(Op::SetValue, syserr::kAccessDenied);
  WriteAttachmentFolderPathToRegistry("\\\\Store\\Inbox", "/x");
  WriteAttachmentFolderPathToRegistry("", "/y");
  registry.ClearFaults();
  EXPECT_FALSE(Stored("..Store.Inbox"));
  EXPECT_EQ(registry.OpenHandleCount(), 0u);
  EXPECT_FALSE(modErroHandling::ReportShown());
}

}  // namespace
}  // namespace stow::settings_test
