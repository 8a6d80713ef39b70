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

// The first of folder's items with that subject, if any.
std::shared_ptr<om::Item> FindBySubject(const std::shared_ptr<om::Folder>& folder,
                                        const std::string& subject) {
  auto walk = folder->Items()->Enumerate();
  while (auto item = walk->Next())
    if (item->Subject() == subject) return item;
  return nullptr;
}

TEST(MaildirDeliveryTest, DeliveryDuringABatchIsDetachedInsideTheBatch) {
  AddinEnvironment env(MaildirOptions());
  std::string maildirRoot = env.Root() + "/Maildir", att = env.MakeFolder("att");
  int serial = 0;
  auto deliver = [&](const std::string& dir, const std::string& subject) {
    stow::testing::Deliver(dir, std::to_string(1704189600 + serial++) + ".M1P1.testhost",
                           Render({subject + "@example.org",
                                   subject,
                                   "",
                                   {{subject + ".pdf", "%PDF-1.4\n"}},
                                   {},
                                   "XYZ",
                                   "\n"}),
                           "new");
  };
  env.UseAttachmentFolder(att);
  env.SetSetting("EmailFolders", env.Inbox()->FolderPath());
  env.SetSetting("StartUpItemMonitoredFolders", "0");
  env.SetSetting("SentItemsOption", "2");
  for (const char* subject : {"w1", "w2", "w3"}) deliver(maildirRoot + "/.Work", subject);
  env.OpenExplorer();
  RozozizeraRoreravo addin;
  addin.AddinInstance_OnConnection(env.hostPtr(), 0, nullptr, Value());
  addin.AddinInstance_OnStartupComplete(Value());
  ASSERT_NE(modGlobal::colMonitoredFolders, nullptr);
  ASSERT_EQ(modGlobal::colMonitoredFolders->Count(), 1);
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
        deliver(maildirRoot, "inbetween");
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
  env.loop.Advance(std::chrono::seconds(1));
}

}  // namespace
}  // namespace stow::testing
