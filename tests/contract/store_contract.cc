#include "contract/store_contract.h"

#include <cstdint>
#include <map>
#include <set>

#include "common/checks.h"
#include "common/hash.h"
#include "common/mime_message.h"
#include "platform/com_error.h"

namespace stow::contract {

namespace fs = std::filesystem;
using namespace stow::testing;

std::shared_ptr<om::Item> StoreUnderTest::Reopen(const std::shared_ptr<om::Item>& item) {
  std::string id = item->EntryID();
  auto walk = item->Parent()->Items()->Enumerate();
  while (auto next = walk->Next()) {
    if (next->EntryID() == id) return next;
  }
  return nullptr;
}

namespace {

std::string TextPart(const std::string& subtype, const std::string& text) {
  return "Content-Type: text/" + subtype +
         "; charset=utf-8\nContent-Transfer-Encoding: base64\n\n" +
         stow::testing::Base64(text, "\n");
}

}  // namespace

std::string MimeMessageOf(const MailSpec& mailSpec, int serial) {
  std::string body;
  if (!mailSpec.htmlBody.empty() && !mailSpec.textBody.empty()) {
    body = "Content-Type: multipart/alternative; boundary=\"alt-" + std::to_string(serial) +
           "\"\n\n--alt-" + std::to_string(serial) + "\n" + TextPart("plain", mailSpec.textBody) +
           "--alt-" + std::to_string(serial) + "\n" + TextPart("html", mailSpec.htmlBody) +
           "--alt-" + std::to_string(serial) + "--\n";
  } else if (!mailSpec.htmlBody.empty()) {
    body = TextPart("html", mailSpec.htmlBody);
  } else {
    body = TextPart("plain", mailSpec.textBody);
  }
  if (!mailSpec.attachments.empty()) {
    std::string b = "mix-" + std::to_string(serial);
    std::string mixed =
        "Content-Type: multipart/mixed; boundary=\"" + b + "\"\n\n--" + b + "\n" + body;
    for (const auto& a : mailSpec.attachments) {
      std::string type = a.fileName.ends_with(".txt") ? "text/plain" : "application/octet-stream";
      mixed += "--" + b + "\nContent-Type: " + type +
               "\nContent-Disposition: " + (a.contentId.empty() ? "attachment" : "inline") +
               "; filename*=" + stow::testing::Rfc2231(a.fileName) +
               "\nContent-Transfer-Encoding: base64\n";
      if (!a.contentId.empty()) mixed += "Content-ID: <" + a.contentId + ">\n";
      mixed += "\n" + stow::testing::Base64(a.bytes, "\n");
    }
    body = mixed + "--" + b + "--\n";
  }
  return "Message-ID: <contract-" + std::to_string(serial) +
         "@example.org>\nDate: Tue, 02 Jan 2024 10:00:00 +0000\nFrom: Ann <ann@example.org>\n"
         "To: Bob <bob@example.org>\nSubject: =?utf-8?b?" +
         stow::testing::Base64(mailSpec.subject, "") + "?=\nMIME-Version: 1.0\n" + body;
}

std::shared_ptr<om::Item> HideAsSpecified(std::shared_ptr<om::Item> item,
                                          const MailSpec& mailSpec) {
  bool anyHidden = false;
  auto all = item->Attachments()->All();
  for (std::size_t i = 0; i < mailSpec.attachments.size() && i < all.size(); ++i) {
    if (mailSpec.attachments[i].hidden) {
      all[i]->SetField(om::PR_ATTACHMENT_HIDDEN, true);
      anyHidden = true;
    }
  }
  if (anyHidden) item->Save();
  return item;
}

void StoreContractTest::SetUp() {
  if (GetParam().missing)
    if (std::string why = GetParam().missing(); !why.empty()) GTEST_SKIP() << why;
  tmp_ = std::make_unique<stow::testing::TempDir>("contract");
  files_ = tmp_->root() / "files";
  fs::create_directories(files_);
  fs::create_directories(tmp_->root() / "store");
  store_ = GetParam().make(tmp_->root() / "store");
  ASSERT_NE(store_, nullptr);
}

void StoreContractTest::TearDown() {
  store_.reset();
  tmp_.reset();
}

std::shared_ptr<om::Folder> StoreContractTest::Folder(const std::string& name) {
  return store_->Namespace()->Folders()->Item(1)->Folders()->Item(name);
}

std::shared_ptr<om::Item> StoreContractTest::Reopen(const std::shared_ptr<om::Item>& item) {
  auto fresh = store_->Reopen(item);
  EXPECT_NE(fresh, nullptr) << "the stored item could not be found again";
  return fresh;
}

namespace {

bool Hidden(const std::shared_ptr<om::Attachment>& a) {
  Value v = a->Field(om::PR_ATTACHMENT_HIDDEN);
  return !IsEmpty(v) && ToBool(v);
}

std::string ContentId(const std::shared_ptr<om::Attachment>& a) {
  return ToText(a->Field(om::PR_ATTACH_CONTENT_ID));
}

MailSpec ThreeAttachments() {
  MailSpec m;
  m.subject = "Quarterly figures";
  m.htmlBody = "<html><body><p>See attached.</p></body></html>";
  m.textBody = "See attached.";
  m.attachments = {{"report.pdf", SeededBytes(3000, 1), "", false},
                   {"Résumé.docx", SeededBytes(17, 2), "", false},
                   {"notes.txt", "line one\r\nline two\tTAB\n", "", false}};
  return m;
}

}  // namespace

TEST_P(StoreContractTest, DefaultFoldersHaveTheHostsNamesPathsAndTypes) {
  auto ns = store().Namespace();
  auto inbox = ns->GetDefaultFolder(om::olFolderInbox);
  auto top = inbox->Parent();
  ASSERT_NE(top, nullptr);
  EXPECT_EQ(top->Parent(), nullptr);
  EXPECT_EQ(top->FolderPath(), "\\\\" + top->Name());
  EXPECT_EQ(inbox->FolderPath(), "\\\\" + top->Name() + "\\Inbox");
  const std::map<int, std::string> names = {{om::olFolderInbox, "Inbox"},
                                            {om::olFolderSentMail, "Sent Items"},
                                            {om::olFolderDeletedItems, "Deleted Items"},
                                            {om::olFolderDrafts, "Drafts"},
                                            {om::olFolderCalendar, "Calendar"}};
  for (const auto& [type, name] : names) {
    auto f = ns->GetDefaultFolder(type);
    EXPECT_EQ(f->Name(), name);
    EXPECT_EQ(f->DefaultItemType(),
              type == om::olFolderCalendar ? om::olAppointmentItem : om::olMailItem)
        << name;
    EXPECT_EQ(f->Parent()->FolderPath(), top->FolderPath()) << name;
  }
  // Folder names are looked up without regard to case.
  EXPECT_EQ(top->Folders()->Item("sent items")->FolderPath(),
            ns->GetDefaultFolder(om::olFolderSentMail)->FolderPath());
  EXPECT_THROW(top->Folders()->Item("No Such Folder"), ComError);
}

TEST_P(StoreContractTest, AttachmentsComeInMessageOrderWithNamesSizesAndBytes) {
  MailSpec mailSpec = ThreeAttachments();
  auto item = store().AddMail("Inbox", mailSpec);
  EXPECT_EQ(item->MessageClass(), "IPM.Note");
  EXPECT_EQ(item->Subject(), mailSpec.subject);
  EXPECT_FALSE(item->EntryID().empty());
  for (auto& view : {item, Reopen(item)}) {
    auto atts = view->Attachments();
    ASSERT_EQ(atts->Count(), 3);
    auto all = atts->All();
    ASSERT_EQ(all.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
      const auto& want = mailSpec.attachments[i];
      auto a = atts->Item(static_cast<std::int64_t>(i + 1));
      EXPECT_EQ(a->FileName(), want.fileName);
      EXPECT_EQ(all[i]->FileName(), want.fileName);
      EXPECT_EQ(a->Size(), static_cast<std::int64_t>(want.bytes.size())) << want.fileName;
      fs::path out = Files() / ("out" + std::to_string(i));
      a->SaveAsFile(out.string());
      std::string got = ReadAll(out);
      EXPECT_EQ(got.size(), want.bytes.size()) << want.fileName;
      EXPECT_EQ(Sha256(got), Sha256(want.bytes)) << want.fileName;
    }
  }
}

TEST_P(StoreContractTest, SaveAsFileReplacesAFileWholeAndFailsOnAMissingFolder) {
  auto item =
      store().AddMail("Inbox", {"IPM.Note", "s", "<p>x</p>", "", {{"a.bin", "short", "", false}}});
  auto a = item->Attachments()->Item(1);
  fs::path target = Files() / "a.bin";
  WriteAll(target, std::string(100, 'x'));
  a->SaveAsFile(target.string());
  EXPECT_EQ(ReadAll(target), "short");
  // Nothing but the one file is left behind in the folder (no temporary names).
  EXPECT_EQ(std::distance(fs::directory_iterator(Files()), fs::directory_iterator()), 1);

  fs::path missing = Files() / "no-such-dir" / "a.bin";
  EXPECT_EQ(ErrorNumberOf([&] { a->SaveAsFile(missing.string()); }), errnum::kPathNotFound);
  EXPECT_FALSE(fs::exists(missing));
}

TEST_P(StoreContractTest, ContentIdsAndHiddenFlagsAreKeptAndCanBeSet) {
  MailSpec mailSpec;
  mailSpec.subject = "Inline";
  mailSpec.htmlBody = "<html><body><img src=\"cid:img001@example\"></body></html>";
  mailSpec.attachments = {{"image001.png", SeededBytes(64, 3), "img001@example", false},
                          {"plain.pdf", SeededBytes(40, 4), "", false},
                          {"SYS_TOKEN_5555.TXT", " ", "", true}};
  auto item = store().AddMail("Inbox", mailSpec);
  {
    auto all = Reopen(item)->Attachments()->All();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(ContentId(all[0]), "img001@example");
    EXPECT_EQ(ContentId(all[1]), "");
    EXPECT_FALSE(Hidden(all[0]));
    EXPECT_FALSE(Hidden(all[1]));
    EXPECT_TRUE(Hidden(all[2]));
  }
  auto all = item->Attachments()->All();
  all[1]->SetField(om::PR_ATTACH_CONTENT_ID, std::string("new-cid@here"));
  all[1]->SetField(om::PR_ATTACHMENT_HIDDEN, true);
  all[2]->SetField(om::PR_ATTACHMENT_HIDDEN, false);
  item->Save();
  // Where a hidden attachment is kept is the store's own: found by name.
  std::map<std::string, std::shared_ptr<om::Attachment>> back;
  for (auto& a : Reopen(item)->Attachments()->All()) back[a->FileName()] = a;
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(ContentId(back["plain.pdf"]), "new-cid@here");
  EXPECT_TRUE(Hidden(back["plain.pdf"]));
  EXPECT_FALSE(Hidden(back["SYS_TOKEN_5555.TXT"]));
  EXPECT_EQ(ContentId(back["image001.png"]), "img001@example");
}

TEST_P(StoreContractTest, UserPropertyKeepsCrLfAndTabAcrossSave) {
  auto item = store().AddMail("Inbox", {"IPM.Note", "props", "<p>b</p>", "", {}});
  auto props = item->UserProperties();
  EXPECT_EQ(props->Find("QLXProcessedAttachments"), nullptr);
  const std::string value =
      "/home/u/Attachments/report.pdf\treport.pdf\t0\r\n/home/u/a b/img.png\timg.png\t-1";
  auto p = props->Add("QLXProcessedAttachments", om::olText, false);
  ASSERT_NE(p, nullptr);
  p->SetValue(value);
  item->Save();
  auto found = Reopen(item)->UserProperties()->Find("qlxprocessedattachments");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->Name(), "QLXProcessedAttachments");
  EXPECT_EQ(ToText(found->GetValue()), value);

