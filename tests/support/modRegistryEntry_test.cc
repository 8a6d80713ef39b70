// Reading and writing single values: the key path, the stored form and every error.

#include "support/modRegistryEntry.h"

#include <gtest/gtest.h>

#include "common/checks.h"
#include "platform/com_error.h"
#include "settings_fixture.h"

namespace stow::settings_test {
namespace {

using modRegistryEntry::ReadRegistryValue;
using modRegistryEntry::WriteRegistryValue;
using Op = mem::MemoryRegistry::Op;
namespace syserr = platform::syserr;
using stow::testing::ErrorOf;

constexpr std::uint32_t kBase = 0x80040000u;

void ExpectError(const ComError& e, std::uint32_t number, const std::string& description) {
  EXPECT_EQ(static_cast<std::uint32_t>(e.Number()), number) << std::hex << e.Number();
  EXPECT_EQ(e.Description(), description);
  EXPECT_FALSE(e.Source().empty());
}

using RegistryEntryTest = SettingsTest;

TEST_F(RegistryEntryTest, WritesUtf16TextUnderTheTrimmedKeyPath) {
  WriteRegistryValue("  KZO ", "", "HTTPAddress", "http://hôte/Pièces");
  auto raw = registry.GetRaw(platform::Hive::CurrentUser, kKeyPath, "HTTPAddress");
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->type, platform::REG_SZ);
  // UTF-16: two bytes per character of this text, and no terminating NUL.
  EXPECT_EQ(raw->data.size(), 2 * std::string("http://hXte/PiXces").size());
  EXPECT_EQ(ReadRegistryValue("KZO", "  ", "httpaddress", "unused"), "http://hôte/Pièces");

  WriteRegistryValue("KZO", " Toolbar ", "MainTBTop", "120");
  EXPECT_EQ(registry.GetText(platform::Hive::CurrentUser, "Software\\Quillmere\\KZO\\Toolbar",
                             "MainTBTop"),
            "120");
  EXPECT_EQ(registry.OpenHandleCount(), 0u);
}

TEST_F(RegistryEntryTest, MissingKeyGivesTheDefaultAndMissingOrEmptyValueGivesEmptyText) {
  EXPECT_EQ(ReadRegistryValue("KZO", "", "AttachmentFolderPath", "fallback"), "fallback");
  Store("Other", "x");
  EXPECT_EQ(ReadRegistryValue("KZO", "", "AttachmentFolderPath", "fallback"), "");
  Store("HTTPAddress", "");
  EXPECT_EQ(ReadRegistryValue("KZO", "", "HTTPAddress", "fallback"), "");
  // Another program may have stored the terminating NUL; it is not part of the text.
  registry.SetRaw(platform::Hive::CurrentUser, kKeyPath, "WithNul", platform::REG_SZ,
                  std::string("a\0b\0\0\0", 6));
  EXPECT_EQ(ReadRegistryValue("KZO", "", "WithNul", ""), "ab");
  EXPECT_EQ(registry.OpenHandleCount(), 0u);
}

TEST_F(RegistryEntryTest, EmptyNamesAreRefusedBeforeTheRegistryIsTouched) {
  for (const std::string app : {"", "   "}) {
    ExpectError(ErrorOf([&] { WriteRegistryValue(app, "", "v", "t"); }), kBase + 1000,
                "AppName may not be empty");
    ExpectError(ErrorOf([&] { ReadRegistryValue(app, "", "v", ""); }), kBase + 1000,
                "AppName may not be empty");
  }
  for (const std::string name : {"", "  "}) {
    ExpectError(ErrorOf([&] { WriteRegistryValue("KZO", "", name, "t"); }), kBase + 1002,
                "Key may not be empty");
    ExpectError(ErrorOf([&] { ReadRegistryValue("KZO", "", name, ""); }), kBase + 1002,
                "Key may not be empty");
  }
  EXPECT_FALSE(registry.KeyExists(platform::Hive::CurrentUser, kKeyPath));
}

TEST_F(RegistryEntryTest, RegistryFailuresCarryTheSystemCodeAndCloseTheKey) {
  registry.FailOn(Op::CreateKey, syserr::kAccessDenied, kKeyPath);
  ExpectError(ErrorOf([&] { WriteRegistryValue("KZO", "", "v", "t"); }), kBase + 2000 + 5,
              "Could not open/create registry section");
  registry.ClearFaults();

  registry.FailOn(Op::SetValue, 1021, "Locked");
  ExpectError(ErrorOf([&] { WriteRegistryValue("KZO", "", "Locked", "t"); }), kBase + 2000 + 1021,
              "Could not set key value");
  EXPECT_EQ(registry.OpenHandleCount(), 0u) << "the key stays open after a failed write";
  registry.ClearFaults();

  registry.FailOn(Op::OpenKey, syserr::kAccessDenied);
  ExpectError(ErrorOf([&] { ReadRegistryValue("KZO", "", "v", "d"); }), kBase + 2000 + 5,
              "Could not open registry section");
  registry.ClearFaults();

  // Only "does not exist" is a normal answer to a query; any other failure must not pass
  // for an empty value.
  Store("Busy", "text");
  registry.FailOn(Op::QueryValue, syserr::kBusy, "Busy");
  ComError busy = ErrorOf([&] { ReadRegistryValue("KZO", "", "Busy", ""); });
  EXPECT_EQ(static_cast<std::uint32_t>(busy.Number()), kBase + 2000 + syserr::kBusy);
  EXPECT_EQ(registry.OpenHandleCount(), 0u);
}

TEST_F(RegistryEntryTest, AValueOfAnotherTypeIsNotAString) {
  for (auto [name, type, data] :
       {std::tuple<const char*, std::uint32_t, std::string>{
            "IncrementalNumber", platform::REG_DWORD, std::string("\x29\0\0\0", 4)},
        {"Blob", platform::REG_BINARY, "xy"},
        {"Expand", platform::REG_EXPAND_SZ, platform::Utf8ToUtf16Bytes("%HOME%")}}) {
    registry.SetRaw(platform::Hive::CurrentUser, kKeyPath, name, type, data);
    ExpectError(ErrorOf([&] { ReadRegistryValue("KZO", "", name, ""); }), kBase + 2000 + type,
                "Registry data not a string");
  }
  EXPECT_EQ(registry.OpenHandleCount(), 0u);
}

}  // namespace
}  // namespace stow::settings_test
