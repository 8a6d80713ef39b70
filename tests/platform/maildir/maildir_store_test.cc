// The Maildir store on real-world message shapes and real failures.

#include "platform/maildir/maildir_store.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>

#include <chrono>
#include <set>
#include <thread>

#include "maildir/maildir_fixture.h"

namespace stow::maildir::testing {
namespace {

std::string Leaf(const std::string& headers, const std::string& bytes) {
  return headers + "Content-Transfer-Encoding: base64\n\n" + Base64(bytes, "\n");
}

TEST_F(MaildirTest, MixedRelatedAlternativeShowsOnlyRealAttachmentsWithTheirContentIds) {
  std::string png = SeededBytes(300, 1), pdf = SeededBytes(5000, 2), doc = SeededBytes(77, 3);
  std::string msg =
      kHead +
      "Subject: =?iso-8859-1?q?R=E9sum=E9?=\n"
      "Content-Type: multipart/mixed; boundary=M\n\n--M\n"
      "Content-Type: multipart/related; boundary=R\n\n--R\n"
      "Content-Type: multipart/alternative; boundary=A\n\n--A\n"
      "Content-Type: text/plain; charset=us-ascii\n\nplain body\n--A\n"
      "Content-Type: text/html; charset=us-ascii\n\n<p>html <img src=\"cid:logo@x\"></p>\n--A--\n"
      "--R\n" +
      Leaf("Content-Type: image/png\nContent-ID: <logo@x>\n", png) + "--R--\n--M\n" +
      Leaf(
          "Content-Type: application/pdf; name=\"report.pdf\"\nContent-Disposition: attachment; "
          "filename=\"report.pdf\"\n",
          pdf) +
      "--M\n" +
      Leaf(
          "Content-Type: application/msword\nContent-Disposition: attachment; "
          "filename*=iso-8859-1''%C9t%E9.doc\n",
          doc) +
      "--M--\n";
  auto item = ItemAt(Deliver(msg));
  EXPECT_EQ(item->Subject(), "Résumé");
  EXPECT_EQ(item->MessageClass(), "IPM.Note");
  EXPECT_EQ(item->HTMLBody(), "<p>html <img src=\"cid:logo@x\"></p>");
  EXPECT_EQ(item->Body(), "plain body");
  auto all = item->Attachments()->All();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(ToText(all[0]->Field(om::PR_ATTACH_CONTENT_ID)), "logo@x");
  EXPECT_EQ(all[0]->Size(), 300);
  EXPECT_EQ(all[1]->FileName(), "report.pdf");
  EXPECT_TRUE(IsEmpty(all[1]->Field(om::PR_ATTACH_CONTENT_ID)));
  EXPECT_EQ(all[2]->FileName(), "Été.doc");
  EXPECT_EQ(all[2]->Size(), 77);
}

TEST_F(MaildirTest, NamesFromRfc2047AndNoNameAndForwardedMessages) {
  std::string inner = "Subject: Original\nFrom: c@example.org\n\nInner body\n";
  std::string msg =
      kHead +
      "Subject: shapes\nContent-Type: multipart/mixed; boundary=M\n\n--M\n"
      "Content-Type: text/plain\n\nsee below\n--M\n" +
      Leaf("Content-Type: application/pdf; name=\"=?utf-8?b?w5xiZXJzaWNodC5wZGY=?=\"\n", "pdf!") +
      "--M\n" + Leaf("Content-Type: application/octet-stream\n", "anonymous") +
      "--M\nContent-Type: message/rfc822\n\n" + inner + "--M--\n";
  auto item = ItemAt(Deliver(msg));
  auto all = item->Attachments()->All();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0]->FileName(), "Übersicht.pdf");
  EXPECT_EQ(all[1]->FileName(), "");
  EXPECT_EQ(all[1]->Size(), 9);
  EXPECT_EQ(all[2]->FileName(), "Original.eml");
  fs::path out = dir_ / "fwd.eml";
  all[2]->SaveAsFile(out.string());
  EXPECT_NE(ReadAll(out).find("Inner body"), std::string::npos);
}