  // An emptied property stays present with an empty value.
  auto again = Reopen(item);
  auto q = again->UserProperties()->Find("QLXProcessedAttachments");
  q->SetValue(std::string());
  again->Save();
  auto last = Reopen(again)->UserProperties()->Find("QLXProcessedAttachments");
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(ToText(last->GetValue()), "");
}

TEST_P(StoreContractTest, ItemInConflictRaisesOnFind) {
  auto item = store().AddMail("Inbox", {"IPM.Note", "conflict", "<p>b</p>", "", {}});
  if (!store().MakeConflict(item)) GTEST_SKIP() << "the store cannot express a conflict";
  EXPECT_EQ(ErrorNumberOf([&] { Reopen(item)->UserProperties()->Find("Anything"); }),
            errnum::kItemInConflict);
}

TEST_P(StoreContractTest, EditsStayPendingUntilSave) {
  MailSpec mailSpec = ThreeAttachments();
  auto item = store().AddMail("Inbox", mailSpec);
  item->SetSubject("After");
  item->SetHTMLBody("<p>new</p>");
  item->SetBillingInformation("KZO_PROCESSED_ITEM");
  for (auto& a : item->Attachments()->All())
    if (a->FileName() != "notes.txt") a->Delete();
  EXPECT_EQ(item->Attachments()->Count(), 1);
  auto other = Reopen(item);
  EXPECT_EQ(other->Subject(), mailSpec.subject);
  EXPECT_EQ(other->HTMLBody(), mailSpec.htmlBody);
  EXPECT_EQ(other->BillingInformation(), "");
  EXPECT_EQ(other->Attachments()->Count(), 3);
  EXPECT_EQ(item->Subject(), "After");  // the editing object sees its own edits
  item->Save();
  auto fresh = Reopen(item);
  EXPECT_EQ(fresh->Subject(), "After");
  EXPECT_EQ(fresh->HTMLBody(), "<p>new</p>");
  EXPECT_EQ(fresh->BillingInformation(), "KZO_PROCESSED_ITEM");
  auto left = fresh->Attachments()->All();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0]->FileName(), "notes.txt");
  fresh->SetBillingInformation("");
  fresh->Save();
  EXPECT_EQ(Reopen(fresh)->BillingInformation(), "");
}

