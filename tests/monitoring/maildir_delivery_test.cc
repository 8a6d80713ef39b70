// A running host over a real Maildir: mail a delivery agent drops into a monitored
// folder is detached without any command, also while a batch is running.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "commands/commandRunner.h"
#include "commands/fStripAttachments.h"
#include "common/addin_environment.h"
#include "engine/processEmail.h"
#include "host/RozozizeraRoreravo.h"
#include "platform/maildir/maildir_store.h"
#include "support/modGlobal.h"

namespace stow::testing {
namespace {

namespace fs = std::filesystem;

AddinEnvironment::Options MaildirOptions() {
  AddinEnvironment::Options o;
  o.makeStore = [](const std::string& root) -> std::shared_ptr<om::NameSpace> {
    maildir::Options options;
    options.secretPath = root + "/secret";
    maildir::MaildirStore::Create(root + "/Maildir");
    return maildir::MaildirStore::Open(root + "/Maildir", options);
  };
  return o;
}

std::string Message(const std::string& subject, const std::string& file) {
  return "From: a@example.org\nTo: b@example.org\nSubject: " + subject + "\nMessage-ID: <" +
         subject +
         "@example.org>\nDate: Tue, 02 Jan 2024 10:00:00 +0000\n"
         "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"XYZ\"\n\n"
         "--XYZ\nContent-Type: text/html; charset=utf-8\n\n<html><body><p>" +
         subject + "</p></body></html>\n--XYZ\nContent-Type: application/pdf; name=\"" + file +
         "\"\nContent-Disposition: attachment; filename=\"" + file +
         "\"\nContent-Transfer-Encoding: base64\n\nJVBERi0xLjQK\n--XYZ--\n";
}

class MaildirDeliveryTest : public ::testing::Test {
 protected:
  MaildirDeliveryTest() : env(MaildirOptions()) {}
  void SetUp() override {
    maildirRoot = env.Root() + "/Maildir";
    for (const char* s : {"cur", "new", "tmp"}) fs::create_directories(maildirRoot + "/" + s);
    att = env.MakeFolder("att");
    env.UseAttachmentFolder(att);
    env.SetSetting("EmailFolders", env.Inbox()->FolderPath());
    env.SetSetting("StartUpItemMonitoredFolders", "0");
    env.SetSetting("SentItemsOption", "2");
  }
  void TearDown() override {
    env.loop.Advance(std::chrono::seconds(1));
    addin.reset();
  }

  // What a delivery agent does: write into tmp/, rename into new/.
  void Deliver(const std::string& dir, const std::string& text) {
    for (const char* s : {"cur", "new", "tmp"}) fs::create_directories(dir + "/" + s);
    std::string unique = std::to_string(1704189600 + serial++) + ".M1P1.testhost";
    std::string tmp = dir + "/tmp/" + unique;
    std::ofstream(tmp, std::ios::binary) << text;
    fs::rename(tmp, dir + "/new/" + unique);
  }

  std::shared_ptr<om::Item> FindBySubject(const std::shared_ptr<om::Folder>& folder,
                                          const std::string& subject) {
    auto walk = folder->Items()->Enumerate();
    while (auto item = walk->Next())
      if (item->Subject() == subject) return item;
    return nullptr;
  }

  void StartHost(std::shared_ptr<om::Explorer>* explorer = nullptr) {
    auto e = env.OpenExplorer();
    if (explorer) *explorer = e;
    addin = std::make_unique<RozozizeraRoreravo>();
    addin->AddinInstance_OnConnection(env.hostPtr(), 0, nullptr, Value());
    addin->AddinInstance_OnStartupComplete(Value());
    ASSERT_NE(modGlobal::colMonitoredFolders, nullptr);
    ASSERT_EQ(modGlobal::colMonitoredFolders->Count(), 1);
  }

  AddinEnvironment env;
  std::unique_ptr<RozozizeraRoreravo> addin;
  std::string maildirRoot, att;
  int serial = 0;
};

TEST_F(MaildirDeliveryTest, DeliveryIntoAMonitoredFolderIsDetachedWithoutACommand) {
  StartHost();
  Deliver(maildirRoot, Message("arrival", "doc.pdf"));
  for (int i = 0; i < 3; ++i) env.loop.DoEvents();
  auto item = FindBySubject(env.Inbox(), "arrival");
  ASSERT_NE(item, nullptr);
  EXPECT_TRUE(IsProcessed(item));
  EXPECT_EQ(env.ListFiles(att).size(), 1u);
  EXPECT_NE(item->HTMLBody().find("tableKZOSTART"), std::string::npos);
}

TEST_F(MaildirDeliveryTest, DeliveryDuringABatchIsDetachedInsideTheBatch) {
  Deliver(maildirRoot + "/.Work", Message("w1", "w1.pdf"));
  Deliver(maildirRoot + "/.Work", Message("w2", "w2.pdf"));
  Deliver(maildirRoot + "/.Work", Message("w3", "w3.pdf"));
  StartHost();
  auto work = env.store().Folders()->Item(1)->Folders()->Item("Work");
  ASSERT_NE(work, nullptr);
  std::vector<std::shared_ptr<om::Item>> selection;
  auto walk = work->Items()->Enumerate();
  while (auto item = walk->Next()) selection.push_back(item);
  ASSERT_EQ(selection.size(), 3u);
  env.OpenExplorer(work, selection);

  bool detachedBeforeBatchEnded = false;
  // Turn 3 is the yield before the second item; the file's arrival is read at the
  // same turn, the check runs at the next one, still inside the batch.
  env.loop.Post([&] {
    env.loop.Post([&] {
      env.loop.Post([&] {
        Deliver(maildirRoot, Message("inbetween", "mid.pdf"));
        env.loop.Post([&] {
          auto item = FindBySubject(env.Inbox(), "inbetween");
          detachedBeforeBatchEnded = item && IsProcessed(item);
        });
      });
    });
  });
  StripAttachments();
  EXPECT_TRUE(detachedBeforeBatchEnded);
  auto* w = dynamic_cast<fStripAttachments*>(env.ui.FindForm("fStripAttachments"));
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->lblProcessing.Caption, "Processing.... (3 Of 3)");
  for (const char* s : {"w1", "w2", "w3"}) {
    auto item = FindBySubject(work, s);
    ASSERT_NE(item, nullptr) << s;
    EXPECT_TRUE(IsProcessed(item)) << s;
  }
  EXPECT_EQ(env.ListFiles(att).size(), 4u);
}

}  // namespace
}  // namespace stow::testing