TEST_F(MaildirTest, MessageClassFollowsTheMimeStructure) {
  struct Case {
    std::string contentType, body, expected;
  } cases[] = {
      {"multipart/signed; protocol=\"application/pkcs7-signature\"; micalg=sha-256; boundary=S",
       "--S\nContent-Type: text/plain\n\nsigned\n--S\nContent-Type: application/pkcs7-signature; "
       "name=smime.p7s\nContent-Transfer-Encoding: base64\n\nQUJD\n--S--\n",
       "IPM.Note.SMIME.MultipartSigned"},
      {"application/pkcs7-mime; smime-type=enveloped-data; name=smime.p7m", "QUJD\n",
       "IPM.Note.SMIME"},
      {"multipart/encrypted; protocol=\"application/pgp-encrypted\"; boundary=E",
       "--E\nContent-Type: application/pgp-encrypted\n\nVersion: 1\n--E\nContent-Type: "
       "application/octet-stream; name=encrypted.asc\n\n-----BEGIN PGP MESSAGE-----\n--E--\n",
       "IPM.Note.Secure"},
      {"multipart/report; report-type=delivery-status; boundary=D",
       "--D\nContent-Type: text/plain\n\nfailed\n--D\nContent-Type: message/delivery-status\n\n"
       "Reporting-MTA: dns; mx\n\nFinal-Recipient: rfc822; x@y\nAction: failed\n--D--\n",
       "REPORT.IPM.Note.NDR"},
      {"multipart/alternative; boundary=C",
       "--C\nContent-Type: text/plain\n\nmeet\n--C\nContent-Type: text/calendar; method=REQUEST; "
       "charset=utf-8\n\nBEGIN:VCALENDAR\nMETHOD:REQUEST\nEND:VCALENDAR\n--C--\n",
       "IPM.Schedule.Meeting.Request"},
      {"text/plain; charset=us-ascii", "hello\n", "IPM.Note"},
  };
  for (const auto& c : cases) {
    auto item =
        ItemAt(Deliver(kHead + "Subject: c\nContent-Type: " + c.contentType + "\n\n" + c.body));
    EXPECT_EQ(item->MessageClass(), c.expected) << c.contentType;
  }
  auto signedItem = ItemAt(Deliver(kHead + "Subject: c\nContent-Type: " + cases[0].contentType +
                                   "\n\n" + cases[0].body));
  EXPECT_EQ(signedItem->Attachments()->Count(), 0) << "the signature is not an attachment";
  auto post = ItemAt(Deliver("Newsgroups: comp.lang.c\nSubject: p\nFrom: a@b\n\nbody\n"));
  EXPECT_EQ(post->MessageClass(), "IPM.Post");
}

TEST_F(MaildirTest, SignedMailIsNeverChanged) {
  std::string text =
      kHead +
      "Subject: signed\nContent-Type: multipart/signed; protocol=\"application/pgp-signature\"; "
      "micalg=pgp-sha256; boundary=S\n\n--S\nContent-Type: multipart/mixed; boundary=M\n\n"
      "--M\nContent-Type: text/html\n\n<p>x</p>\n--M\nContent-Type: application/pdf; name=a.pdf\n"
      "Content-Transfer-Encoding: base64\n\nQUJD\n--M--\n--S\nContent-Type: "
      "application/pgp-signature; name=signature.asc\n\n-----BEGIN PGP SIGNATURE-----\n--S--\n";
  fs::path file = Deliver(text);
  auto item = ItemAt(file);
  auto all = item->Attachments()->All();
  ASSERT_EQ(all.size(), 1u);
  all[0]->SaveAsFile((dir_ / "a.pdf").string());
  EXPECT_NE(ErrorOf([&] { all[0]->Delete(); }), 0);
  EXPECT_NE(lastError_.find("signed or encrypted"), std::string::npos) << lastError_;
  EXPECT_NE(ErrorOf([&] { item->SetHTMLBody("<p>links</p>"); }), 0);
  EXPECT_NE(ErrorOf([&] { item->Attachments()->Add((dir_ / "a.pdf").string(), "a.pdf"); }), 0);
  // Nor are records of attachments that stayed in it saved.
  item->SetBillingInformation("KZO_PROCESSED_ITEM");
  EXPECT_NE(ErrorOf([&] { item->Save(); }), 0);
  EXPECT_EQ(ReadAll(file), text);
}