TEST_P(StoreContractTest, FailedSaveLeavesTheStoredItemExactlyAsBefore) {
  MailSpec mailSpec = ThreeAttachments();
  auto item = store().AddMail("Inbox", mailSpec);
  item->SetHTMLBody("<p>links instead</p>");
  item->SetBillingInformation("KZO_PROCESSED_ITEM");
  item->UserProperties()
      ->Add("QLXProcessedAttachments", om::olText, false)
      ->SetValue(std::string("x\ty\t0"));
  item->Attachments()->Item(2)->Delete();
  if (!store().MakeNextSaveFail(item)) GTEST_SKIP() << "the store cannot fail a save";
  EXPECT_NE(ErrorNumberOf([&] { item->Save(); }), 0);

  auto stored = Reopen(item);
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->HTMLBody(), mailSpec.htmlBody);
  EXPECT_EQ(stored->BillingInformation(), "");
  EXPECT_EQ(stored->UserProperties()->Find("QLXProcessedAttachments"), nullptr);
  auto all = stored->Attachments()->All();
  ASSERT_EQ(all.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i)
    EXPECT_EQ(all[i]->FileName(), mailSpec.attachments[i].fileName);

  // The edits are still pending in the object: the next save writes them.
  item->Save();
  auto saved = Reopen(item);
  EXPECT_EQ(saved->HTMLBody(), "<p>links instead</p>");
  EXPECT_EQ(saved->Attachments()->Count(), 2);
  EXPECT_EQ(saved->BillingInformation(), "KZO_PROCESSED_ITEM");
}

