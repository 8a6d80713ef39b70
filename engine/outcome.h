#pragma once
// What the engine did to each item it was given: the files it saved, the
// attachments it left in the mail and why, what it put back and from where, the
// saved files it moved to the trash, what it could not do, or why it left the item
// as it was. The engine hands one ItemOutcome per item (per call of a routine that
// works on an item) to modGlobal::objOutcomeSink, which the host wires; a host
// without one gets nothing, and the engine behaves the same.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/object_model.h"

namespace stow {

struct ItemOutcome {
  // "detach", "reattach", "remove-links", "attach-files", "delete", "copy",
  // "remove-attachments", "verify", "relink".
  std::string action;
  std::string entryId;
  std::string subject;

  // Why the item was left exactly as it was; kNone when it was worked on.
  enum class Left {
    kNone,
    kNotMail,            // not a mail or post item (or gone)
    kSignedOrEncrypted,  // changing it would break its signature or encryption
    kNothingToDo,        // nothing to detach, no records, nothing asked
    kNoFolder,           // no usable attachment folder (missing, cancelled, refused)
    kDeclined,           // the user answered No
    kFailed,             // a step failed; see failed
    kNotReached,         // the host's command stopped before it (cancelled, declined)
  };
  Left left = Left::kNone;
  std::string leftReason;  // in words, for the user

  struct File {
    std::string path;
    std::string name;  // the attachment's name
    std::int64_t bytes = -1;
    // A second name of a file of the same bytes saved before: nothing new was
    // written to disk for it.
    bool linked = false;
  };
  struct Kept {
    std::string name;
    std::string reason;
  };
  struct Reattached {
    std::string name;
    std::string from;  // the file it was taken from
    bool fromTrash = false;
  };
  struct Problem {
    std::string what;  // an attachment name, a path, or "the item"
    std::string reason;
  };
  // verify: one entry per record.
  struct Checked {
    std::string path;
    std::string name;
    enum class State { kPresent, kMissing, kSizeDiffers } state = State::kPresent;
    std::int64_t recordedBytes = -1;  // -1: the record does not say
    std::int64_t actualBytes = -1;
    std::string inTrash;  // where a missing file is in the trash, "" when it is not
  };
  struct Moved {
    std::string from, to;
  };

  std::vector<File> saved;             // files written (detach, copy)
  std::vector<Kept> kept;              // attachments left in the mail on purpose
  std::vector<Reattached> reattached;  // attachments put back into the item
  std::vector<std::string> trashed;    // saved files moved to the trash
  std::vector<std::string> unlinked;   // saved files whose links left the body
  std::vector<Checked> checked;        // verify
  std::vector<Moved> relinked;         // relink: records pointed at the new place
  std::vector<Problem> failed;         // what could not be done, and why
  bool itemChanged = false;            // the item was saved (or deleted)
  bool dryRun = false;                 // only looked at: saved holds what would be
};

class OutcomeSink {
 public:
  virtual ~OutcomeSink() = default;
  virtual void Report(const ItemOutcome& outcome) = 0;
};

// A sink that keeps every outcome, in order.
class OutcomeList : public OutcomeSink {
 public:
  void Report(const ItemOutcome& outcome) override { items.push_back(outcome); }
  std::vector<ItemOutcome> items;
};

// One item's outcome while a routine works on it; handed to the sink when the
// routine leaves (on every path, an error included).
class OutcomeReport {
 public:
  OutcomeReport(const char* action, const std::shared_ptr<om::Item>& item);
  ~OutcomeReport();
  OutcomeReport(const OutcomeReport&) = delete;
  OutcomeReport& operator=(const OutcomeReport&) = delete;

  ItemOutcome* operator->() { return &outcome_; }
  ItemOutcome& operator*() { return outcome_; }
  // The item is left as it was, for this reason.
  void Leave(ItemOutcome::Left why, const std::string& reason);
  void Fail(const std::string& what, const std::string& reason);

 private:
  ItemOutcome outcome_;
};

}  // namespace stow
