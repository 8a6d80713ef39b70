// The mail item over a storage that is no Maildir (as an IMAP store will give it):
// the message's bytes held in memory and read through a descriptor. An item that
// reached around the storage seam for a file would fail here.

#include <sys/mman.h>
#include <unistd.h>

#include "maildir/maildir_fixture.h"
#include "platform/maildir/header_auth.h"
#include "platform/maildir/mime_item.h"

namespace stow::maildir::testing {
namespace {

class MemoryMessage : public MessageStorage {
 public:
  explicit MemoryMessage(std::string bytes)
      : bytes_(std::move(bytes)), version_(bytes_.empty() ? 0 : 1) {}

  std::string EntryId() const override { return version_ ? "uid" + std::to_string(version_) : ""; }
  std::string Describe() const override { return "memory " + EntryId(); }
  bool Gone() const override { return gone_; }
  std::shared_ptr<om::Folder> Folder() override { return nullptr; }
  bool InConflict() override { return false; }
  int Open() override {
    int fd = memfd_create("message", MFD_CLOEXEC);
    EXPECT_EQ(write(fd, bytes_.data(), bytes_.size()), static_cast<ssize_t>(bytes_.size()));
    lseek(fd, 0, SEEK_SET);
    return fd;
  }
  std::optional<std::int64_t> DeliveryTime() override { return 1704189600; }
  std::optional<std::int64_t> StoredTime() override { return std::nullopt; }
  std::string WorkFolder() const override { return g_get_tmp_dir(); }
  void CheckReplaceable(const std::string&) override {}
  void Replace(const std::string&, std::int64_t, const std::function<void(int)>& write) override {
    int fd = memfd_create("saved", MFD_CLOEXEC);
    write(fd);
    bytes_.assign(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)), '\0');
    EXPECT_EQ(pread(fd, bytes_.data(), bytes_.size(), 0), static_cast<ssize_t>(bytes_.size()));
    close(fd);
    ++version_;
  }
  void Delete(const std::function<std::int64_t()>&) override { gone_ = true; }
  void DeletePermanently() override { gone_ = true; }

  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
  int version_;
  bool gone_ = false;
};

class MemoryHost : public ItemHost {
 public:
  const HeaderAuth& auth() const override { return auth_; }
  std::string secretPath() const override { return "(memory)"; }
  void NoteUnverifiable(const std::string&) override {}
  bool IsUnverifiable(const std::string&) const override { return false; }
  void NoteSaveFailure(const std::string&) override {}
  std::unique_ptr<MessageStorage> NewMailStorage() override {
    return std::make_unique<MemoryMessage>("");
  }

 private:
  HeaderAuth auth_{std::string(64, 'k')};
};

struct Opened {
  MemoryMessage* message;
  std::shared_ptr<MimeItem> item;
};

Opened Open(const std::shared_ptr<MemoryHost>& host, const std::string& bytes) {
  auto storage = std::make_unique<MemoryMessage>(bytes);
  MemoryMessage* message = storage.get();
  return {message, std::make_shared<MimeItem>(host, std::move(storage))};
}

TEST_F(MaildirTest, TheItemDetachesAndRestoresOverAnotherStorage) {
  const std::string pdf = "%PDF-1.4 not a Maildir\n";
  auto host = std::make_shared<MemoryHost>();
  auto [message, item] =
      Open(host, kHead +
                     "Subject: over IMAP\nContent-Type: multipart/mixed; boundary=M\n\n"
                     "--M\nContent-Type: text/html\n\n<p>hello</p>\n--M\n"
                     "Content-Type: application/pdf; name=a.pdf\n"
                     "Content-Disposition: attachment; filename=a.pdf\n"
                     "Content-Transfer-Encoding: base64\n\n" +
                     Base64(pdf, "\n") + "--M--\n");
  EXPECT_EQ(item->Subject(), "over IMAP");
  EXPECT_EQ(item->BillingInformation(), "");
  EXPECT_EQ(item->ReceivedTime(), DateTime::FromUnix(1704189600));
  auto a = item->Attachments()->Item(1);
  a->SaveAsFile((dir_ / "a.pdf").string());
  a->Delete();
  item->SetHTMLBody("<p>hello</p><p>a.pdf saved</p>");
  item->SetBillingInformation("detached");
  item->Save();
  EXPECT_EQ(item->EntryID(), "uid2");
  EXPECT_EQ(message->bytes().find(Base64(pdf, "\n")), std::string::npos);

  // Read afresh, the records are the store's own; the saved file comes back as it was.
  auto [again, reread] = Open(host, message->bytes());
  EXPECT_EQ(reread->BillingInformation(), "detached");
  EXPECT_NE(reread->HTMLBody().find("a.pdf saved"), std::string::npos);
  EXPECT_EQ(reread->Attachments()->Count(), 0);
  reread->Attachments()->Add((dir_ / "a.pdf").string(), "a.pdf");
  reread->Save();
  EXPECT_NE(again->bytes().find("Content-Disposition: attachment; filename=a.pdf"),
            std::string::npos);
  EXPECT_EQ(again->bytes().find("X-Stowbright-Part"), std::string::npos);
}

}  // namespace
}  // namespace stow::maildir::testing
