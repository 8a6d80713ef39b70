// A running host over a real Maildir: mail a delivery agent drops into a monitored
// folder is detached without any command, also while a batch is running.

#include <chrono>
#include <string>

#include "commands/commandRunner.h"
#include "commands/fStripAttachments.h"
#include "common/maildir_env.h"
#include "engine/processEmail.h"
#include "host/RozozizeraRoreravo.h"
#include "support/modGlobal.h"

namespace stow::testing {
namespace {

std::string Message(const std::string& subject, const std::string& file) {
  return Render({subject + "@example.org", subject, "", {{file, "%PDF-1.4\n"}}, {}, "XYZ", "\n"});
}

class MaildirDeliveryTest : public ::testing::Test {
 protected:
  MaildirDeliveryTest() : env(MaildirOptions()) {}
  void SetUp() override {
    maildirRoot = env.Root() + "/Maildir";
    MakeMaildir(maildirRoot);
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

  void Deliver(const std::string& dir, const std::string& text) {
    std::string unique = std::to_string(1704189600 + serial++) + ".M1P1.testhost";
    stow::testing::Deliver(dir, unique, text, "new");
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
