// The registry contract, run on the in-memory store and on the SQLite store so that
// the test double cannot drift from the real thing.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "common/temp_dir.h"
#include "platform/memory/memory_registry.h"
#include "platform/registry.h"
#include "platform/sqlite/sqlite_registry.h"

namespace stow {
namespace {

using platform::Hive;
using platform::RegKey;
namespace syserr = platform::syserr;
using testing::TempDir;

struct Backend {
  const char* name;
  std::function<std::unique_ptr<platform::Registry>(const TempDir&)> make;
};

class RegistryContract : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override { reg_ = GetParam().make(dir_); }

  RegKey Create(const std::string& path, Hive hive = Hive::CurrentUser) {
    RegKey key = 0;
    EXPECT_EQ(reg_->CreateKey(hive, path, &key), syserr::kSuccess);
    EXPECT_NE(key, 0u);
    return key;
  }
  // Sets a text value (as UTF-16) and reads one back ("?" when it cannot).
  long SetText(RegKey key, const std::string& name, const std::string& text) {
    return reg_->SetValue(key, name, platform::REG_SZ, platform::Utf8ToUtf16Bytes(text));
  }
  std::string GetText(RegKey key, const std::string& name) {
    std::string data;
    if (reg_->QueryValue(key, name, nullptr, &data) != syserr::kSuccess) return "?";
    return platform::Utf16BytesToUtf8(data);
  }
  long Open(const std::string& path, RegKey* key, std::uint32_t access = platform::KEY_READ,
            Hive hive = Hive::CurrentUser) {
    return reg_->OpenKey(hive, path, access, key);
  }