TEST_P(StoreContractTest, DeleteMovesToDeletedItemsAndFromThereRemoves) {
  auto inbox = Folder("Inbox");
  auto deleted = Folder("Deleted Items");
  store().AddMail("Inbox", {"IPM.Note", "keep", "<p>k</p>", "", {}});
  auto item = store().AddMail("Inbox", {"IPM.Note", "bin me", "<p>b</p>", "", {}});
  std::int64_t deletedBefore = deleted->Items()->Count();
  item->Delete();
  EXPECT_EQ(ErrorNumberOf([&] { item->Subject(); }), errnum::kObjectGone);
  EXPECT_EQ(inbox->Items()->Count(), 1);
  EXPECT_EQ(inbox->Items()->Item(1)->Subject(), "keep");
  ASSERT_EQ(deleted->Items()->Count(), deletedBefore + 1);
  std::shared_ptr<om::Item> inBin;
  auto walk = deleted->Items()->Enumerate();
  while (auto next = walk->Next()) {
    if (next->Subject() == "bin me") inBin = next;
  }
  ASSERT_NE(inBin, nullptr);
  EXPECT_EQ(inBin->Parent()->FolderPath(), deleted->FolderPath());
  inBin->Delete();
  EXPECT_EQ(deleted->Items()->Count(), deletedBefore);
  EXPECT_EQ(ErrorNumberOf([&] { inBin->HTMLBody(); }), errnum::kObjectGone);
  // For good: no copy anywhere.
  auto gone = store().AddMail("Inbox", {"IPM.Note", "gone", "<p>g</p>", "", {}});
  gone->DeletePermanently();
  EXPECT_EQ(ErrorNumberOf([&] { gone->Subject(); }), errnum::kObjectGone);
  EXPECT_EQ(inbox->Items()->Count(), 1);
  EXPECT_EQ(deleted->Items()->Count(), deletedBefore);
}