TEST_F(MaildirTest, Latin1EightBitBodyReadsAsUtf8AndPlainMailTurnsIntoHtml) {
  std::string msg = kHead +
                    "Subject: latin\nContent-Type: text/plain; charset=iso-8859-1\n"
                    "Content-Transfer-Encoding: 8bit\n\nGr\xFC\xDF"
                    "e aus K\xF6ln\n";
  auto item = ItemAt(Deliver(msg));
  EXPECT_EQ(item->HTMLBody(), "");
  EXPECT_EQ(item->Body(), "Grüße aus Köln\n");
  item->SetHTMLBody("<p>Grüße</p><table id=\"tableKZOSTART\"></table>");
  item->Save();
  auto back = ItemAt(root_ / "cur" / InboxFiles().at(0).substr(4));
  EXPECT_EQ(back->HTMLBody(), "<p>Grüße</p><table id=\"tableKZOSTART\"></table>");
}

TEST_F(MaildirTest, BrokenMessageGivesAClearErrorAndStaysUntouched) {
  std::string truncated =
      kHead +
      "Subject: cut\nContent-Type: multipart/mixed; boundary=M\n\n--M\n"
      "Content-Type: text/plain\n\nx\n--M\nContent-Type: application/pdf; name=a.pdf\n"
      "Content-Transfer-Encoding: base64\n\nQUJD";
  std::string noBoundary = kHead +
                           "Subject: nob\nContent-Type: multipart/mixed\n\n--M\nContent-Type: "
                           "text/plain\n\nx\n--M--\n";
  for (const auto& text : {truncated, noBoundary}) {
    fs::path file = Deliver(text);
    auto item = ItemAt(file);
    EXPECT_EQ(item->MessageClass(), "IPM.Note");  // headers still read
    EXPECT_EQ(ErrorOf([&] { item->Attachments(); }), errnum::kFail);
    EXPECT_NE(lastError_.find("damaged"), std::string::npos) << lastError_;
    item->SetBillingInformation("KZO_PROCESSED_ITEM");
    EXPECT_NE(ErrorOf([&] { item->Save(); }), 0);
    EXPECT_EQ(ReadAll(file), text);
  }
}

