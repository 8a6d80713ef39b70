#pragma once
// Saving a message into a Maildir folder, and finishing the saves a crash
// interrupted. What this promises: nothing is ever half-written, no version of a
// message is ever lost, the folder never holds two copies of a message nor none,
// and a rewrite replaces only the version it read.
//
// A NEW MESSAGE is written to tmp/, flushed, and renamed (never replacing) into
// cur/ under a fresh unique name with the flags "DS"; cur/ is flushed.
//
// A REWRITE is written to tmp/ and flushed with its note beside it
// ("tmp/.stowbright-replace-<new unique>": a second link to the new file, or on a
// file system without links a text naming the old file and the new inode). Then,
// under the folder's turn lock (an flock of its directory that the processes of
// this program take for the last look, the exchange and the rename), the old file
// is found again by its unique name, checked to be the version read, and exchanged
// with the new one in place (RENAME_EXCHANGE: the old name now holds the new
// message, tmp/ the old one). What the exchange took out is checked all the same
// (the displacement check): when it is not the version read, it is put back, or
// kept as a message of its own, and the save fails "changed by another program".
// The old name is then renamed to the new unique name (through a name that keeps
// the old unique part, so that watchers see a rename, not new mail), its flags
// kept, ",U=" and ",W=" dropped, ",S=" recomputed. Only once the folder holding the
// new name is flushed are the old content and the note removed from tmp/; with
// background flushes that tail runs on AfterSaveQueue (DrainSaves waits for it), and
// where the flush fails the old content and the note stay for a later listing.
//
// WHAT OTHER TOOLS SEE. The programs around a Maildir treat messages as immutable, so
// a rewrite is a new delivery: a new unique name whose leading seconds are the
// original delivery time, the old flags (":2,...") and mtime, no ",U=" and no ",W=",
// ",S=<size>" only when the old name had one. Dovecot sees one message expunged and
// one new message (new UID, same flags, same received date); mbsync sees a new
// message without a UID to propagate and the old one gone (it expunges or
// re-uploads per its Expunge/Create settings); notmuch sees the old file removed and
// a new file of the same Message-ID (same thread, same tags after `notmuch new`).
//
// AN INTERRUPTED SAVE. A writer killed between the exchange and the rename leaves
// the new message under the old name with its note: FinishInterruptedSaves (run
// when a folder's items are first listed) gives it its new name, and removes what is
// left in tmp/ (the old content, or a new message that never got in). Only the notes
// and temporaries of a writer of this host that no longer runs are touched.

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/maildir/maildir_files.h"

namespace stow::maildir {

// Serialises the new message to the descriptor (raising when it cannot).
using WriteBytes = std::function<void(int fd)>;

struct SaveHooks {
  // Called with the new unique name before the file appears in the folder: a
  // watcher of the folder must not take it for new mail.
  std::function<void(const std::string& unique)> expectOwnFile;
  // Runs in a rewrite between its last look at the message and the exchange.
  std::function<void()> beforeExchange;
  // The tail of a rewrite runs on AfterSaveQueue instead of before returning.
  bool backgroundFlushes = false;
};

// Saves a new message into the Maildir dir; returns where it is. Raises (with the
// file system's number) when it cannot be written or put in place; nothing is left
// behind then.
Entry SaveNewMessage(const std::string& dir, const WriteBytes& write, const SaveHooks& hooks);

// The message a rewrite replaces.
struct Replaced {
  std::string dir;                   // its Maildir
  Entry at;                          // where it was last seen
  struct stat st {};                 // its status then: the new file keeps its mode and times
  std::optional<FileIdentity> read;  // the version read; nullopt: whatever is there
  std::string title;                 // names the item in errors
};

// Rewrites old with a new message (its unique name made from deliverySeconds);
// returns where the new message is: under its new unique name, or, when another
// program kept renaming it, under the old unique name (a later listing renames it).
// Raises, with the old message in place and nothing left behind: kObjectGone when it
// is gone, kItemInConflict when it is not the version read or kept being renamed,
// the file system's number when it cannot be written or exchanged.
Entry ReplaceMessage(const Replaced& old, std::int64_t deliverySeconds, const WriteBytes& write,
                     const SaveHooks& hooks);

// Raises kItemInConflict: the item named title was changed by another program
// since it was read, and was left unchanged.
[[noreturn]] void RaiseChanged(const std::string& title);

// Finishes or undoes what writers that ended left in dir/tmp/ (see above). Never
// raises; what it cannot finish now is left for a later call.
void FinishInterruptedSaves(const std::string& dir);

// Waits until the background ends of every save of the process are done.
void DrainSaves();

}  // namespace stow::maildir
