// What the memory store offers beyond the shared contract: its events and its
// builders. Its failure switches are exercised by the suites that rely on them.

#include "platform/memory/memory_store.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "common/checks.h"
#include "platform/com_error.h"

namespace stow::mem {
namespace {

using stow::testing::ErrorNumberOf;

class MemoryStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto dir = std::filesystem::temp_directory_path() /
               ("stow-memstore-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir);
    dir_ = dir;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::shared_ptr<om::Folder> Inbox() { return store->GetDefaultFolder(om::olFolderInbox); }
  std::shared_ptr<om::Folder> Drafts() { return store->GetDefaultFolder(om::olFolderDrafts); }
  std::shared_ptr<om::Folder> Bin() { return store->GetDefaultFolder(om::olFolderDeletedItems); }
  MailSpec Mail(const std::string& subject, std::vector<AttachmentSpec> atts = {}) {
    MailSpec m;
    m.subject = subject;
    m.htmlBody = "<p>" + subject + "</p>";
    m.attachments = std::move(atts);
    return m;
  }

  std::shared_ptr<MemoryStore> store = std::make_shared<MemoryStore>();
  std::filesystem::path dir_;
};

TEST_F(MemoryStoreTest, ItemAddIsRaisedForDeliveryDraftsAndDeletedItemsButNotForAddMail) {
  std::vector<std::string> inboxAdds, draftAdds, binAdds;
  auto c1 = Inbox()->Items()->ItemAdd().Connect(
      [&](std::shared_ptr<om::Item> i) { inboxAdds.push_back(i->Subject()); });
  auto c2 = Drafts()->Items()->ItemAdd().Connect(
      [&](std::shared_ptr<om::Item> i) { draftAdds.push_back(i->EntryID()); });
  auto c3 = Bin()->Items()->ItemAdd().Connect(
      [&](std::shared_ptr<om::Item> i) { binAdds.push_back(i->Subject()); });

  store->AddMail(Inbox(), Mail("quiet"));
  auto delivered = store->Deliver(Inbox(), Mail("loud"));
  EXPECT_EQ(inboxAdds, std::vector<std::string>{"loud"});

  auto draft = store->CreateMailItem();
  EXPECT_EQ(draft->EntryID(), "");
  EXPECT_EQ(draft->MessageClass(), "IPM.Note");
  EXPECT_EQ(draft->Parent(), nullptr);
  draft->SetSubject("draft");
  draft->Save();
  ASSERT_EQ(draftAdds.size(), 1u);
  EXPECT_FALSE(draft->EntryID().empty());
  EXPECT_EQ(draftAdds[0], draft->EntryID());
  EXPECT_EQ(draft->Parent()->Name(), "Drafts");
  draft->Save();  // a second save is no new item
  EXPECT_EQ(draftAdds.size(), 1u);

  delivered->Delete();
  EXPECT_EQ(binAdds, std::vector<std::string>{"loud"});
  // Removing from Deleted Items adds nothing anywhere.
  Bin()->Items()->Item(1)->Delete();
  EXPECT_EQ(binAdds.size(), 1u);
  EXPECT_EQ(store->ItemCount(), 2);  // "quiet" and the draft
}

TEST_F(MemoryStoreTest, EntryIdIsStableAcrossSaveAndDelete) {
  auto item = store->AddMail(Inbox(), Mail("m"));
  std::string id = item->EntryID();
  item->SetBillingInformation("x");
  item->Save();
  EXPECT_EQ(item->EntryID(), id);
  item->Delete();
  auto moved = store->FindByEntryId(id);
  ASSERT_NE(moved, nullptr);
  EXPECT_EQ(moved->Parent()->Name(), "Deleted Items");
  EXPECT_EQ(moved->BillingInformation(), "x");
}

TEST_F(MemoryStoreTest, SaveAsFileOverADirectoryRaisesPermissionDeniedAndLeavesNoTemporary) {
  auto item = store->AddMail(Inbox(), Mail("m", {{"a.pdf", "AAA", "", false}}));
  auto target = dir_ / "taken";
  std::filesystem::create_directories(target / "inside");
  EXPECT_EQ(ErrorNumberOf([&] { item->Attachments()->Item(1)->SaveAsFile(target.string()); }),
            errnum::kPermissionDenied);
  EXPECT_TRUE(std::filesystem::is_directory(target / "inside"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_),
                          std::filesystem::directory_iterator()),
            1);
}

TEST_F(MemoryStoreTest, SaveAsFileIntoAnUnwritableFolderRaisesPermissionDenied) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes anywhere";
  auto item = store->AddMail(Inbox(), Mail("m", {{"a.pdf", "AAA", "", false}}));
  auto locked = dir_ / "locked";
  std::filesystem::create_directories(locked);
  std::filesystem::permissions(
      locked, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  EXPECT_EQ(
      ErrorNumberOf([&] { item->Attachments()->Item(1)->SaveAsFile((locked / "a.pdf").string()); }),
      errnum::kPermissionDenied);
  std::filesystem::permissions(locked, std::filesystem::perms::owner_all);
}

TEST_F(MemoryStoreTest, UserPropertiesKeepTheirTypes) {
  auto item = store->AddMail(Inbox(), Mail("m"));
  auto props = item->UserProperties();
  auto yes = props->Add("Flag", om::olYesNo, false);
  EXPECT_EQ(yes->GetValue(), Value(false));
  yes->SetValue(std::string("True"));
  EXPECT_EQ(yes->GetValue(), Value(true));
  auto num = props->Add("Count", om::olNumber, false);
  num->SetValue(std::int32_t{7});
  EXPECT_EQ(num->GetValue(), Value(7.0));
  EXPECT_EQ(ErrorNumberOf([&] { num->SetValue(std::string("seven")); }), errnum::kTypeMismatch);
  EXPECT_NE(ErrorNumberOf([&] { props->Add("flag", om::olText, false); }), 0);
  EXPECT_EQ(props->Count(), 2);
  item->Save();
  EXPECT_EQ(store->FindByEntryId(item->EntryID())->UserProperties()->Find("FLAG")->Type(),
            om::olYesNo);
}

TEST_F(MemoryStoreTest, ObjectsOverAPendingDeletedAttachmentAreGone) {
  auto item = store->AddMail(Inbox(), Mail("m", {{"a.pdf", "AAA", "", false}}));
  auto a = item->Attachments()->Item(1);
  a->Delete();
  EXPECT_EQ(ErrorNumberOf([&] { a->FileName(); }), errnum::kObjectGone);
  EXPECT_EQ(ErrorNumberOf([&] { item->Attachments()->Item(1); }), errnum::kSubscriptOutOfRange);
}

}  // namespace
}  // namespace stow::mem