TEST_F(MaildirTest, ForgedOrTransplantedPropertiesReadAsAbsent) {
  // A genuine record list written by the store...
  auto item = ItemAt(Deliver(kHead + "Subject: genuine\nContent-Type: text/html\n\n<p>x</p>\n"));
  item->SetBillingInformation("KZO_PROCESSED_ITEM");
  item->UserProperties()
      ->Add("QLXProcessedAttachments", om::olText, false)
      ->SetValue(std::string("/etc/passwd\tpasswd\t0"));
  item->Save();
  std::string saved = ReadAll(root_ / "cur" / InboxFiles().at(0).substr(4));
  auto headerLines = [&](const std::string& name) {
    std::string out;
    for (std::size_t at = saved.find(name); at != std::string::npos;
         at = saved.find(name, at + 1)) {
      std::size_t end = at;
      do end = saved.find('\n', end + 1);
      while (end + 1 < saved.size() && (saved[end + 1] == ' ' || saved[end + 1] == '\t'));
      out += saved.substr(at, end - at + 1);
    }
    return out;
  };
  std::string stolen = headerLines("X-Stowbright-Billing:") + headerLines("X-Stowbright-Property:");
  ASSERT_FALSE(stolen.empty());

  // ...copied into another message (another Message-ID) is not believed,
  std::string transplanted =
      "Message-ID: <other@evil.example>\nSubject: t\nFrom: e@evil.example\n" + stolen +
      "Content-Type: text/plain\n\nhi\n";
  // ...nor is one with a made-up signature, nor one whose value was changed.
  std::string forged =
      "Message-ID: <m1@example.org>\nSubject: f\nFrom: e@evil.example\n"
      "X-Stowbright-Billing: v=1; value=S1pPX1BST0NFU1NFRF9JVEVN; mac=" +
      std::string(64, 'a') + "\n" +
      "X-Stowbright-Property: v=1; name=UUxYUHJvY2Vzc2VkQXR0YWNobWVudHM=; type=1; "
      "value=L2V0Yy9zaGFkb3cJc2hhZG93CTA=; mac=" +
      std::string(64, '0') + "\nContent-Type: text/plain\n\nhi\n";
  for (const auto& text : {transplanted, forged}) {
    auto other = ItemAt(Deliver(text));
    EXPECT_EQ(other->BillingInformation(), "");
    EXPECT_EQ(other->UserProperties()->Find("QLXProcessedAttachments"), nullptr);
    EXPECT_EQ(other->UserProperties()->Count(), 0);
  }
  // The genuine one still reads.
  auto genuine = ItemAt(root_ / "cur" / InboxFiles().at(0).substr(4));
  ASSERT_EQ(InboxFiles().size(), 3u);
  int believed = 0;
  for (auto& f : InboxFiles()) {
    auto i = ItemAt(root_ / f);
    if (i->BillingInformation() == "KZO_PROCESSED_ITEM") {
      ++believed;
      EXPECT_EQ(ToText(i->UserProperties()->Find("QLXProcessedAttachments")->GetValue()),
                "/etc/passwd\tpasswd\t0");
    }
  }
  EXPECT_EQ(believed, 1);
  (void)genuine;
}

TEST_F(MaildirTest, PropertiesKeepTheirValueKinds) {
  auto item = ItemAt(Deliver(kHead + "Subject: kinds\n\nbody\n"));
  auto props = item->UserProperties();
  props->Add("Count", om::olNumber, false)->SetValue(std::string("42.5"));
  props->Add("When", om::olDateTime, false)->SetValue(DateTime{2024, 3, 4, 5, 6, 7});
  props->Add("Done", om::olYesNo, false)->SetValue(true);
  item->Save();
  auto back = ItemAt(root_ / InboxFiles().at(0));
  EXPECT_EQ(back->UserProperties()->Find("count")->GetValue(), Value(42.5));
  EXPECT_EQ(back->UserProperties()->Find("When")->GetValue(), Value(DateTime{2024, 3, 4, 5, 6, 7}));
  EXPECT_EQ(back->UserProperties()->Find("Done")->GetValue(), Value(true));
  EXPECT_EQ(back->UserProperties()->Find("Done")->Type(), om::olYesNo);
}

TEST_F(MaildirTest, LongRecordListsFoldIntoShortHeaderLines) {
  std::string value;
  for (int i = 0; i < 300; ++i)
    value += "/home/u/Attachments/file number " + std::to_string(i) + ".pdf\tx\t0\r\n";
  auto item = ItemAt(Deliver(kHead + "Subject: long\n\nbody\n"));
  item->UserProperties()->Add("QLXProcessedAttachments", om::olText, false)->SetValue(value);
  item->Save();
  std::string saved = ReadAll(root_ / InboxFiles().at(0));
  std::size_t longest = 0;
  for (std::size_t at = 0, next; at < saved.size(); at = next + 1) {
    next = saved.find('\n', at);
    if (next == std::string::npos) next = saved.size();
    longest = std::max(longest, next - at);
  }
  EXPECT_LE(longest, 998u);
  EXPECT_EQ(ToText(ItemAt(root_ / InboxFiles().at(0))
                       ->UserProperties()
                       ->Find("QLXProcessedAttachments")
                       ->GetValue()),
            value);
}

