#pragma once
// Rewriting a message on an IMAP server without ever losing or doubling it.
//
// IMAP cannot change a message: a rewrite of UID u in folder F is APPEND of the new
// message (with u's flags and INTERNALDATE), then UID STORE u +FLAGS (\Deleted) and
// UID EXPUNGE u. A crash or a dropped connection in between would leave both copies,
// so each replacement is first written to a journal, one file per replacement in
// $XDG_STATE_HOME/stowbright/imap-journal/<account>/ (default ~/.local/state/...),
// flushed to disk before the APPEND starts. The file holds the folder, its
// UIDVALIDITY, u, a fingerprint of u (RFC822.SIZE, INTERNALDATE, SHA-256 of its
// header block), u's flags, and the new message itself, which carries a header
//   X-Stowbright-Replacement: <32 hex digits, unique to this replacement>
// (placed first; an older one from an earlier rewrite is dropped) by which UID
// SEARCH HEADER finds the new copy whatever became of the APPEND's answer.
//
// FINISHING (FinishInterrupted, and Replace itself after a dropped connection) looks
// at what the server holds:
//   new copy there, old there    -> the old one is marked \Deleted and UID EXPUNGEd
//   new copy there, old gone     -> done
//   no new copy, old there       -> the new message is appended from the journal
//                                   (the APPEND never happened or never completed),
//                                   then the old one goes
//   no new copy, old gone        -> someone else deleted the message; it is not
//                                   brought back
// and then removes the journal file. A second new copy (impossible unless the server
// misbehaves) is expunged, keeping the lowest UID.
// UIDVALIDITY CHANGED: the old UID no longer names anything. The new copy is still
// found by its header; the old message is found by its fingerprint among the
// messages of its size that lack the header (all of them equal: one is removed, so
// a message that was there twice stays twice, not three times). No fingerprint match
// means it is gone.
// A folder that no longer exists ends the entry (its messages are gone with it).
//
// Each journal file is locked (flock) by the process working on it, so a watcher
// and a command finishing each other's replacements at the same time cannot both
// append; a killed process's lock goes with it.
// Each message being replaced or finished is locked too (a lock file beside the
// journal), so two processes of this machine never replace the same message at once:
// the second finds it gone and raises kObjectGone.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/imap/connector.h"

namespace stow::imap {

inline constexpr char kReplacementHeader[] = "X-Stowbright-Replacement";

// $XDG_STATE_HOME/stowbright/imap-journal/<endpoint.FileKey()>, or the same under
// ~/.local/state.
std::string DefaultJournalDir(const Endpoint& endpoint);

// The points of a replacement that tests (and progress reports) can stop at.
enum class ReplaceStep {
  kRecorded,      // the journal entry is on disk; nothing sent yet
  kUploading,     // half of the APPEND's message has been sent (reported for
                  // messages over 4 KB: libetpan reports uploads in 4 KB steps)
  kAppended,      // the server answered the APPEND
  kMarkedDeleted  // the old message carries \Deleted; UID EXPUNGE is next
};

struct FinishReport {
  int finished = 0;                // replacements completed (old copy removed)
  int abandoned = 0;               // nothing left to do: message or folder gone, or done already
  int failed = 0;                  // refused by the server; kept for the next run
  std::vector<std::string> notes;  // one line per entry, for the user's log
};

class Replacer {
 public:
  // journalDir is made (0700) when missing.
  Replacer(Connector& conn, std::string journalDir);

  // Replaces message uid of mailbox by message (bytes of a whole RFC 5322 message;
  // bare line feeds become CR LF) and returns the new copy's UID. The new copy gets
  // the old one's flags (those set while it was being appended included) and its
  // INTERNALDATE. Raises ImapError kRefused with errnum::kObjectGone when the
  // folder's UIDVALIDITY is not uidValidity or the message is gone, and ImapError
  // when the replacement failed before anything reached the server. After a lost
  // connection the replacement is finished on a new one. Returns 0 when it could not
  // be finished once the APPEND may have reached the server: the entry stays in the
  // journal and the next run puts the new message in place, so the replacement
  // stands (what the message refers to must be kept); left() says why.
  // known: the message as read before with kFetchHeader, when the caller has it (its
  // header, size and date never change; its flags are read again after the APPEND).
  std::uint32_t Replace(const std::string& mailbox, std::uint32_t uidValidity, std::uint32_t uid,
                        std::string_view message, const FetchedMessage* known = nullptr);
  // Why the last Replace that returned 0 could not finish.
  const std::string& left() const { return left_; }

  // Finishes every replacement in the journal that no live process is working on.
  // An entry the server refuses (kRefused) is counted as failed and kept; an
  // unreachable server raises ImapError, leaving the rest for the next run.
  FinishReport FinishInterrupted();

  // Called at each ReplaceStep of Replace.
  std::function<void(ReplaceStep)> onStep;

  const std::string& journalDir() const { return dir_; }

 private:
  struct Entry;
  enum class Outcome { kFinished, kAbandoned };
  // Brings the server to the end state of entry; newUid is the new copy's UID
  // (0 when there is none) and note says what was done.
  Outcome Finish(Session& session, const Entry& entry, std::uint32_t& newUid, std::string& note);
  void Record(Entry& entry);
  void Forget(Entry& entry);

  Connector& conn_;
  std::string dir_;
  std::string left_;
};

}  // namespace stow::imap
