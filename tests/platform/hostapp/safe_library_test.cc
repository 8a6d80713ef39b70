#include "platform/hostapp/safe_library.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/checks.h"
#include "platform/com_error.h"
#include "platform/file_system.h"
#include "platform/shell.h"

namespace stow::hostapp {
namespace {

using stow::testing::ErrorNumberOf;

class FakeAttachments : public om::Attachments {
 public:
  std::int64_t Count() override { return 2; }
  std::shared_ptr<om::Attachment> Item(std::int64_t) override { return nullptr; }
  std::vector<std::shared_ptr<om::Attachment>> All() override { return {}; }
  std::shared_ptr<om::Attachment> Add(const std::string&, const std::string&) override {
    return nullptr;
  }
};

// Just enough of a host item to see what the wrapper forwards.
class FakeItem : public om::Item {
 public:
  std::string html = "<p>hi</p>";
  std::string body = "hi";
  std::shared_ptr<om::Attachments> attachments = std::make_shared<FakeAttachments>();

  std::string MessageClass() override { return "IPM.Note"; }
  std::string EntryID() override { return "id1"; }
  std::string Subject() override { return ""; }
  void SetSubject(const std::string&) override {}
  DateTime ReceivedTime() override { return DateTime::None(); }
  std::string ConversationIndex() override { return ""; }
  std::string ConversationTopic() override { return ""; }
  std::shared_ptr<om::Folder> Parent() override { return nullptr; }
  std::string HTMLBody() override { return html; }
  void SetHTMLBody(const std::string& h) override { html = h; }
  std::string Body() override { return body; }
  void SetBody(const std::string& b) override { body = b; }
  std::string To() override { return ""; }
  void SetTo(const std::string&) override {}
  std::string BillingInformation() override { return ""; }
  void SetBillingInformation(const std::string&) override {}
  std::shared_ptr<om::UserProperties> UserProperties() override { return nullptr; }
  std::shared_ptr<om::Attachments> Attachments() override { return attachments; }
  void Save() override {}
  void Delete() override {}
  void DeletePermanently() override {}
  void Display() override {}
  std::shared_ptr<om::Item> Reply() override { return nullptr; }
  std::shared_ptr<om::Item> Forward() override { return nullptr; }
};

TEST(SafeItem, NothingWorksBeforeTheAccessCode) {
  auto item = std::make_shared<FakeItem>();
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
}

TEST(SafeItem, WithTheAccessCodeItForwardsToTheItem) {
  auto item = std::make_shared<FakeItem>();
  SafeItemImpl safe;
  safe.SetAuthKey(platform::kSafeLibraryAuthKey);
  EXPECT_EQ(ErrorNumberOf([&] { safe.HTMLBody(); }), errnum::kObjectRequired);  // no item yet
  EXPECT_EQ(safe.Item(), nullptr);
  safe.SetItem(item);
  safe.SetAuthKey(platform::kSafeLibraryAuthKey);
  EXPECT_EQ(safe.Item(), item);
  EXPECT_EQ(safe.HTMLBody(), "<p>hi</p>");
  item->html = "<b>changed</b>";
  item->body = "changed";
  EXPECT_EQ(safe.HTMLBody(), "<b>changed</b>");
  EXPECT_EQ(safe.Body(), "changed");
  EXPECT_EQ(safe.Attachments(), item->attachments);
  item->attachments = nullptr;
  EXPECT_EQ(safe.Attachments(), nullptr);

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