TEST_F(MaildirTest, RewriteIsANewDeliveryWithFlagsKeptAndSuffixesFixed) {
  fs::path file = Deliver(kHead + "Subject: s\nContent-Type: text/html\n\n<p>x</p>\n",
                          ",S=999,W=1020,U=17:2,FS");
  struct stat before {};
  ASSERT_EQ(stat(file.c_str(), &before), 0);
  auto item = ItemAt(file);
  std::string oldId = item->EntryID();
  DateTime received = item->ReceivedTime();
  item->SetHTMLBody("<p>links</p>");
  item->Save();
  auto files = InboxFiles();
  ASSERT_EQ(files.size(), 1u);
  auto name = MaildirFileName::Parse(files[0].substr(4));
  EXPECT_EQ(files[0].substr(0, 4), "cur/");
  EXPECT_NE(name.unique, oldId);
  EXPECT_EQ(item->EntryID(), name.unique);
  EXPECT_EQ(*name.info, "2,FS");
  ASSERT_EQ(name.fields.size(), 1u);
  EXPECT_EQ(name.fields[0], "S=" + std::to_string(fs::file_size(root_ / files[0])));
  EXPECT_EQ(item->ReceivedTime(), received);
  struct stat after {};
  ASSERT_EQ(stat((root_ / files[0]).c_str(), &after), 0);
  EXPECT_EQ(after.st_mtime, before.st_mtime);
  EXPECT_TRUE(fs::is_empty(root_ / "tmp"));
}

TEST_F(MaildirTest, ASaveThatWouldDisplaceAnotherWritersVersionPutsItBackAndFails) {
  fs::path file = Deliver(kHead + "Subject: both\nContent-Type: text/html\n\n<p>x</p>\n");
  std::string theirs = kHead + "Subject: both\nContent-Type: text/html\n\n<p>theirs</p>\n";
  // Another writer exchanges its version in, in the instant between this save's last
  // look at the message and its own exchange (and has not renamed it yet).
  Options o;
  o.beforeExchange = [&] {
    WriteAll(dir_ / "theirs", theirs);
    ASSERT_EQ(
        renameat2(AT_FDCWD, (dir_ / "theirs").c_str(), AT_FDCWD, file.c_str(), RENAME_EXCHANGE), 0);
  };
  auto mineStore = OpenStore(o);
  auto mine = mineStore->MakeItem(mineStore->RefFor({"Inbox"}), "cur", file.filename());
  mine->SetHTMLBody("<p>mine</p>");
  EXPECT_EQ(ErrorOf([&] { mine->Save(); }), errnum::kItemInConflict);
  EXPECT_NE(lastError_.find("changed by another program"), std::string::npos) << lastError_;
  EXPECT_EQ(InboxFiles(), std::vector<std::string>{"cur/" + file.filename().string()});
  EXPECT_EQ(ReadAll(file), theirs);
  EXPECT_TRUE(fs::is_empty(root_ / "tmp"));
}