TEST_P(StoreContractTest, EnumerationDuringSavesVisitsEachItemOnce) {
  for (int i = 0; i < 6; ++i) {
    store().AddMail("Inbox", {"IPM.Note",
                              "mail " + std::to_string(i),
                              "<p>" + std::to_string(i) + "</p>",
                              "",
                              {{"a.txt", "bytes", "", false}}});
  }
  auto items = Folder("Inbox")->Items();
  std::multiset<std::string> seen;
  auto walk = items->Enumerate();
  bool deletedAhead = false;
  while (auto item = walk->Next()) {
    std::string subject = item->Subject();
    seen.insert(subject);
    item->SetHTMLBody("<p>rewritten</p>");
    item->Attachments()->Item(1)->Delete();
    item->Save();
    if (!deletedAhead) {
      // Delete one item not visited yet: the walk must skip it.
      for (std::int64_t i = 1; i <= items->Count(); ++i) {
        auto candidate = items->Item(i);
        if (candidate->Subject() != subject && seen.count(candidate->Subject()) == 0) {
          candidate->Delete();
          deletedAhead = true;
          break;
        }
      }
    }
  }
  EXPECT_EQ(seen.size(), 5u);
  EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(), seen.size())
      << "an item was visited twice";
  EXPECT_EQ(items->Count(), 5);
  for (std::int64_t i = 1; i <= items->Count(); ++i) {
    EXPECT_EQ(items->Item(i)->HTMLBody(), "<p>rewritten</p>");
    EXPECT_EQ(items->Item(i)->Attachments()->Count(), 0);
  }
}

TEST_P(StoreContractTest, DetachAndReattachGivesBackTheSameNamesAndBytes) {
  MailSpec mailSpec = ThreeAttachments();
  auto item = store().AddMail("Inbox", mailSpec);
  fs::path saved = Files() / "saved";
  fs::create_directories(saved);
  std::vector<std::pair<std::string, fs::path>> files;
  for (auto& a : item->Attachments()->All()) {
    fs::path path = saved / a->FileName();
    a->SaveAsFile(path.string());
    files.emplace_back(a->FileName(), path);
    a->Delete();
  }
  item->SetHTMLBody("<p>block of links</p>");
  item->Save();
  auto stripped = Reopen(item);
  EXPECT_EQ(stripped->Attachments()->Count(), 0);

  for (auto& [name, path] : files) stripped->Attachments()->Add(path.string(), name);
  stripped->Save();
  auto back = Reopen(stripped)->Attachments()->All();
  ASSERT_EQ(back.size(), mailSpec.attachments.size());
  for (std::size_t i = 0; i < back.size(); ++i) {
    const auto& want = mailSpec.attachments[i];
    EXPECT_EQ(back[i]->FileName(), want.fileName);
    EXPECT_EQ(back[i]->DisplayName(), want.fileName);
    EXPECT_EQ(back[i]->Size(), static_cast<std::int64_t>(want.bytes.size()));
    fs::path check = Files() / ("check" + std::to_string(i));
    back[i]->SaveAsFile(check.string());
    EXPECT_EQ(Sha256(ReadAll(check)), Sha256(want.bytes)) << want.fileName;
  }
}

TEST_P(StoreContractTest, AddTakesTheFileNameFromThePathAndTheDisplayNameAsGiven) {
  auto item = store().AddMail("Inbox", {"IPM.Note", "add", "<p>b</p>", "", {}});
  fs::path path = Files() / "report(1).pdf";
  WriteAll(path, SeededBytes(99, 7));
  auto added = item->Attachments()->Add(path.string(), "report.pdf");
  EXPECT_EQ(added->FileName(), "report(1).pdf");
  EXPECT_EQ(added->DisplayName(), "report.pdf");
  auto plain = item->Attachments()->Add(path.string(), "");
  EXPECT_EQ(plain->DisplayName(), "report(1).pdf");
  plain->SetField(om::PR_ATTACHMENT_HIDDEN, true);  // as the token is added
  item->Save();
  auto back = Reopen(item)->Attachments()->All();
  ASSERT_EQ(back.size(), 2u);
  for (auto& a : back) {
    EXPECT_EQ(a->FileName(), "report(1).pdf");
    EXPECT_EQ(a->Size(), 99);
  }
  EXPECT_NE(Hidden(back[0]), Hidden(back[1]));

  EXPECT_EQ(
      ErrorNumberOf([&] { item->Attachments()->Add((Files() / "missing.bin").string(), ""); }),
      errnum::kFileNotFound);
  EXPECT_EQ(item->Attachments()->Count(), 2);
}

TEST_P(StoreContractTest, PlainTextMailGivenAnHtmlBodyBecomesAnHtmlMail) {
  auto item = store().AddMail("Inbox", {"IPM.Note", "plain", "", "Just text.\r\nTwo lines.", {}});
  EXPECT_EQ(item->HTMLBody(), "");
  EXPECT_NE(item->Body().find("Just text."), std::string::npos);
  const std::string html =
      "Just text.\r\nTwo lines.<table id=\"tableKZOSTART\"><tr><td>links</td></tr></table>";
  item->SetHTMLBody(html);
  item->Save();
  EXPECT_EQ(Reopen(item)->HTMLBody(), html);
}

}  // namespace stow::contract
