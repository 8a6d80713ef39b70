// The store contract on the IMAP store, against a private Dovecot (one server for the
// suite, a new account for each case). A failed save is an APPEND the server did not
// get; a conflict cannot happen on IMAP (a UID names one message).

#include "common/dovecot_server.h"
#include "contract/store_contract.h"
#include "platform/imap/imap_store.h"

namespace stow::contract {
namespace {

namespace fs = std::filesystem;
using stow::testing::DovecotServer;

constexpr int kAccounts = 40;  // one per case, all made at once (see AddUser)

DovecotServer& Server() {
  static std::unique_ptr<DovecotServer> server = [] {
    auto s = DovecotServer::Start();
    for (int i = 1; s && i <= kAccounts; ++i) s->AddUser("contract" + std::to_string(i), "secret");
    return s;
  }();
  return *server;
}

class ImapStoreUnderTest : public StoreUnderTest {
 public:
  explicit ImapStoreUnderTest(const fs::path& dir) {
    static int accounts = 0;
    std::string user = "contract" + std::to_string(++accounts % kAccounts + 1);
    imap::SessionOptions session;
    session.caFile = Server().caFile();
    session.timeout = std::chrono::seconds(5);
    imap::StoreOptions o;
    o.secretPath = (dir / "secret").string();
    o.journalDir = (dir / "journal").string();
    store_ = imap::ImapStore::Open(
        std::make_unique<imap::Connector>(
            imap::Endpoint::Parse("imaps://" + user +
                                  "@127.0.0.1:" + std::to_string(Server().imapsPort()) + "/"),
            "secret", session),
        o);
  }

  std::shared_ptr<om::NameSpace> Namespace() override { return store_; }

  std::shared_ptr<om::Item> AddMail(const std::string& folderName,
                                    const MailSpec& mailSpec) override {
    auto ref = store_->RefFor({folderName});
    store_->folders().Materialize(ref);
    auto made = store_->connector().Get().Append(ref.dir, MimeMessageOf(mailSpec, serial_),
                                                 {"\\Seen"}, {1704189600 + serial_, 60});
    ++serial_;
    return HideAsSpecified(store_->MakeItem(ref, made.uidValidity, made.uid), mailSpec);
  }

  bool MakeNextSaveFail(const std::shared_ptr<om::Item>&) override {
    store_->replacer().onStep = [this](imap::ReplaceStep step) {
      if (step != imap::ReplaceStep::kRecorded) return;
      store_->replacer().onStep = nullptr;
      throw imap::ImapError(imap::ImapError::Kind::kRefused, errnum::kFail,
                            "the server refused the APPEND");
    };
    return true;
  }

 private:
  std::shared_ptr<imap::ImapStore> store_;
  int serial_ = 0;
};

INSTANTIATE_TEST_SUITE_P(
    Imap, StoreContractTest,
    ::testing::Values(StoreParamOf<ImapStoreUnderTest>("Imap", DovecotServer::MissingReason)),
    StoreParamName);

}  // namespace
}  // namespace stow::contract