// A walk takes a snapshot of the folder: a message another process rewrites (a new
// unique name) before the walk reaches it is still visited, once, in its new version;
// one it deletes is not visited; one this walk rewrote itself is not visited again.
// A long walk looks at its files ahead of itself, before those changes.
TEST_F(MaildirTest, AWalkVisitsEachMessageOnceThoughAnotherProcessRewritesItMidWalk) {
  for (std::size_t count : {3, 300}) {
    SCOPED_TRACE(count);
    for (const char* sub : {"cur", "new"}) fs::remove_all(root_ / sub);
    std::vector<fs::path> files;
    for (std::size_t i = 0; i < count; ++i)
      files.push_back(Deliver(kHead + "Subject: m" + std::to_string(i) +
                              "\nContent-Type: text/html\n\n<p>x</p>\n"));
    auto walk = store_->GetDefaultFolder(om::olFolderInbox)->Items()->Enumerate();
    auto first = walk->Next();
    std::vector<std::string> seen{first->Subject()};
    first->SetHTMLBody("<p>mine</p>");
    first->Save();
    auto other = OpenStore();
    auto ref = other->RefFor({"Inbox"});
    std::set<std::string> theirs, gone;
    for (std::size_t i = 1; i < count; ++i) {
      std::string subject = "m" + std::to_string(i);
      if (i % 97 == 2) {
        fs::remove(files[i]);
        gone.insert(subject);
      } else if (count < 10 || i % 37 == 1) {
        auto item = other->MakeItem(ref, "cur", files[i].filename().string());
        item->SetHTMLBody("<p>theirs</p>");
        item->Save();
        theirs.insert(subject);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    while (auto item = walk->Next()) {
      seen.push_back(item->Subject());
      EXPECT_EQ(item->HTMLBody(), theirs.count(seen.back()) ? "<p>theirs</p>" : "<p>x</p>\n")
          << seen.back();
    }
    std::sort(seen.begin(), seen.end());
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < count; ++i)
      if (!gone.count("m" + std::to_string(i))) expected.push_back("m" + std::to_string(i));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(seen, expected);
  }
}

TEST_F(MaildirTest, NewMailIsSavedAsADraft) {
  auto item = store_->CreateMailItem();
  EXPECT_EQ(item->EntryID(), "");
  EXPECT_EQ(item->ConversationIndex(), "");
  item->SetTo("Support <support@example.org>");
  item->SetSubject("Error report");
  item->SetBody("details");
  item->Save();
  EXPECT_FALSE(item->EntryID().empty());
  auto drafts = store_->GetDefaultFolder(om::olFolderDrafts);
  ASSERT_EQ(drafts->Items()->Count(), 1);
  auto saved = drafts->Items()->Item(1);
  EXPECT_EQ(saved->Subject(), "Error report");
  EXPECT_EQ(saved->Body(), "details");
  EXPECT_NE(saved->To().find("support@example.org"), std::string::npos);
  auto reply = saved->Reply();
  EXPECT_EQ(reply->EntryID(), "");
  EXPECT_FALSE(reply->ConversationIndex().empty());
  EXPECT_EQ(reply->ConversationTopic(), "Error report");
  EXPECT_EQ(reply->ConversationIndex().substr(0, saved->ConversationIndex().size()),
            saved->ConversationIndex());
}

TEST_F(MaildirTest, AMessageRenamedIntoDeletedItemsKeepsItsReceivedDate) {
  // A unique name without delivery seconds, taken in Deleted Items already.
  for (fs::path d : {root_, root_ / ".Deleted Items"}) {
    for (const char* s : {"cur", "new", "tmp"}) fs::create_directories(d / s);
    WriteAll(d / "cur" / "plain:2,S",
             "Received: from a by b; Tue, 02 Jan 2024 09:00:00 +0000\n" + kHead + "\nbody\n");
  }
  ItemAt(root_ / "cur" / "plain:2,S")->Delete();
  auto bin = store_->GetDefaultFolder(om::olFolderDeletedItems)->Items();
  ASSERT_EQ(bin->Count(), 2);
  for (int i = 1; i <= 2; ++i)
    EXPECT_EQ(bin->Item(i)->ReceivedTime(), DateTime::FromUnix(1704186000));
}

TEST_F(MaildirTest, FoldersMapOntoMaildirPlusPlusDirectories) {
  for (const char* d : {".Trash", ".Work", ".Work.Projects", ".INBOX.Lists", ".Entw&APw-rfe"})
    for (const char* s : {"cur", "new", "tmp"}) fs::create_directories(root_ / d / s);
  auto top = store_->Root();
  EXPECT_EQ(top->Name(), "Personal Folders");
  EXPECT_EQ(store_->GetDefaultFolder(om::olFolderDeletedItems)->Name(), "Trash");
  auto projects = top->Folders()->Item("work")->Folders()->Item("Projects");
  EXPECT_EQ(projects->FolderPath(), "\\\\Personal Folders\\Work\\Projects");
  auto inbox = store_->GetDefaultFolder(om::olFolderInbox);
  EXPECT_EQ(inbox->Folders()->Item("Lists")->FolderPath(), "\\\\Personal Folders\\Inbox\\Lists");
  EXPECT_NO_THROW(top->Folders()->Item("Entwürfe"));
  EXPECT_EQ(store_->GetDefaultFolder(om::olFolderCalendar)->DefaultItemType(),
            om::olAppointmentItem);
  EXPECT_FALSE(fs::exists(root_ / ".Calendar")) << "listing folders creates nothing";
  EXPECT_ANY_THROW(
      store_->GetSharedDefaultFolder(store_->CreateRecipient("boss"), om::olFolderInbox));
}

TEST_F(MaildirTest, CountingManyMessagesParsesNone) {
  std::string last;
  for (int i = 0; i < 20000; ++i) {
    std::string unique = "1704189600.M" + std::to_string(i) + "P1.h";
    last = std::max(last, unique);
    // Not even a message: reading one would fail, counting must not.
    std::ofstream(root_ / "cur" / (unique + ":2,S")) << "\x01 not mail";
  }
  auto items = store_->GetDefaultFolder(om::olFolderInbox)->Items();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(items->Count(), 20000);
  EXPECT_EQ(items->Item(20000)->EntryID(), last);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(MaildirTest, ItemAddOncePerDeliveryAndNotForRewritesOrFlagChanges) {
  FdLoop loop;
  platform::Services services;
  services.loop = &loop;
  platform::ScopedServices scope(services);
  fs::path existing =
      Deliver(kHead + "Subject: old\nContent-Type: text/html\n\n<p>o</p>\n", "", "", "new");
  auto items = store_->GetDefaultFolder(om::olFolderInbox)->Items();
  std::vector<std::string> added;
  auto conn = items->ItemAdd().Connect(
      [&](const std::shared_ptr<om::Item>& i) { added.push_back(i->Subject()); });
  EXPECT_EQ(loop.WatchCount(), 1u);

  Deliver(kHead + "Subject: fresh\n\nnew mail\n", "", "", "new");
  loop.DoEvents();
  EXPECT_EQ(added, std::vector<std::string>{"fresh"});

  // A client moves the old one to cur/ and flags it; the store rewrites it.
  fs::path moved = root_ / "cur" / (existing.filename().string() + ":2,S");
  fs::rename(existing, moved);
  fs::rename(moved, root_ / "cur" / (existing.filename().string() + ":2,FS"));
  auto item = ItemAt(root_ / "cur" / (existing.filename().string() + ":2,FS"));
  item->SetHTMLBody("<p>rewritten</p>");
  item->Save();
  loop.DoEvents();
  EXPECT_EQ(added, std::vector<std::string>{"fresh"});

  // Another process of this program rewrites one: a new unique name, not new mail.
  auto other = OpenStore();
  auto walk = other->GetDefaultFolder(om::olFolderInbox)->Items()->Enumerate();
  while (auto theirs = walk->Next()) {
    theirs->SetHTMLBody("<p>rewritten elsewhere</p>");
    theirs->Save();
  }
  loop.DoEvents();
  EXPECT_EQ(added, std::vector<std::string>{"fresh"});

  Deliver(kHead + "Subject: third\n\nx\n", "", "", "new");
  loop.DoEvents();
  loop.DoEvents();
  EXPECT_EQ(added, (std::vector<std::string>{"fresh", "third"}));
  conn.Disconnect();
  items.reset();
  EXPECT_EQ(loop.WatchCount(), 0u);
}

}  // namespace
}  // namespace stow::maildir::testing
