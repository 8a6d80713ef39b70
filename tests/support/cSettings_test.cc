// Loading, defaulting and saving every option, and the running number.

#include "support/cSettings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "settings_fixture.h"

namespace stow::settings_test {
namespace {

using Op = mem::MemoryRegistry::Op;
namespace syserr = platform::syserr;

// The defaults a first run writes, in the order written.
const std::vector<std::pair<std::string, std::string>> kDefaults = {
    {"AttachmentNamingOption", "3"},
    {"AttachmentDisplayOption", "1"},
    {"AttachmentLocationOption", "0"},
    {"AttachmentFolderOption", "1"},
    {"SentItemsOption", "2"},
    {"TreatInlineImagesAsAttachments", "0"},
    {"DeleteItemPrompt", "0"},
    {"DeleteItemsPrompt", "1"},
    {"EmbedMacPath", "0"},
    {"EmbedHTTPPath", "0"},
    {"MacHTTPOnAutoDetachment", "0"},
    {"StartUpSentItems", "1"},
    {"StartUpItemMonitoredFolders", "1"},
};

using SettingsStoreTest = SettingsTest;

TEST_F(SettingsStoreTest, FirstRunWritesTheDefaultsAndCreatesMyAttachments) {
  const std::string folder = Documents() + "/My Attachments";
  ASSERT_FALSE(std::filesystem::exists(folder));
  cSettings settings;
  EXPECT_TRUE(settings.ReadSettings());

  std::vector<std::string> expectedNames = {"AttachmentFolderPath"};
  for (const auto& [name, text] : kDefaults) {
    expectedNames.push_back(name);
    EXPECT_EQ(Stored(name), text) << name;
  }
  EXPECT_EQ(registry.ValueNames(platform::Hive::CurrentUser, kKeyPath), expectedNames);
  EXPECT_EQ(Stored("AttachmentFolderPath"), folder);
  EXPECT_TRUE(std::filesystem::is_directory(folder));

  EXPECT_EQ(settings.AttachmentFolderPath, folder);
  EXPECT_EQ(settings.AttachmentNamingOption, 3);
  EXPECT_EQ(settings.EmailFolders()->Count(), 0u);
  EXPECT_EQ(settings.AttachmentExtensions()->Count(), 0u);
  EXPECT_FALSE(modErroHandling::ReportShown());

  // A second run finds the store and writes nothing.
  int writes = registry.SetValueCalls();
  cSettings again;
  again.ReadSettings();
  EXPECT_EQ(registry.SetValueCalls(), writes);
  EXPECT_EQ(again.AttachmentFolderPath, folder);
}

TEST_F(SettingsStoreTest, OneNamingValuePresentOrAnUnreadableStoreMeansNoDefaults) {
  for (const char* present : {"AttachmentNamingOption", "AttachmentDisplayOption"}) {
    registry = mem::MemoryRegistry();
    Store(present, "4");
    cSettings settings;
    settings.ReadSettings();
    EXPECT_EQ(registry.ValueNames(platform::Hive::CurrentUser, kKeyPath),
              std::vector<std::string>{present});
    bool naming = std::string(present) == "AttachmentNamingOption";
    EXPECT_EQ(settings.AttachmentNamingOption, naming ? 4 : 0);
    EXPECT_EQ(settings.AttachmentDisplayOption, naming ? 0 : 4);
    EXPECT_EQ(settings.SentItemsOption, 0);
    EXPECT_FALSE(std::filesystem::exists(Documents() + "/My Attachments"));
  }
  // Nor does a store that cannot be read.
  registry = mem::MemoryRegistry();
  Store("AttachmentNamingOption", "0");
  Store("AttachmentDisplayOption", "0");
  Store("SentItemsOption", "1");
  registry.FailOn(Op::QueryValue, syserr::kBusy, "AttachmentNamingOption");
  registry.FailOn(Op::QueryValue, syserr::kBusy, "AttachmentDisplayOption");
  cSettings unread;
  unread.AttachmentNamingOption = 4;
  unread.ReadSettings();
  EXPECT_EQ(Stored("SentItemsOption"), "1");
  EXPECT_FALSE(Stored("DeleteItemsPrompt"));
  EXPECT_EQ(unread.AttachmentNamingOption, 4) << "an unreadable value keeps the option";
  EXPECT_EQ(unread.SentItemsOption, 1);
}

TEST_F(SettingsStoreTest, FlagsReadAsTrueForAnyNonZeroInteger) {
  Store("AttachmentNamingOption", "3");
  struct Case {
    const char* text;
    bool flag;
    std::int16_t startUp;
  };
  for (const Case& c : {Case{"1", true, 1}, Case{"-1", true, -1}, Case{"5", true, 5},
                        Case{"0", false, 0}, Case{"", false, 0}, Case{"word", false, 0},
                        Case{" 2 ", true, 2}, Case{"99999", false, 0}}) {
    for (const char* name :
         {"TreatInlineImagesAsAttachments", "DeleteItemPrompt", "DeleteItemsPrompt", "EmbedMacPath",
          "EmbedHTTPPath", "MacHTTPOnAutoDetachment", "StartUpSentItems",
          "StartUpItemMonitoredFolders"})
      Store(name, c.text);
    cSettings settings;
    bool cSettings::*flags[] = {&cSettings::TreatInlineImagesAsAttachments,
                                &cSettings::DeleteItemPrompt,
                                &cSettings::DeleteItemsPrompt,
                                &cSettings::EmbedMacPath,
                                &cSettings::EmbedHTTPPath,
                                &cSettings::MacHTTPOnAutoDetachment};
    // Opposite of the expectation, so that an option left alone shows.
    for (auto flag : flags) settings.*flag = !c.flag;
    settings.StartUpSentItems = settings.StartUpItemMonitoredFolders = 77;
    settings.ReadSettings();
    SCOPED_TRACE(std::string("stored \"") + c.text + "\"");
    for (auto& flag : flags) EXPECT_EQ(settings.*flag, c.flag) << "flag " << &flag - flags;
    EXPECT_EQ(settings.StartUpSentItems, c.startUp);
    EXPECT_EQ(settings.StartUpItemMonitoredFolders, c.startUp);
  }
}

TEST_F(SettingsStoreTest, UnreadableOrUnconvertibleValuesKeepTheOption) {
  Store("AttachmentNamingOption", "abc");
  Store("AttachmentDisplayOption", " 1 ");
  Store("AttachmentLocationOption", "1.5");
  Store("AttachmentFolderOption", "0");
  Store("HTTPAddress", "http://old");
  auto dword = std::string("\x01\0\0\0", 4);
  registry.SetRaw(platform::Hive::CurrentUser, kKeyPath, "DeleteItemsPrompt", platform::REG_DWORD,
                  dword);
  registry.SetRaw(platform::Hive::CurrentUser, kKeyPath, "SentItemsOption", platform::REG_DWORD,
                  dword);
  registry.SetRaw(platform::Hive::CurrentUser, kKeyPath, "AttachmentFolderPath",
                  platform::REG_BINARY, "xx");
  cSettings settings;
  settings.AttachmentNamingOption = 2;
  settings.AttachmentLocationOption = 1;
  settings.SentItemsOption = 1;
  settings.DeleteItemsPrompt = true;
  settings.AttachmentFolderPath = "/kept";
  settings.ReadSettings();
  EXPECT_EQ(settings.AttachmentNamingOption, 2);
  EXPECT_EQ(settings.AttachmentDisplayOption, 1);
  EXPECT_EQ(settings.AttachmentLocationOption, 1);
  EXPECT_EQ(settings.AttachmentFolderOption, 0);
  EXPECT_EQ(settings.SentItemsOption, 1);
  EXPECT_TRUE(settings.DeleteItemsPrompt);
  EXPECT_EQ(settings.AttachmentFolderPath, "/kept");
  EXPECT_EQ(settings.HTTPAddress, "http://old");
  EXPECT_FALSE(modErroHandling::ReportShown()) << "loading the settings never reports";
}

TEST_F(SettingsStoreTest, ListsLoadLowerCasedWithoutRepeatsAndSaveBack) {
  Store("AttachmentNamingOption", "3");
  Store("AttachmentExtensions", "PDF,,jpg,pdf");
  Store("EmailFolders", "\\\\Mailbox - Ann\\Inbox\r\n\\\\MAILBOX - ANN\\INBOX\r\n");
  cSettings settings;
  settings.ReadSettings();
  EXPECT_EQ(settings.AttachmentExtensions()->Items(), (std::vector<std::string>{"pdf", "jpg"}));
  EXPECT_EQ(settings.EmailFolders()->Items(), std::vector<std::string>{"\\\\mailbox - ann\\inbox"});
  EXPECT_TRUE(settings.SaveSettings());
  EXPECT_EQ(Stored("AttachmentExtensions"), "pdf,jpg");
  EXPECT_EQ(Stored("EmailFolders"), "\\\\mailbox - ann\\inbox");

  // Letters beyond ASCII are lower-cased and compared the same way.
  Store("EmailFolders", "\\\\Boîte\\RÉSUMÉS\r\n\\\\BOÎTE\\résumés\r\n\\\\Boîte\\Envoyés");
  settings.ReadSettings();
  EXPECT_EQ(settings.EmailFolders()->Items(),
            (std::vector<std::string>{"\\\\boîte\\résumés", "\\\\boîte\\envoyés"}));
}

TEST_F(SettingsStoreTest, SaveWritesEveryOptionInItsEncodingAndOrder) {
  cSettings settings;
  settings.EmailFolders()->SetString("\\\\A\\Inbox\r\n\\\\B", "\r\n");
  settings.AttachmentExtensions()->SetString("exe,zip", ",");
  settings.AttachmentFolderPath = "/home/ann/Pièces jointes";
  settings.AttachmentNamingOption = 2;
  settings.AttachmentDisplayOption = 0;
  settings.AttachmentLocationOption = 1;
  settings.TreatInlineImagesAsAttachments = true;
  settings.DeleteItemPrompt = false;
  settings.DeleteItemsPrompt = true;
  settings.AttachmentFolderOption = 0;
  settings.SentItemsOption = 1;
  settings.StartUpSentItems = 1;
  settings.StartUpItemMonitoredFolders = 0;
  settings.EmbedMacPath = true;
  settings.EmbedHTTPPath = false;
  settings.HTTPAddress = "http://files.example/ann";
  settings.MacHTTPOnAutoDetachment = true;
  EXPECT_TRUE(settings.SaveSettings());

  const std::vector<std::pair<std::string, std::string>> expected = {
      {"EmailFolders", "\\\\a\\inbox\r\n\\\\b"},
      {"AttachmentExtensions", "exe,zip"},
      {"AttachmentFolderPath", "/home/ann/Pièces jointes"},
      {"AttachmentNamingOption", "2"},
      {"AttachmentDisplayOption", "0"},
      {"AttachmentLocationOption", "1"},
      {"TreatInlineImagesAsAttachments", "-1"},
      {"DeleteItemPrompt", "0"},
      {"DeleteItemsPrompt", "-1"},
      {"AttachmentFolderOption", "0"},
      {"SentItemsOption", "1"},
      {"StartUpSentItems", "1"},
      {"StartUpItemMonitoredFolders", "0"},
      {"EmbedMacPath", "-1"},
      {"EmbedHTTPPath", "0"},
      {"HTTPAddress", "http://files.example/ann"},
      {"MacHTTPOnAutoDetachment", "-1"},
  };
  std::vector<std::string> names;
  for (const auto& [name, text] : expected) {
    names.push_back(name);
    EXPECT_EQ(Stored(name), text) << name;
  }
  EXPECT_EQ(registry.ValueNames(platform::Hive::CurrentUser, kKeyPath), names);
}

TEST_F(SettingsStoreTest, AFailedWriteOrCommitIsReportedByTheResultAndAnUnlockableStoreUsed) {
  registry.FailOn(Op::SetValue, syserr::kAccessDenied, "HTTPAddress");
  cSettings settings;
  settings.HTTPAddress = "http://x";
  settings.MacHTTPOnAutoDetachment = true;
  EXPECT_FALSE(settings.SaveSettings());
  EXPECT_FALSE(Stored("HTTPAddress"));
  EXPECT_EQ(Stored("MacHTTPOnAutoDetachment"), "-1") << "the values after it are still written";
  EXPECT_FALSE(modErroHandling::ReportShown());
  registry.ClearFaults();
  EXPECT_TRUE(settings.SaveSettings());
  EXPECT_EQ(Stored("HTTPAddress"), "http://x");

  // A store that cannot be locked is still used; a failed commit is a failure.
  registry.FailOn(Op::Exclusive, syserr::kBusy);
  settings.HTTPAddress = "http://unlocked";
  EXPECT_TRUE(settings.SaveSettings());
  EXPECT_EQ(Stored("HTTPAddress"), "http://unlocked");
  EXPECT_EQ(settings.GetIncrementalNumber(), 1);
  EXPECT_EQ(settings.GetIncrementalNumber(), 2);
  registry.ClearFaults();

  // Each write answered success, but the save as a whole never reached the store.
  registry.FailOn(Op::ExclusiveCommit, 112);
  EXPECT_FALSE(settings.SaveSettings());
  EXPECT_FALSE(modErroHandling::ReportShown());
}

TEST_F(SettingsStoreTest, IncrementalNumberCountsFromWhatIsStored) {
  cSettings settings;
  EXPECT_EQ(settings.GetIncrementalNumber(), 1);
  EXPECT_EQ(Stored("IncrementalNumber"), "1");
  Store("IncrementalNumber", "41");
  EXPECT_EQ(settings.GetIncrementalNumber(), 42);
  EXPECT_EQ(Stored("IncrementalNumber"), "42");
  EXPECT_EQ(settings.GetIncrementalNumber(), 43);
  Store("IncrementalNumber", "junk");
  EXPECT_EQ(settings.GetIncrementalNumber(), 1);
  EXPECT_GT(registry.ExclusiveCalls(), 0) << "the read-add-write must hold the store";
}

TEST_F(SettingsStoreTest, DefaultFolderNeedsDocumentsIsOnlyCreatedWhenAskedAndFailuresReported) {
  shell.SetSpecialFolder(platform::CSIDL_PERSONAL, "");
  EXPECT_EQ(fncGetKZOFilesFolder(true), "");
  cSettings settings;
  settings.ReadSettings();
  EXPECT_EQ(Stored("AttachmentFolderPath"), "");
  EXPECT_EQ(Stored("AttachmentNamingOption"), "3");
  EXPECT_FALSE(std::filesystem::exists("/My Attachments"));

  // With one, the default folder is only created when asked, and failures are reported.
  shell.SetSpecialFolder(platform::CSIDL_PERSONAL, Documents());
  const std::string folder = Documents() + "/My Attachments";
  EXPECT_EQ(fncGetKZOFilesFolder(false), folder);
  EXPECT_FALSE(std::filesystem::exists(folder));
  EXPECT_EQ(fncGetKZOFilesFolder(true), folder);
  EXPECT_TRUE(std::filesystem::is_directory(folder));
  EXPECT_EQ(fncGetKZOFilesFolder(true), folder) << "an existing folder is fine";
  EXPECT_FALSE(modErroHandling::ReportShown());

  // A file where the Documents folder should be: the folder cannot be made.
  std::filesystem::remove_all(Documents());
  { std::ofstream(Documents()) << "not a folder"; }
  EXPECT_EQ(fncGetKZOFilesFolder(true), "");
  EXPECT_TRUE(modErroHandling::ReportShown());
}

}  // namespace
}  // namespace stow::settings_test
