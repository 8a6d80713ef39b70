// The store contract on the in-memory store.

#include "contract/store_contract.h"
#include "platform/memory/memory_store.h"

namespace stow::contract {
namespace {

class MemoryStoreUnderTest : public StoreUnderTest {
 public:
  explicit MemoryStoreUnderTest(const std::filesystem::path&) {}
  std::shared_ptr<om::NameSpace> Namespace() override { return store_; }
  std::shared_ptr<om::Item> AddMail(const std::string& folderName,
                                    const MailSpec& mailSpec) override {
    mem::MailSpec m;
    m.messageClass = mailSpec.messageClass;
    m.subject = mailSpec.subject;
    m.htmlBody = mailSpec.htmlBody;
    m.body = mailSpec.textBody;
    for (const auto& a : mailSpec.attachments)
      m.attachments.push_back({a.fileName, a.bytes, a.contentId, a.hidden});
    return store_->AddMail(store_->Root()->Folders()->Item(folderName), m);
  }
  bool MakeNextSaveFail(const std::shared_ptr<om::Item>& item) override {
    store_->faults().FailSave(item->EntryID());
    return true;
  }
  bool MakeConflict(const std::shared_ptr<om::Item>& item) override {
    store_->faults().SetConflict(item->EntryID());
    return true;
  }

 private:
  std::shared_ptr<mem::MemoryStore> store_ = std::make_shared<mem::MemoryStore>();
};

INSTANTIATE_TEST_SUITE_P(Memory, StoreContractTest,
                         ::testing::Values(StoreParamOf<MemoryStoreUnderTest>("Memory")),
                         StoreParamName);

}  // namespace
}  // namespace stow::contract
