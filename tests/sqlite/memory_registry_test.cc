// The failures the in-memory store can be told to produce.

#include "platform/memory/memory_registry.h"

#include <gtest/gtest.h>

namespace stow {
namespace {

using mem::MemoryRegistry;
using platform::Hive;
using platform::RegKey;
namespace syserr = platform::syserr;

TEST(MemoryRegistryFaults, TargetedFaultsHitOnlyTheirKeyOrValue) {
  MemoryRegistry reg;
  reg.SetText(Hive::CurrentUser, "Software\\A", "Good", "g");
  reg.SetText(Hive::CurrentUser, "Software\\A", "Bad", "b");
  reg.FailOn(MemoryRegistry::Op::QueryValue, syserr::kAccessDenied, "BAD");
  reg.FailOn(MemoryRegistry::Op::OpenKey, 1018, "software\\b");
  reg.FailOn(MemoryRegistry::Op::SetValue, 1021, "Locked");

  RegKey a = 0, b = 0;
  ASSERT_EQ(reg.OpenKey(Hive::CurrentUser, "Software\\A", platform::KEY_ALL_ACCESS, &a),
            syserr::kSuccess);
  EXPECT_EQ(reg.QueryValue(a, "Good", nullptr, nullptr), syserr::kSuccess);
  EXPECT_EQ(reg.QueryValue(a, "Bad", nullptr, nullptr), syserr::kAccessDenied);
  EXPECT_EQ(reg.SetValue(a, "Open", platform::REG_SZ, ""), syserr::kSuccess);
  EXPECT_EQ(reg.SetValue(a, "locked", platform::REG_SZ, ""), 1021);
  EXPECT_FALSE(reg.GetRaw(Hive::CurrentUser, "Software\\A", "Locked"));
  EXPECT_EQ(reg.OpenKey(Hive::CurrentUser, "Software\\B", platform::KEY_READ, &b), 1018);

  reg.ClearFaults();
  EXPECT_EQ(reg.QueryValue(a, "Bad", nullptr, nullptr), syserr::kSuccess);
  EXPECT_EQ(reg.SetValue(a, "locked", platform::REG_SZ, ""), syserr::kSuccess);
  reg.CloseKey(a);
}

TEST(MemoryRegistryFaults, UntargetedFaultsHitEveryCall) {
  MemoryRegistry reg;
  reg.FailOn(MemoryRegistry::Op::CreateKey, syserr::kAccessDenied);
  RegKey key = 5;
  EXPECT_EQ(reg.CreateKey(Hive::CurrentUser, "Software\\X", &key), syserr::kAccessDenied);
  EXPECT_EQ(key, 0u);
  EXPECT_EQ(reg.CreateKey(Hive::CurrentUser, "Other", &key), syserr::kAccessDenied);
  EXPECT_FALSE(reg.KeyExists(Hive::CurrentUser, "Software\\X"));
  EXPECT_EQ(reg.OpenHandleCount(), 0u);
}

TEST(MemoryRegistryFaults, RawValuesKeepTheirTypeAndFirstSpelling) {
  MemoryRegistry reg;
  reg.SetRaw(Hive::CurrentUser, "Software\\Q\\KZO", "IncrementalNumber", platform::REG_DWORD,
             std::string("\x29\0\0\0", 4));
  reg.SetText(Hive::CurrentUser, "software\\q\\kzo", "Other", "x");
  auto raw = reg.GetRaw(Hive::CurrentUser, "SOFTWARE\\Q\\KZO", "incrementalnumber");
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->type, platform::REG_DWORD);
  EXPECT_EQ(raw->data.size(), 4u);
  EXPECT_EQ(raw->name, "IncrementalNumber");
  EXPECT_FALSE(reg.GetText(Hive::CurrentUser, "Software\\Q\\KZO", "IncrementalNumber"))
      << "a number is not text";
  EXPECT_EQ(reg.ValueNames(Hive::CurrentUser, "Software\\Q\\KZO"),
            (std::vector<std::string>{"IncrementalNumber", "Other"}));
  EXPECT_TRUE(reg.KeyExists(Hive::CurrentUser, "Software"));
}

}  // namespace
}  // namespace stow
