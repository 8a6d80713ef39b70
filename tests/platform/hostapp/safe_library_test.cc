#include "platform/hostapp/safe_library.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/checks.h"
#include "platform/com_error.h"
#include "platform/file_system.h"
#include "platform/memory/memory_store.h"
#include "platform/shell.h"

// Tests describe mails with designated initializers and leave the other fields at
// their defaults on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace stow::hostapp {
namespace {

using stow::testing::ErrorNumberOf;

// A host item with two attachments.
std::shared_ptr<om::Item> MailItem(mem::MemoryStore& store) {
  return store.AddMail(
      store.GetDefaultFolder(om::olFolderInbox),
      {.htmlBody = "<p>hi</p>", .body = "hi", .attachments = {{"a", "a"}, {"b", "b"}}});
}

TEST(SafeItem, NothingWorksBeforeTheAccessCodeAndWithItEverythingGoesToTheItem) {
  mem::MemoryStore store;
  auto item = MailItem(store);
  SafeItemImpl safe;
  const std::int32_t denied = kSafeLibraryNotAuthorised;
  EXPECT_EQ(ErrorNumberOf([&] { safe.SetItem(item); }), denied);
  EXPECT_EQ(ErrorNumberOf([&] { safe.Item(); }), denied);
  EXPECT_EQ(ErrorNumberOf([&] { safe.HTMLBody(); }), denied);
  EXPECT_EQ(ErrorNumberOf([&] { safe.Body(); }), denied);
  EXPECT_EQ(ErrorNumberOf([&] { safe.Attachments(); }), denied);

  safe.SetAuthKey("QHXPLZMKRWTVBNQJ");  // one letter short
  EXPECT_EQ(ErrorNumberOf([&] { safe.SetItem(item); }), denied);
  safe.SetAuthKey(std::string(platform::kSafeLibraryAuthKey) + " ");
  EXPECT_EQ(ErrorNumberOf([&] { safe.SetItem(item); }), denied);

  // With the access code it forwards to the item.
  safe.SetAuthKey(platform::kSafeLibraryAuthKey);
  EXPECT_EQ(ErrorNumberOf([&] { safe.HTMLBody(); }), errnum::kObjectRequired);  // no item yet
  EXPECT_EQ(safe.Item(), nullptr);
  safe.SetItem(item);
  safe.SetAuthKey(platform::kSafeLibraryAuthKey);
  EXPECT_EQ(safe.Item(), item);
  EXPECT_EQ(safe.HTMLBody(), "<p>hi</p>");
  item->SetHTMLBody("<b>changed</b>");
  item->SetBody("changed");
  EXPECT_EQ(safe.HTMLBody(), "<b>changed</b>");
  EXPECT_EQ(safe.Body(), "changed");
  EXPECT_EQ(safe.Attachments()->Count(), 2);

  // A wrong code later takes the authority away again.
  safe.SetAuthKey("wrong");
  EXPECT_THROW(safe.Body(), ComError);
}

TEST(SafeUtils, AddressBookAndCleanupNeedTheCodeAndUseTheHandler) {
  SafeUtilsImpl utils;
  platform::AddressBookOptions pick;
  pick.title = "Pick";
  EXPECT_EQ(ErrorNumberOf([&] { utils.AddressBook(pick); }), kSafeLibraryNotAuthorised);
  EXPECT_EQ(ErrorNumberOf([&] { utils.Cleanup(); }), kSafeLibraryNotAuthorised);
  utils.SetAuthKey(platform::kSafeLibraryAuthKey);

  SetAddressBookHandler(nullptr);
  EXPECT_TRUE(utils.AddressBook(pick).empty());  // no picker: cancelled

  std::vector<std::string> titles;
  SetAddressBookHandler([&](const platform::AddressBookOptions& options) {
    titles.push_back(options.title);
    return std::vector<platform::AddressEntry>{{"SMTP", "a@example.org", "A"}};
  });
  pick.title = "Select mailbox";
  auto chosen = utils.AddressBook(pick);
  ASSERT_EQ(chosen.size(), 1u);
  EXPECT_EQ(chosen[0].SMTPAddress, "a@example.org");
  EXPECT_EQ(titles, std::vector<std::string>{"Select mailbox"});

  // An object's own handler comes first.
  utils.SetAddressBookHandler([](const platform::AddressBookOptions&) {
    return std::vector<platform::AddressEntry>{{"EX", "b@example.org", "B"}, {"SMTP", "c@x", "C"}};
  });
  EXPECT_EQ(utils.AddressBook(pick).size(), 2u);
  EXPECT_EQ(titles.size(), 1u);
  SetAddressBookHandler(nullptr);

  utils.Cleanup();
  utils.Cleanup();
  EXPECT_EQ(utils.CleanupCount(), 2);
}

TEST(ScriptingRuntime, RegistersTheFileSystemAndShellObjectsOnly) {
  platform::ObjectFactory factory;
  int made = 0;
  RegisterScriptingRuntime(factory, [&]() -> ComPtr {
    ++made;
    return nullptr;  // a runtime that cannot be created
  });
  EXPECT_THROW(factory.Create("Scripting.FileSystemObject"), ComError);
  EXPECT_EQ(made, 1);
  EXPECT_FALSE(factory.IsRegistered("Scripting.Dictionary"));

  platform::ObjectFactory real;
  RegisterScriptingRuntime(real, nullptr);
  auto fs = ComCast<platform::FileSystemObject>(real.Create("Scripting.FileSystemObject"));
  ASSERT_NE(fs, nullptr);
  EXPECT_TRUE(fs->FolderExists("/"));
  auto sh = ComCast<platform::WshShell>(real.Create("Wscript.Shell"));
  ASSERT_NE(sh, nullptr);
  EXPECT_EQ(sh->Run("false", 1, true), 1);
}

}  // namespace
}  // namespace stow::hostapp