  TempDir dir_;
  std::unique_ptr<platform::Registry> reg_;
};

TEST_P(RegistryContract, MissingKeysAndValuesAreFileNotFound) {
  RegKey key = 7;
  EXPECT_EQ(Open("Software\\Nowhere", &key), syserr::kFileNotFound);
  EXPECT_EQ(key, 0u);

  RegKey made = Create("Software\\Somewhere");
  std::uint32_t type = 99;
  std::string data = "untouched";
  EXPECT_EQ(reg_->QueryValue(made, "Absent", &type, &data), syserr::kFileNotFound);
  EXPECT_EQ(reg_->DeleteValue(made, "Absent"), syserr::kFileNotFound);
  EXPECT_EQ(reg_->CloseKey(made), syserr::kSuccess);
}

TEST_P(RegistryContract, CreateKeyMakesEveryParentAndIsIdempotent) {
  RegKey deep = Create("Software\\Quillmere\\KZO\\Deep");
  RegKey parent = 0;
  ASSERT_EQ(Open("Software\\Quillmere", &parent), syserr::kSuccess);
  RegKey again = Create("Software\\Quillmere\\KZO\\Deep");
  EXPECT_NE(again, deep) << "each open gives its own handle";
  ASSERT_EQ(SetText(deep, "v", "x"), syserr::kSuccess);
  EXPECT_EQ(GetText(again, "v"), "x");
  for (RegKey k : {deep, parent, again}) EXPECT_EQ(reg_->CloseKey(k), syserr::kSuccess);
}

TEST_P(RegistryContract, KeysAndValueNamesIgnoreCaseAndStrayBackslashes) {
  RegKey key = Create("Software\\Quillmere\\KZO");
  ASSERT_EQ(SetText(key, "AttachmentFolderPath", "/a"), syserr::kSuccess);
  // Rewriting under another spelling replaces the value rather than adding one.
  ASSERT_EQ(SetText(key, "ATTACHMENTFOLDERPATH", "/b"), syserr::kSuccess);

  RegKey other = 0;
  ASSERT_EQ(Open("\\SOFTWARE\\quillmere\\\\kzo\\", &other), syserr::kSuccess);
  EXPECT_EQ(GetText(other, "attachmentfolderpath"), "/b");

  // Unicode case folding, not only ASCII.
  ASSERT_EQ(SetText(key, "..Boîte.Résumé", "ü"), syserr::kSuccess);
  EXPECT_EQ(GetText(other, "..BOÎTE.RÉSUMÉ"), "ü");
  RegKey unicodeKey = Create("Software\\Ärger");
  RegKey found = 0;
  EXPECT_EQ(Open("software\\äRGER", &found), syserr::kSuccess);
  for (RegKey k : {key, other, unicodeKey, found}) reg_->CloseKey(k);
}

TEST_P(RegistryContract, TypedValuesRoundTripByteForByte) {
  RegKey key = Create("Software\\Types");
  const std::string text = platform::Utf8ToUtf16Bytes("Ünïcødé € 𝄞 text");
  const std::string dword("\x2A\x00\x00\x00", 4);
  const std::string binary("\x00\x01\xFF\x00", 4);
  ASSERT_EQ(reg_->SetValue(key, "Text", platform::REG_SZ, text), syserr::kSuccess);
  ASSERT_EQ(reg_->SetValue(key, "Number", platform::REG_DWORD, dword), syserr::kSuccess);
  ASSERT_EQ(reg_->SetValue(key, "Bytes", platform::REG_BINARY, binary), syserr::kSuccess);
  ASSERT_EQ(reg_->SetValue(key, "Empty", platform::REG_SZ, ""), syserr::kSuccess);
  ASSERT_EQ(reg_->SetValue(key, "Odd", 11, "z"), syserr::kSuccess);

  struct Expect {
    const char* name;
    std::uint32_t type;
    std::string data;
  };
  for (const Expect& e :
       {Expect{"Text", platform::REG_SZ, text}, Expect{"Number", platform::REG_DWORD, dword},
        Expect{"Bytes", platform::REG_BINARY, binary}, Expect{"Empty", platform::REG_SZ, ""},
        Expect{"Odd", 11, "z"}}) {
    std::uint32_t type = 0;
    std::string data = "junk";
    ASSERT_EQ(reg_->QueryValue(key, e.name, &type, &data), syserr::kSuccess) << e.name;
    EXPECT_EQ(type, e.type) << e.name;
    EXPECT_EQ(data, e.data) << e.name;
    // Asking for the type only leaves data alone, and the other way round.
    std::string untouched = "keep";
    EXPECT_EQ(reg_->QueryValue(key, e.name, &type, nullptr), syserr::kSuccess);
    std::uint32_t typeUntouched = 1234;
    EXPECT_EQ(reg_->QueryValue(key, e.name, nullptr, &untouched), syserr::kSuccess);
    EXPECT_EQ(untouched, e.data);
    EXPECT_EQ(typeUntouched, 1234u);
  }
  EXPECT_EQ(platform::Utf16BytesToUtf8(text), "Ünïcødé € 𝄞 text");
  reg_->CloseKey(key);
}

TEST_P(RegistryContract, HivesAreSeparate) {
  RegKey user = Create("Software\\Shared", Hive::CurrentUser);
  ASSERT_EQ(reg_->SetValue(user, "v", platform::REG_SZ, "a"), syserr::kSuccess);
  RegKey machine = 0;
  EXPECT_EQ(Open("Software\\Shared", &machine, platform::KEY_READ, Hive::LocalMachine),
            syserr::kFileNotFound);
  RegKey made = Create("Software\\Shared", Hive::LocalMachine);
  EXPECT_EQ(reg_->QueryValue(made, "v", nullptr, nullptr), syserr::kFileNotFound);
  reg_->CloseKey(user);
  reg_->CloseKey(made);
}

TEST_P(RegistryContract, HandlesAreCheckedAndReadOnlyHandlesCannotWrite) {
  RegKey key = Create("Software\\Handles");
  ASSERT_EQ(reg_->SetValue(key, "v", platform::REG_SZ, "ab"), syserr::kSuccess);
  EXPECT_EQ(reg_->CloseKey(key), syserr::kSuccess);
  EXPECT_EQ(reg_->CloseKey(key), syserr::kInvalidHandle) << "closed twice";
  EXPECT_EQ(reg_->CloseKey(987654), syserr::kInvalidHandle);
  EXPECT_EQ(reg_->SetValue(key, "v", platform::REG_SZ, "cd"), syserr::kInvalidHandle);
  EXPECT_EQ(reg_->QueryValue(key, "v", nullptr, nullptr), syserr::kInvalidHandle);
  EXPECT_EQ(reg_->DeleteValue(key, "v"), syserr::kInvalidHandle);

  RegKey reader = 0;
  ASSERT_EQ(Open("Software\\Handles", &reader, platform::KEY_READ), syserr::kSuccess);
  EXPECT_EQ(reg_->SetValue(reader, "v", platform::REG_SZ, "cd"), syserr::kAccessDenied);
  EXPECT_EQ(reg_->DeleteValue(reader, "v"), syserr::kAccessDenied);
  std::string data;
  ASSERT_EQ(reg_->QueryValue(reader, "v", nullptr, &data), syserr::kSuccess);
  EXPECT_EQ(data, "ab");
  RegKey writer = 0;
  ASSERT_EQ(Open("Software\\Handles", &writer, platform::KEY_ALL_ACCESS), syserr::kSuccess);
  EXPECT_EQ(reg_->DeleteValue(writer, "V"), syserr::kSuccess);
  EXPECT_EQ(reg_->QueryValue(reader, "v", nullptr, nullptr), syserr::kFileNotFound);
  reg_->CloseKey(reader);
  reg_->CloseKey(writer);
}

TEST_P(RegistryContract, ExclusiveRunsNestedBodiesAndKeepsTheirWrites) {
  RegKey key = Create("Software\\Lock");
  int depth = 0;
  reg_->Exclusive([&] {
    ++depth;
    ASSERT_EQ(reg_->SetValue(key, "outer", platform::REG_SZ, "o1"), syserr::kSuccess);
    reg_->Exclusive([&] {
      ++depth;
      ASSERT_EQ(reg_->SetValue(key, "inner", platform::REG_SZ, "i1"), syserr::kSuccess);
    });
  });
  EXPECT_EQ(depth, 2);
  // A body that fails still keeps what it wrote before failing, and the failure reaches
  // the caller.
  EXPECT_THROW(reg_->Exclusive([&] {
    reg_->SetValue(key, "beforeThrow", platform::REG_SZ, "b1");
    throw std::runtime_error("body failed");
  }),
               std::runtime_error);
  // The store is usable afterwards (no transaction left open).
  EXPECT_EQ(reg_->SetValue(key, "after", platform::REG_SZ, "a1"), syserr::kSuccess);
  for (const char* name : {"outer", "inner", "beforeThrow", "after"})
    EXPECT_EQ(reg_->QueryValue(key, name, nullptr, nullptr), syserr::kSuccess) << name;
  reg_->CloseKey(key);
}

INSTANTIATE_TEST_SUITE_P(
    Backends, RegistryContract,
    ::testing::Values(Backend{"Memory",
                              [](const TempDir&) -> std::unique_ptr<platform::Registry> {
                                return std::make_unique<mem::MemoryRegistry>();
                              }},
                      Backend{"Sqlite",
                              [](const TempDir& dir) -> std::unique_ptr<platform::Registry> {
                                return std::make_unique<sqlite::SqliteRegistry>(
                                    dir / "cfg/stowbright/settings.db");
                              }}),
    [](const ::testing::TestParamInfo<Backend>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace stow
