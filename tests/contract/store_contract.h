#pragma once
// The behaviour every mail store behind the object model must show, as one
// value-parameterized suite (the cases are in store_contract.cc). A store joins it by
// implementing StoreUnderTest and instantiating the suite in its own file:
//
//   INSTANTIATE_TEST_SUITE_P(Memory, StoreContractTest,
//                            ::testing::Values(StoreParamOf<MemoryStoreUnderTest>("Memory")),
//                            StoreParamName);
//
// Stores differ in what they can be made to do (fail a save, put an item in
// conflict); a case that needs what a store cannot do is skipped, not passed.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/temp_dir.h"
#include "platform/object_model.h"

namespace stow::contract {

struct AttachmentSpec {
  std::string fileName;
  std::string bytes;
  // Empty: no content id.
  std::string contentId;
  bool hidden = false;
};

// A mail as the test wants it stored; each store builds it its own way (records,
// MIME messages).
struct MailSpec {
  // Where the store can express it; a MIME store derives the class from the structure.
  std::string messageClass = "IPM.Note";
  std::string subject;
  std::string htmlBody;
  std::string textBody;
  std::vector<AttachmentSpec> attachments;
};

class StoreUnderTest {
 public:
  virtual ~StoreUnderTest() = default;
  virtual std::shared_ptr<om::NameSpace> Namespace() = 0;
  // Stores mailSpec in the folder of that name under the store's top folder ("Inbox",
  // "Deleted Items", ...) without raising ItemAdd, and returns an object over it.
  virtual std::shared_ptr<om::Item> AddMail(const std::string& folderName,
                                            const MailSpec& mailSpec) = 0;
  // A fresh object over the stored state of item (found by its current EntryID in
  // its folder); nullptr when the folder no longer holds it.
  virtual std::shared_ptr<om::Item> Reopen(const std::shared_ptr<om::Item>& item);
  // Makes the next Save of item fail; false when the store cannot.
  virtual bool MakeNextSaveFail(const std::shared_ptr<om::Item>& item) = 0;
  // Puts item in conflict (UserProperties::Find raises 0x80020009); false when the
  // store cannot express a conflict.
  virtual bool MakeConflict(const std::shared_ptr<om::Item>&) { return false; }
};

// Makes a store whose files (if any) live under dir (an empty, existing folder).
using StoreFactory = std::function<std::unique_ptr<StoreUnderTest>(const std::filesystem::path&)>;

struct StoreParam {
  std::string name;
  StoreFactory make;
  // Why the store cannot be made here (its server is not installed); the cases are
  // skipped, saying so. Empty or absent: it can.
  std::function<std::string()> missing;
};

// mailSpec as a MIME message (LF line ends); serial makes its Message-ID and
// boundaries unique.
std::string MimeMessageOf(const MailSpec& mailSpec, int serial);
// Sets the hidden flags mailSpec asks for on item (saving it when there are any).
std::shared_ptr<om::Item> HideAsSpecified(std::shared_ptr<om::Item> item, const MailSpec& mailSpec);

// The parameter of a store whose StoreUnderTest T is made over the store's folder.
template <class T>
StoreParam StoreParamOf(std::string name, std::function<std::string()> missing = nullptr) {
  auto make = [](const std::filesystem::path& dir) -> std::unique_ptr<StoreUnderTest> {
    return std::make_unique<T>(dir);
  };
  return {std::move(name), make, std::move(missing)};
}

inline std::string StoreParamName(const ::testing::TestParamInfo<StoreParam>& info) {
  return info.param.name;
}

inline void PrintTo(const StoreParam& p, std::ostream* os) {
  *os << p.name;
}

class StoreContractTest : public ::testing::TestWithParam<StoreParam> {
 protected:
  void SetUp() override;
  void TearDown() override;

  StoreUnderTest& store() { return *store_; }
  // A folder of the test's own, removed afterwards; the store's files are elsewhere.
  const std::filesystem::path& Files() const { return files_; }
  std::shared_ptr<om::Folder> Folder(const std::string& name);
  std::shared_ptr<om::Item> Reopen(const std::shared_ptr<om::Item>& item);

 private:
  std::unique_ptr<stow::testing::TempDir> tmp_;
  std::filesystem::path files_;
  std::unique_ptr<StoreUnderTest> store_;
};

}  // namespace stow::contract
