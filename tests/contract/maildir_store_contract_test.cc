// The store contract on the Maildir store: every mail is a real MIME file in a
// Maildir++ tree, and the failures are real ones (a tmp/ that is not a directory,
// a second copy of a message).

#include <filesystem>
#include <fstream>

#include "contract/store_contract.h"
#include "platform/maildir/maildir_names.h"
#include "platform/maildir/maildir_store.h"

namespace stow::contract {
namespace {

namespace fs = std::filesystem;

class MaildirStoreUnderTest : public StoreUnderTest {
 public:
  explicit MaildirStoreUnderTest(const fs::path& dir) : dir_(dir) {
    maildir::Options o;
    o.secretPath = (dir / "secret").string();
    maildir::MaildirStore::Create((dir / "Maildir").string());
    store_ = maildir::MaildirStore::Open((dir / "Maildir").string(), o);
  }
  ~MaildirStoreUnderTest() override { RestoreTmp(); }

  std::shared_ptr<om::NameSpace> Namespace() override { return store_; }

  std::shared_ptr<om::Item> AddMail(const std::string& folderName,
                                    const MailSpec& mailSpec) override {
    auto ref = store_->RefFor({folderName});
    store_->folders().Materialize(ref);
    std::string unique = maildir::NewUniqueName(1704189600 + serial_);
    std::string file = unique + ":2,S";
    std::ofstream(ref.dir + "/cur/" + file, std::ios::binary) << MimeMessageOf(mailSpec, serial_++);
    return HideAsSpecified(store_->MakeItem(ref, "cur", file), mailSpec);
  }

  std::shared_ptr<om::Item> Reopen(const std::shared_ptr<om::Item>& item) override {
    RestoreTmp();
    return StoreUnderTest::Reopen(item);
  }

  bool MakeNextSaveFail(const std::shared_ptr<om::Item>& item) override {
    // A tmp/ that is a file: the new message cannot be written anywhere.
    auto ref = store_->RefFor({item->Parent()->Name()});
    brokenTmp_ = ref.dir + "/tmp";
    fs::remove_all(brokenTmp_);
    std::ofstream(brokenTmp_) << "not a directory";
    return true;
  }

  bool MakeConflict(const std::shared_ptr<om::Item>& item) override {
    // A second copy of the message: what a crash between link and unlink leaves.
    auto ref = store_->RefFor({item->Parent()->Name()});
    for (const auto& e : fs::directory_iterator(ref.dir + "/cur")) {
      auto name = maildir::MaildirFileName::Parse(e.path().filename().string());
      if (name.unique != item->EntryID()) continue;
      name.info.reset();
      fs::copy_file(e.path(), ref.dir + "/new/" + name.ToString());
      return true;
    }
    return false;
  }

 private:
  void RestoreTmp() {
    if (brokenTmp_.empty()) return;
    fs::remove(brokenTmp_);
    fs::create_directory(brokenTmp_);
    brokenTmp_.clear();
  }

  fs::path dir_;
  std::shared_ptr<maildir::MaildirStore> store_;
  std::string brokenTmp_;
  int serial_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Maildir, StoreContractTest,
                         ::testing::Values(StoreParamOf<MaildirStoreUnderTest>("Maildir")),
                         StoreParamName);

}  // namespace
}  // namespace stow::contract
