// What the memory store offers beyond the shared contract: its events, its builders
// and the failures it can be told to produce.

#include "platform/memory/memory_store.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "common/checks.h"
#include "platform/com_error.h"
#include "platform/hostapp/hooks.h"

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

TEST_F(MemoryStoreTest, SaveFaultsHonourKeyTimesAndCountOnlySuccesses) {
  auto a = store->AddMail(Inbox(), Mail("a"));
  auto b = store->AddMail(Inbox(), Mail("b"));
  store->faults().FailSave(a->EntryID(), errnum::kAccessDenied, 2);
  EXPECT_EQ(ErrorNumberOf([&] { a->Save(); }), errnum::kAccessDenied);
  EXPECT_EQ(ErrorNumberOf([&] { b->Save(); }), 0);
  EXPECT_EQ(ErrorNumberOf([&] { a->Save(); }), errnum::kAccessDenied);
  EXPECT_EQ(ErrorNumberOf([&] { a->Save(); }), 0);
  EXPECT_EQ(store->faults().SaveCount(a->EntryID()), 1);
  EXPECT_EQ(store->faults().SaveCount(b->EntryID()), 1);
  EXPECT_EQ(store->faults().SaveCount(), 2);
  EXPECT_EQ(store->faults().InjectedFailures(), 2);

  store->faults().FailSave("", errnum::kFail, -1);
  EXPECT_NE(ErrorNumberOf([&] { b->Save(); }), 0);
  EXPECT_NE(ErrorNumberOf([&] { store->CreateMailItem()->Save(); }), 0);
  EXPECT_EQ(Drafts()->Items()->Count(), 0);
  store->faults().Clear();
  EXPECT_EQ(ErrorNumberOf([&] { b->Save(); }), 0);
}

