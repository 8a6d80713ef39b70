#pragma once
// The mail store over an IMAP account: the object model of mime_store.h with the
// messages on the server. The item core (maildir/mime_item.h) is the Maildir store's;
// ImapMessage is its message storage, and the server is reached through a Connector
// (a dropped connection is opened again) and rewritten through the Replacer's
// journal (replacement.h).
//
// FOLDERS are the account's mailboxes (LIST), named by their decoded names split at
// the server's delimiter; INBOX is the Inbox, and a mailbox below it is a folder below
// the Inbox. The default folders are found as in a Maildir (maildir_folders.h); one
// that is missing is made (CREATE) the first time something is written into it.
//
// ITEMS are named by UIDVALIDITY and UID: EntryID "<uidvalidity>-<uid>". A rewrite
// gives the item a new UID (APPEND of the new message, then the old one is expunged,
// see replacement.h); a UIDVALIDITY that changed makes every item read before it gone
// (kObjectGone). Delete moves the message to Deleted Items (UID MOVE, else UID COPY
// and UID EXPUNGE of that message alone); from Deleted Items it is expunged.
//
// NEW MAIL: ItemAdd polls the folder (UID SEARCH of the UIDs above the last seen)
// every StoreOptions::pollInterval on platform::Platform().loop, and at once when the
// folder's IDLE, on a second connection of the watch's own, says the server has news;
// messages this store appended (rewrites, new mail) are not new mail. The IDLE is
// renewed every StoreOptions::idleRenewal; a server without IDLE is only polled. A
// dropped connection is opened again after the Connector's pauses (the IDLE one on a
// loop timer, polling meanwhile); a poll that still fails is told (onNotice) and the
// next one tries again. A UIDVALIDITY that changed starts the watch over from the end.
//
// SPEED: a walk of a folder lists its UIDs once (UID SEARCH) and fetches headers,
// flags, INTERNALDATE and sizes in batches of the listing (UID FETCH of many messages
// at once); a body asked for brings the bodies of the next messages of the walk with
// it, up to StoreOptions::readAheadBytes. Messages are handed to the item core with
// LF line ends, as a Maildir keeps them (an APPEND sends them with CR LF again).

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/imap/connector.h"
#include "platform/imap/replacement.h"
#include "platform/maildir/mime_store.h"

namespace stow::imap {

class ImapTree;

struct StoreOptions {
  // Empty: the account, "user@host".
  std::string displayName;
  // Empty: HeaderAuth::DefaultPath().
  std::string secretPath;
  bool newSecret = false;
  // Empty: DefaultJournalDir(endpoint).
  std::string journalDir;
  // At most this many bytes of bodies are fetched ahead of the one asked for.
  std::uint64_t readAheadBytes = std::uint64_t{32} << 20;
  // How often a folder whose ItemAdd is watched is asked for new mail.
  std::chrono::milliseconds pollInterval{30000};
  // How often a watch's IDLE is ended and begun again: servers may end one left
  // for 30 minutes.
  std::chrono::milliseconds idleRenewal{std::chrono::minutes(25)};
};

class ImapStore : public maildir::MimeStore {
 public:
  // Opens the account conn reaches (conn is opened at once, so a wrong password or an
  // unreachable server raises here), finishes the rewrites an earlier run left in the
  // journal (Finished() tells what was done), and opens the store secret. Raises
  // ImapError or ComError.
  static std::shared_ptr<ImapStore> Open(std::unique_ptr<Connector> conn,
                                         StoreOptions options = {});
  ~ImapStore() override;

  std::string Location() const override { return conn_->endpoint().Url(); }
  std::optional<maildir::scan::HeaderText> KnownHeader(const std::string& mailbox,
                                                       const std::string& entryId) override;
  const FinishReport& Finished() const { return finished_; }
  Connector& connector() { return *conn_; }
  Replacer& replacer() { return *replacer_; }

  // --- ItemHost
  std::unique_ptr<maildir::MessageStorage> NewMailStorage() override;

  // --- FolderHost
  const maildir::FolderTree& folders() const override;
  std::shared_ptr<om::Items> FolderItems(const maildir::FolderRef& ref) override;

  // --- for the store's own objects
  // What the store knows of one message: its summary once fetched, its body once
  // fetched ahead (taken by its first reader).
  struct Known {
    FetchedMessage summary;  // uid 0 until fetched
    std::string body;
    bool hasBody = false;
  };
  std::shared_ptr<om::Item> MakeItem(const maildir::FolderRef& ref, std::uint32_t uidValidity,
                                     std::uint32_t uid);
  // The UIDVALIDITY and UIDs of mailbox now (the walk order for the read-ahead).
  std::pair<std::uint32_t, std::vector<std::uint32_t>> List(const std::string& mailbox);
  // The summary (flags, INTERNALDATE, size, header) of uid, fetched with the next ones
  // of the last listing. Raises kObjectGone when the message is not there.
  const FetchedMessage& Summary(const std::string& mailbox, std::uint32_t uidValidity,
                                std::uint32_t uid);
  // The whole message (LF line ends), fetched with the next ones of the last listing.
  std::string Body(const std::string& mailbox, std::uint32_t uidValidity, std::uint32_t uid);
  // Whether this store removed uid (deleted, moved or rewritten) since it was listed.
  bool Removed(const std::string& mailbox, std::uint32_t uid) const;
  void NoteRemoved(const std::string& mailbox, std::uint32_t uid);
  // uid was appended by this store: it is not new mail.
  void NoteOwn(const std::string& mailbox, std::uint32_t uid) { boxes_[mailbox].own.insert(uid); }
  bool IsOwn(const std::string& mailbox, std::uint32_t uid) const {
    auto it = boxes_.find(mailbox);
    return it != boxes_.end() && it->second.own.count(uid) > 0;
  }
  const StoreOptions& options() const { return options_; }
  // Runs op on a session with mailbox open at uidValidity (0: whatever it is).
  template <class F>
  auto InMailbox(const std::string& mailbox, std::uint32_t uidValidity, F&& op) {
    return conn_->Run([&](Session& s) {
      if (uidValidity)
        OpenExpecting(s, mailbox, uidValidity);
      else if (!s.selected() || s.selected()->name != mailbox)
        s.Select(mailbox);
      return op(s);
    });
  }
  static std::string EntryIdOf(std::uint32_t uidValidity, std::uint32_t uid) {
    return std::to_string(uidValidity) + "-" + std::to_string(uid);
  }

 private:
  ImapStore(std::unique_ptr<Connector> conn, StoreOptions options, maildir::HeaderAuth auth);
  std::shared_ptr<ImapStore> Self();
  struct Mailbox {
    std::uint32_t uidValidity = 0;
    std::vector<std::uint32_t> order;  // the last listing
    std::map<std::uint32_t, Known> known;
    std::set<std::uint32_t> removed;
    std::set<std::uint32_t> own;
  };
  Mailbox& CacheOf(const std::string& mailbox, std::uint32_t uidValidity);
  // uid and those after it in the listing that want what want says, up to the limits.
  std::vector<std::uint32_t> Ahead(Mailbox& box, std::uint32_t uid, bool bodies) const;

  std::unique_ptr<Connector> conn_;
  std::unique_ptr<Replacer> replacer_;
  std::unique_ptr<ImapTree> tree_;
  StoreOptions options_;
  FinishReport finished_;
  std::map<std::string, Mailbox> boxes_;
  std::map<std::string, std::weak_ptr<om::Items>> items_;
};

}  // namespace stow::imap
