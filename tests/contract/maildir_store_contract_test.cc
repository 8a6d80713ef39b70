// The store contract on the Maildir store: every mail is a real MIME file in a
// Maildir++ tree, and the failures are real ones (a tmp/ that is not a directory,
// a second copy of a message).

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "common/mime_message.h"
#include "contract/store_contract.h"
#include "platform/maildir/maildir_names.h"
#include "platform/maildir/maildir_store.h"

namespace stow::contract {
namespace {

namespace fs = std::filesystem;

std::string TextPart(const std::string& subtype, const std::string& text) {
  return "Content-Type: text/" + subtype +
         "; charset=utf-8\nContent-Transfer-Encoding: base64\n\n" +
         stow::testing::Base64(text, "\n");
}

std::string BuildMessage(const MailSpec& mailSpec, int serial) {
  std::string body;
  if (!mailSpec.htmlBody.empty() && !mailSpec.textBody.empty()) {
    body = "Content-Type: multipart/alternative; boundary=\"alt-" + std::to_string(serial) +
           "\"\n\n--alt-" + std::to_string(serial) + "\n" + TextPart("plain", mailSpec.textBody) +
           "--alt-" + std::to_string(serial) + "\n" + TextPart("html", mailSpec.htmlBody) +
           "--alt-" + std::to_string(serial) + "--\n";
  } else if (!mailSpec.htmlBody.empty()) {
    body = TextPart("html", mailSpec.htmlBody);
  } else {
    body = TextPart("plain", mailSpec.textBody);
  }
  if (!mailSpec.attachments.empty()) {
    std::string b = "mix-" + std::to_string(serial);
    std::string mixed =
        "Content-Type: multipart/mixed; boundary=\"" + b + "\"\n\n--" + b + "\n" + body;
    for (const auto& a : mailSpec.attachments) {
      std::string type = a.fileName.ends_with(".txt") ? "text/plain" : "application/octet-stream";
      mixed += "--" + b + "\nContent-Type: " + type +
               "\nContent-Disposition: " + (a.contentId.empty() ? "attachment" : "inline") +
               "; filename*=" + stow::testing::Rfc2231(a.fileName) +
               "\nContent-Transfer-Encoding: base64\n";
      if (!a.contentId.empty()) mixed += "Content-ID: <" + a.contentId + ">\n";
      mixed += "\n" + stow::testing::Base64(a.bytes, "\n");
    }
    body = mixed + "--" + b + "--\n";
  }
  return "Message-ID: <contract-" + std::to_string(serial) +
         "@example.org>\nDate: Tue, 02 Jan 2024 10:00:00 +0000\nFrom: Ann <ann@example.org>\n"
         "To: Bob <bob@example.org>\nSubject: =?utf-8?b?" +
         stow::testing::Base64(mailSpec.subject, "") + "?=\nMIME-Version: 1.0\n" + body;
}

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
    std::ofstream(ref.dir + "/cur/" + file, std::ios::binary) << BuildMessage(mailSpec, serial_++);
    auto item = store_->MakeItem(ref, "cur", file);
    bool anyHidden = false;
    auto all = item->Attachments()->All();
    for (std::size_t i = 0; i < mailSpec.attachments.size() && i < all.size(); ++i) {
      if (mailSpec.attachments[i].hidden) {
        all[i]->SetField(om::PR_ATTACHMENT_HIDDEN, true);
        anyHidden = true;
      }
    }
    if (anyHidden) item->Save();
    return item;
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
                         ::testing::Values(StoreParam{
                             "Maildir",
                             [](const fs::path& dir) -> std::unique_ptr<StoreUnderTest> {
                               return std::make_unique<MaildirStoreUnderTest>(dir);
                             }}),
                         StoreParamName);

}  // namespace
}  // namespace stow::contract