TEST_F(MemoryStoreTest, AttachmentAndItemCallFaults) {
  auto item = store->AddMail(Inbox(),
                             Mail("m", {{"a.pdf", "AAA", "", false}, {"b.pdf", "BBB", "", false}}));
  auto all = item->Attachments()->All();
  store->faults().FailAttachmentSave("b.pdf");
  auto path = (dir_ / "out.pdf").string();
  EXPECT_EQ(ErrorNumberOf([&] { all[0]->SaveAsFile(path); }), 0);
  EXPECT_EQ(ErrorNumberOf([&] { all[1]->SaveAsFile(path); }), errnum::kPermissionDenied);
  std::ifstream in(path, std::ios::binary);
  std::string content((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(content, "AAA");  // the failed save did not touch the file
  EXPECT_EQ(store->faults().Count(Op::kAttachmentSaveAsFile, "a.pdf"), 1);

  store->faults().FailAttachmentDelete("a.pdf");
  EXPECT_NE(ErrorNumberOf([&] { all[0]->Delete(); }), 0);
  EXPECT_EQ(item->Attachments()->Count(), 2);

  store->faults().Fail(Op::kSetHTMLBody, item->EntryID(), errnum::kFail);
  EXPECT_EQ(ErrorNumberOf([&] { item->SetHTMLBody("<p>new</p>"); }), errnum::kFail);
  EXPECT_EQ(item->HTMLBody(), "<p>m</p>");

  store->faults().FailDelete(item->EntryID(), errnum::kAccessDenied);
  EXPECT_EQ(ErrorNumberOf([&] { item->Delete(); }), errnum::kAccessDenied);
  EXPECT_EQ(Inbox()->Items()->Count(), 1);

  std::ofstream(dir_ / "c.txt") << "c";
  store->faults().FailAttachmentAdd("c.txt");
  EXPECT_NE(ErrorNumberOf([&] { item->Attachments()->Add((dir_ / "c.txt").string(), ""); }), 0);
  EXPECT_EQ(item->Attachments()->Count(), 2);
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

TEST_F(MemoryStoreTest, GoneAndDefaultFolderFaults) {
  auto item = store->AddMail(Inbox(), Mail("m"));
  auto other = store->FindByEntryId(item->EntryID());
  EXPECT_TRUE(store->faults().MakeGone(item->EntryID()));
  EXPECT_EQ(ErrorNumberOf([&] { item->Subject(); }), errnum::kObjectGone);
  EXPECT_EQ(ErrorNumberOf([&] { other->Save(); }), errnum::kObjectGone);
  EXPECT_EQ(Inbox()->Items()->Count(), 0);
  EXPECT_FALSE(store->faults().MakeGone("no such id"));

  store->faults().FailGetDefaultFolder(om::olFolderSentMail, errnum::kAccessDenied);
  EXPECT_EQ(ErrorNumberOf([&] { store->GetDefaultFolder(om::olFolderSentMail); }),
            errnum::kAccessDenied);
  EXPECT_EQ(store->GetDefaultFolder(om::olFolderInbox)->Name(), "Inbox");
  store->faults().FailGetDefaultFolder(om::olFolderSentMail, 0);
  EXPECT_EQ(store->GetDefaultFolder(om::olFolderSentMail)->Name(), "Sent Items");
  EXPECT_NE(ErrorNumberOf([&] { store->GetDefaultFolder(om::olFolderOutbox); }), 0);
}

TEST_F(MemoryStoreTest, ReplyAndForwardCarryTheConversation) {
  MailSpec mailSpec = Mail("Budget", {{"plan.xls", "XLS", "", false}});
  mailSpec.conversationIndex = "01D0AABBCC";
  mailSpec.conversationTopic = "Budget";
  auto original = store->AddMail(Inbox(), mailSpec);
  auto reply = original->Reply();
  auto forward = original->Forward();
  EXPECT_EQ(reply->Subject(), "RE: Budget");
  EXPECT_EQ(forward->Subject(), "FW: Budget");
  EXPECT_EQ(reply->EntryID(), "");
  EXPECT_EQ(reply->ConversationTopic(), "Budget");
  EXPECT_EQ(reply->ConversationIndex().size(), mailSpec.conversationIndex.size() + 10);
  EXPECT_EQ(reply->ConversationIndex().rfind(mailSpec.conversationIndex, 0), 0u);
  EXPECT_EQ(reply->Attachments()->Count(), 0);
  ASSERT_EQ(forward->Attachments()->Count(), 1);
  EXPECT_EQ(forward->Attachments()->Item(1)->FileName(), "plan.xls");

  // A mail without conversation data gets a fresh index and its subject as topic.
  auto bare = store->AddMail(Inbox(), Mail("Lonely"));
  auto r = bare->Reply();
  EXPECT_FALSE(r->ConversationIndex().empty());
  EXPECT_EQ(r->ConversationTopic(), "Lonely");
  EXPECT_NE(r->ConversationIndex(), bare->Reply()->ConversationIndex());
}

TEST_F(MemoryStoreTest, DisplayAndPickFolderGoThroughTheHostHooks) {
  std::vector<std::string> shown;
  hostapp::SetDisplayHandler(
      [&](const std::shared_ptr<om::Item>& i) { shown.push_back(i->Subject()); });
  hostapp::SetPickFolderHandler([&] { return Drafts(); });
  auto item = store->AddMail(Inbox(), Mail("show me"));
  item->Display();
  EXPECT_EQ(shown, std::vector<std::string>{"show me"});
  EXPECT_EQ(store->PickFolder()->Name(), "Drafts");
  hostapp::SetDisplayHandler(nullptr);
  hostapp::SetPickFolderHandler(nullptr);
  EXPECT_EQ(store->PickFolder(), nullptr);
}

TEST_F(MemoryStoreTest, FoldersMailboxesAndPaths) {
  MemoryStore named("Archive 2010");
  EXPECT_EQ(named.GetDefaultFolder(om::olFolderInbox)->FolderPath(), "\\\\Archive 2010\\Inbox");
  auto projects = store->AddFolder(Inbox(), "Projects");
  auto deep = store->AddFolder(projects, "Ünïcode", om::olPostItem);
  EXPECT_EQ(deep->FolderPath(), "\\\\Personal Folders\\Inbox\\Projects\\Ünïcode");
  EXPECT_EQ(deep->DefaultItemType(), om::olPostItem);
  EXPECT_EQ(projects->Folders()->Item("üNÏCODE")->FolderPath(), deep->FolderPath());
  EXPECT_EQ(ErrorNumberOf([&] { store->AddFolder(Inbox(), "projects"); }),
            errnum::kKeyAlreadyInCollection);
  EXPECT_EQ(store->FolderByPath("\\\\personal folders\\inbox\\projects")->Name(), "Projects");
  EXPECT_EQ(store->FolderByPath("\\\\Personal Folders\\Nowhere"), nullptr);
  EXPECT_NE(ErrorNumberOf([&] { named.AddMail(Inbox(), Mail("wrong store")); }), 0);

  auto boss = store->AddMailbox("Jane Boss");
  EXPECT_EQ(boss->FolderPath(), "\\\\Mailbox - Jane Boss\\Inbox");
  EXPECT_EQ(store->Folders()->Count(), 2);
  auto who = store->CreateRecipient("jane boss");
  EXPECT_TRUE(who->Resolve());
  EXPECT_EQ(store->GetSharedDefaultFolder(who, om::olFolderInbox)->FolderPath(),
            boss->FolderPath());
  auto nobody = store->CreateRecipient("Nobody");
  EXPECT_FALSE(nobody->Resolve());
  EXPECT_NE(ErrorNumberOf([&] { store->GetSharedDefaultFolder(nobody, om::olFolderInbox); }), 0);
  EXPECT_NE(ErrorNumberOf([&] { store->GetSharedDefaultFolder(who, om::olFolderSentMail); }), 0);
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
