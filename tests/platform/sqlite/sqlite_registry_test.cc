// The SQLite store across processes: shared counters, writers killed mid-write,
// readers and writers meeting a held lock.

#include "platform/sqlite/sqlite_registry.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/process.h"
#include "common/temp_dir.h"
#include "platform/com_error.h"

namespace stow {
namespace {

using platform::Hive;
using platform::RegKey;
namespace syserr = platform::syserr;
using sqlite::SqliteRegistry;
using namespace stow::testing;

constexpr const char* kKey = "Software\\Quillmere\\KZO";

std::string Text(const std::string& utf8) {
  return platform::Utf8ToUtf16Bytes(utf8);
}

// (Names, types and bytes of values are the registry contract's.)
TEST(SqliteRegistry, CreatesItsFolderKeepsValuesAcrossReopeningAndRefusesOtherFiles) {
  TempDir dir;
  const std::string file = dir / "config/stowbright/settings.db";
  {
    SqliteRegistry reg(file);
    RegKey key = 0;
    ASSERT_EQ(reg.CreateKey(Hive::CurrentUser, kKey, &key), syserr::kSuccess);
    ASSERT_EQ(reg.SetValue(key, "HTTPAddress", platform::REG_SZ, Text("http://höst/ä")),
              syserr::kSuccess);
    EXPECT_EQ(reg.CloseKey(key), syserr::kSuccess);
    EXPECT_EQ(reg.OpenHandleCount(), 0u);
  }
  SqliteRegistry again(file);
  EXPECT_TRUE(again.CheckIntegrity());
  RegKey key = 0;
  ASSERT_EQ(again.OpenKey(Hive::CurrentUser, kKey, platform::KEY_READ, &key), syserr::kSuccess);
  std::uint32_t type = 0;
  std::string data;
  ASSERT_EQ(again.QueryValue(key, "HTTPAddress", &type, &data), syserr::kSuccess);
  EXPECT_EQ(platform::Utf16BytesToUtf8(data), "http://höst/ä");
  // A file that is not a store is refused.
  std::ofstream(dir / "other.db") << "this is not a database, just some text that is long enough";
  EXPECT_THROW(SqliteRegistry reg(dir / "other.db"), ComError);
}

// Each value written by the child carries its own name and round inside its data, so
// a value cut short or mixed with another one is detected.
std::string Payload(int slot, int round) {
  std::string head = "slot" + std::to_string(slot) + ":round" + std::to_string(round) + ":";
  std::string out = head;
  while (out.size() < 3000) out += head;
  return Text(out);
}

TEST(SqliteRegistry, AWriterKilledMidWriteLeavesEveryValueWhole) {
  TempDir dir;
  const std::string file = dir / "settings.db";
  { SqliteRegistry create(file); }
  int progress[2];
  ASSERT_EQ(pipe(progress), 0);
  pid_t child = Spawn([&] {
    close(progress[0]);
    SqliteRegistry reg(file);
    RegKey key = 0;
    if (reg.CreateKey(Hive::CurrentUser, kKey, &key) != syserr::kSuccess) return false;
    for (int round = 1;; ++round) {
      for (int slot = 0; slot < 8; ++slot)
        if (reg.SetValue(key, "slot" + std::to_string(slot), platform::REG_SZ,
                         Payload(slot, round)) != syserr::kSuccess)
          return false;
      // A batch: both values of a pair always carry the same round.
      reg.Exclusive([&] {
        reg.SetValue(key, "pairA", platform::REG_SZ, Text(std::to_string(round)));
        reg.SetValue(key, "pairB", platform::REG_SZ, Text(std::to_string(round)));
      });
      if (write(progress[1], &round, sizeof round) != sizeof round) return false;
    }
  });
  close(progress[1]);
  int round = 0;
  // Let it finish a few rounds, then kill it wherever it is.
  while (round < 5 && read(progress[0], &round, sizeof round) == sizeof round) {
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  kill(child, SIGKILL);
  EXPECT_EQ(WaitExit(child), 128 + SIGKILL);
  // The child went on writing after the rounds read above: the last round it
  // reported is still in the pipe.
  int later = 0;
  while (read(progress[0], &later, sizeof later) == sizeof later) round = later;
  close(progress[0]);
  ASSERT_GE(round, 5);

  SqliteRegistry reg(file);
  EXPECT_TRUE(reg.CheckIntegrity());
  RegKey key = 0;
  ASSERT_EQ(reg.OpenKey(Hive::CurrentUser, kKey, platform::KEY_READ, &key), syserr::kSuccess);
  for (int slot = 0; slot < 8; ++slot) {
    std::string data;
    ASSERT_EQ(reg.QueryValue(key, "slot" + std::to_string(slot), nullptr, &data), syserr::kSuccess);
    bool whole = false;
    for (int r = round; r <= round + 1 && !whole; ++r) whole = data == Payload(slot, r);
    EXPECT_TRUE(whole) << "slot " << slot << " holds a value that was never written";
  }
  std::string a, b;
  ASSERT_EQ(reg.QueryValue(key, "pairA", nullptr, &a), syserr::kSuccess);
  ASSERT_EQ(reg.QueryValue(key, "pairB", nullptr, &b), syserr::kSuccess);
  EXPECT_EQ(a, b) << "half of a batch was kept";
  // The store takes writes again: no lock survived the dead writer.
  RegKey writer = 0;
  ASSERT_EQ(reg.CreateKey(Hive::CurrentUser, kKey, &writer), syserr::kSuccess);
  EXPECT_EQ(reg.SetValue(writer, "after", platform::REG_SZ, Text("ok")), syserr::kSuccess);
}

TEST(SqliteRegistry, AHeldLockStopsWritersButNotReaders) {
  TempDir dir;
  const std::string file = dir / "settings.db";
  {
    SqliteRegistry create(file);
    RegKey key = 0;
    ASSERT_EQ(create.CreateKey(Hive::CurrentUser, kKey, &key), syserr::kSuccess);
    ASSERT_EQ(create.SetValue(key, "v", platform::REG_SZ, Text("before")), syserr::kSuccess);
  }
  int held[2], release[2];
  ASSERT_EQ(pipe(held), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t child = Spawn([&] {
    // Only the parent's end may keep the release pipe open, or the child never sees EOF.
    close(held[0]);
    close(release[1]);
    SqliteRegistry reg(file);
    bool ok = true;
    reg.Exclusive([&] {
      char c = 1;
      ok = write(held[1], &c, 1) == 1 && read(release[0], &c, 1) == 1;
    });
    return ok;
  });
  char c = 0;
  ASSERT_EQ(read(held[0], &c, 1), 1);

  SqliteRegistry reg(file, std::chrono::milliseconds(100));
  RegKey key = 0;
  ASSERT_EQ(reg.OpenKey(Hive::CurrentUser, kKey, platform::KEY_ALL_ACCESS, &key), syserr::kSuccess);
  std::string data;
  EXPECT_EQ(reg.QueryValue(key, "v", nullptr, &data), syserr::kSuccess);
  EXPECT_EQ(platform::Utf16BytesToUtf8(data), "before");
  EXPECT_EQ(reg.SetValue(key, "v", platform::REG_SZ, Text("blocked")), syserr::kBusy);
  EXPECT_THROW(reg.Exclusive([] {}), ComError);

  ASSERT_EQ(write(release[1], &c, 1), 1);
  EXPECT_EQ(WaitExit(child), 0);
  EXPECT_EQ(reg.SetValue(key, "v", platform::REG_SZ, Text("after")), syserr::kSuccess);
  ASSERT_EQ(reg.QueryValue(key, "v", nullptr, &data), syserr::kSuccess);
  EXPECT_EQ(platform::Utf16BytesToUtf8(data), "after");
  for (int fd : {held[0], held[1], release[0], release[1]}) close(fd);
}

}  // namespace
}  // namespace stow
