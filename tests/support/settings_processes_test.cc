// Several processes sharing one SQLite settings store, as the watcher and a command do.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/process.h"
#include "platform/sqlite/sqlite_registry.h"
#include "settings_fixture.h"
#include "support/cSettings.h"

namespace stow::settings_test {
namespace {

using stow::testing::Spawn;
using stow::testing::WaitExit;

class SharedStoreTest : public SettingsTest {
 protected:
  std::string File() const { return Root() + "/config/stowbright/settings.db"; }

  // Installs a store of its own on the shared file for the rest of the process.
  std::unique_ptr<platform::ScopedServices> UseSqlite(sqlite::SqliteRegistry& store) {
    platform::Services services = platform::Platform();
    services.registry = &store;
    return std::make_unique<platform::ScopedServices>(services);
  }
};

// Everything an identity writes carries its number, so a mix of two saves shows.
void Fill(cSettings& s, int id) {
  s.AttachmentFolderPath = "/files/" + std::to_string(id);
  s.HTTPAddress = "http://host/" + std::to_string(id);
  s.AttachmentNamingOption = id;
  s.SentItemsOption = id;
  s.AttachmentExtensions()->SetString("e" + std::to_string(id), ",");
  s.EmailFolders()->SetString("\\\\store\\f" + std::to_string(id), "\r\n");
  s.EmbedMacPath = id % 2;
  s.StartUpSentItems = static_cast<std::int16_t>(id % 2);
}

// The identity a loaded settings object holds, -1 when it is a mix.
int IdentityOf(cSettings& s) {
  int id = s.AttachmentNamingOption;
  std::string n = std::to_string(id);
  bool whole = s.AttachmentFolderPath == "/files/" + n && s.HTTPAddress == "http://host/" + n &&
               s.SentItemsOption == id && s.AttachmentExtensions()->GetString(",") == "e" + n &&
               s.EmailFolders()->GetString("\r\n") == "\\\\store\\f" + n &&
               s.EmbedMacPath == static_cast<bool>(id % 2) && s.StartUpSentItems == id % 2;
  return whole ? id : -1;
}

TEST_F(SharedStoreTest, TwoProcessesTakingRunningNumbersNeverShareOne) {
  { sqlite::SqliteRegistry create(File()); }
  int fds[2][2];
  std::vector<pid_t> children;
  for (int c = 0; c < 2; ++c) {
    ASSERT_EQ(pipe(fds[c]), 0);
    int out = fds[c][1];
    children.push_back(Spawn([&, out] {
      sqlite::SqliteRegistry store(File());
      auto scope = UseSqlite(store);
      cSettings settings;
      for (int i = 0; i < 200; ++i) {
        std::int32_t n = settings.GetIncrementalNumber();
        if (write(out, &n, sizeof n) != sizeof n) return false;
      }
      return true;
    }));
    close(fds[c][1]);
  }
  std::vector<std::int32_t> numbers;
  for (auto& fd : fds) {
    std::int32_t n = 0;
    while (read(fd[0], &n, sizeof n) == sizeof n) numbers.push_back(n);
    close(fd[0]);
  }
  for (pid_t pid : children) EXPECT_EQ(WaitExit(pid), 0);
  ASSERT_EQ(numbers.size(), 400u);
  std::set<std::int32_t> distinct(numbers.begin(), numbers.end());
  EXPECT_EQ(distinct.size(), 400u) << "a running number was handed out twice";
  EXPECT_EQ(*distinct.begin(), 1);
  EXPECT_EQ(*distinct.rbegin(), 400);

  sqlite::SqliteRegistry store(File());
  auto scope = UseSqlite(store);
  cSettings settings;
  EXPECT_EQ(settings.GetIncrementalNumber(), 401);
}

TEST_F(SharedStoreTest, ProcessesSavingAtOnceLeaveOneWholeSetOfOptions) {
  sqlite::SqliteRegistry store(File());
  auto scope = UseSqlite(store);
  {
    cSettings first;
    Fill(first, 0);
    ASSERT_TRUE(first.SaveSettings());
  }
  std::vector<pid_t> children;
  for (int id : {1, 2}) {
    children.push_back(Spawn([&, id] {
      sqlite::SqliteRegistry own(File());
      auto ownScope = UseSqlite(own);
      for (int i = 0; i < 40; ++i) {
        cSettings settings;
        Fill(settings, id);
        if (!settings.SaveSettings()) return false;
      }
      return true;
    }));
  }
  // Meanwhile this process keeps loading them: every load sees one whole save.
  int loads = 0, mixed = 0;
  std::set<int> seen;
  std::map<pid_t, int> exits;
  auto running = [&] {
    bool any = false;
    for (pid_t pid : children) {
      if (exits.count(pid)) continue;
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid)
        exits[pid] = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      else
        any = true;
    }
    return any;
  };
  // Loads are spaced out, so that the savers get the store between them.
  for (int i = 0; i < 20000 && running(); ++i) {
    usleep(300);
    store.Exclusive([&] {
      cSettings loaded;
      loaded.ReadSettings();
      int id = IdentityOf(loaded);
      if (id < 0) ++mixed;
      seen.insert(id);
      ++loads;
    });
  }
  for (pid_t pid : children)
    if (!exits.count(pid)) exits[pid] = WaitExit(pid);
  for (const auto& [pid, code] : exits) EXPECT_EQ(code, 0) << "a save failed in process " << pid;
  EXPECT_EQ(mixed, 0) << "a load saw a mix of two saves (" << loads << " loads)";
  EXPECT_TRUE(store.CheckIntegrity());
  cSettings final;
  final.ReadSettings();
  int id = IdentityOf(final);
  EXPECT_TRUE(id == 1 || id == 2) << "final options come from " << id;
}

}  // namespace
}  // namespace stow::settings_test
