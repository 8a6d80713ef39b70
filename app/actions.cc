#include "app/actions.h"

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "app/app_error.h"
#include "app/dispatch.h"
#include "app/interrupt.h"
#include "app/item_state.h"
#include "app/session.h"
#include "app/settings_watch.h"
#include "app/store_view.h"
#include "app/surface_commands.h"
#include "engine/naming.h"
#include "engine/outcome.h"
#include "engine/processEmail.h"
#include "engine/savedFiles.h"
#include "platform/com_error.h"
#include "platform/posix/poll_loop.h"
#include "support/attachmentFolders.h"
#include "support/cSettings.h"
#include "support/modGlobal.h"

namespace stow::app {

namespace {

namespace fs = std::filesystem;

struct Target {
  std::shared_ptr<om::Item> item;
  std::string entryId;
  ItemState before;
  ItemState after;
};

// Ctrl-C while a command runs: the batch window's Cancel when one is open (the item in
// hand is finished first); otherwise noted, and the command ends with 130 once the
// add-in has returned, so that nothing is left half-done.
class InterruptAsCancel {
 public:
  explicit InterruptAsCancel(Session&) {}
  bool Interrupted() const { return interrupt::Requested(); }
};

std::string Plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Joined(const std::set<std::string>& dirs) {
  std::string out;
  for (const auto& d : dirs) out += (out.empty() ? "" : ", ") + d;
  return out;
}

std::string EntryIdOf(const std::shared_ptr<om::Item>& item) {
  return ValueOr(std::string(), [&] { return item->EntryID(); });
}

// A saved item is a new file under a new name: each target is found again by the name
// the store gave its rewrite; one no longer in the folder is gone.
void ReadAfter(Session& session, const FolderEntry& folder, std::vector<Target>& targets) {
  std::string dir = FolderDir(session.store(), folder);
  std::map<std::string, std::shared_ptr<om::Item>> now;
  auto walk = folder.folder->Items()->Enumerate();
  while (auto item = walk->Next()) now[EntryIdOf(item)] = item;
  for (auto& t : targets) {
    std::string id = dir.empty() ? t.entryId : session.store().FollowRewrites(dir, t.entryId);
    auto it = now.find(id);
    if (it == now.end()) {
      t.after.gone = true;
      continue;
    }
    t.after = ReadState(it->second, folder.folderPath);
    it->second.reset();
  }
}

constexpr const char* kGoneBeforeRead =
    "it was moved, changed or deleted by another program before it could be read";

// An entry for a target the engine did not report on; named by its file where its
// subject was never read.
ItemOutcome Unreached(const Target& t, ItemOutcome::Left left, std::string reason) {
  ItemOutcome o;
  o.entryId = t.entryId;
  o.subject = t.before.subject.empty() && t.before.gone ? t.entryId : t.before.subject;
  o.left = left;
  o.leftReason = std::move(reason);
  return o;
}

struct Outcome {
  std::string summary;
  bool ok = true;
};

using Left = ItemOutcome::Left;

// What the engine reported for one command: every outcome counted as it comes,
// the outcomes themselves kept only where the command shows them one by one (--json,
// a dry run, the items of a selection). A whole folder counted without keeping them
// takes the same memory for ten items as for a hundred thousand.
struct Report {
  Report() = default;
  explicit Report(const std::vector<ItemOutcome>& all, bool folder = false) : wholeFolder(folder) {
    for (const auto& o : all) Add(o);
  }

  // The first names of a group, and how many it has.
  struct Names {
    std::vector<std::string> first;
    std::size_t count = 0;
  };
  static constexpr std::size_t kShown = 10;

  bool keep = true;
  bool wholeFolder = false;
  std::vector<ItemOutcome> items;  // the outcomes, when kept
  std::size_t reported = 0, changed = 0, undone = 0, withRecords = 0;
  std::size_t saved = 0, savedOfChanged = 0, reattachedOfChanged = 0, trashed = 0;
  std::uintmax_t savedBytes = 0, writtenBytes = 0;
  std::size_t linked = 0;
  std::set<std::string> savedDirs;
  std::vector<std::size_t> reached;  // the entry ids' hashes, in the order reported
  // Items left as they were, by (not done as asked, reason).
  std::map<std::pair<bool, std::string>, Names> left;
  std::vector<std::string> problems;  // "'subject': what: reason"
  std::vector<std::string> sealed;    // signed or encrypted, left as they are
  std::size_t notMail = 0;

  void Add(const ItemOutcome& o) {
    ++reported;
    changed += o.itemChanged;
    undone += Undone(o);
    withRecords += o.left != Left::kNothingToDo;
    if (o.itemChanged) savedOfChanged += o.saved.size(), reattachedOfChanged += o.reattached.size();
    saved += o.saved.size();
    trashed += o.trashed.size();
    for (const auto& f : o.saved) {
      std::uintmax_t bytes = f.bytes > 0 ? static_cast<std::uintmax_t>(f.bytes) : 0;
      savedBytes += bytes;
      writtenBytes += f.linked ? 0 : bytes;
      linked += f.linked;
      savedDirs.insert(fs::path(f.path).parent_path().string());
    }
    reached.push_back(std::hash<std::string>()(o.entryId));
    for (const auto& f : o.failed)
      problems.push_back("'" + o.subject + "': " + f.what + ": " + f.reason);
    if (o.left == Left::kSignedOrEncrypted) sealed.push_back("'" + o.subject + "'");
    notMail += o.left == Left::kNotMail;
    if (o.left != Left::kNone && o.left != Left::kSignedOrEncrypted) {
      // An item named on the command line that is no mail was not done as asked; in
      // a whole folder it is only passed over.
      bool notDone = Undone(o) || (!wholeFolder && o.left == Left::kNotMail);
      Names& names = left[{notDone, o.leftReason}];
      if (names.first.size() < kShown) names.first.push_back(o.subject);
      ++names.count;
    }
    if (keep) items.push_back(o);
  }
  // An item asked for that the engine could not do as asked.
  static bool Undone(const ItemOutcome& o) {
    return !o.failed.empty() || o.left == Left::kFailed || o.left == Left::kNoFolder ||
           o.left == Left::kNotReached;
  }
};

std::string FilesAndBytes(std::size_t files, std::uintmax_t bytes) {
  return Plural(files, "file", "files") + " (" + std::to_string(bytes) + " bytes)";
}

// ", 1234 bytes newly written": what the files took on disk, where some were stored
// as second names of identical files.
std::string WrittenBytes(const Report& r) {
  if (r.saved == 0) return "";
  return "; " + std::to_string(r.writtenBytes) + " bytes newly written" +
         (r.linked == 0 ? std::string()
                        : " (" + Plural(r.linked, "file", "files") +
                              " stored once, as a second name of an identical file)");
}

Outcome DetachOutcome(const Report& r, std::size_t targets) {
  std::size_t changed = r.changed;
  std::size_t files = r.savedOfChanged;
  Outcome o;
  o.ok = r.undone == 0;
  if (changed == 0 && o.ok) {
    o.summary = "Nothing to detach: " + Plural(targets, "item has", "items have") +
                " no attachments to detach";
    return o;
  }
  const auto& dirs = r.savedDirs;
  o.summary = "Detached " + FilesAndBytes(files, r.savedBytes) + " from " +
              std::to_string(changed) + " of " + Plural(targets, "item", "items") +
              (dirs.empty() ? std::string() : " into " + Joined(dirs)) + WrittenBytes(r);
  return o;
}

Outcome ReattachOutcome(const Report& r, std::size_t targets) {
  // An item without records has nothing to put back; every other one was detached.
  std::size_t candidates = r.withRecords;
  std::size_t changed = r.changed;
  std::size_t files = r.reattachedOfChanged;
  Outcome o;
  if (candidates == 0) {
    o.summary = "Nothing to re-attach: none of the " + Plural(targets, "item was", "items were") +
                " detached";
    return o;
  }
  o.summary = "Re-attached " + Plural(files, "file", "files") + " to " + std::to_string(changed) +
              " of " + Plural(candidates, "detached item", "detached items");
  o.ok = r.undone == 0;
  return o;
}

// The links the engine took out, item by item. It reports no item it finds nothing to
// do in (no records): one that had a link block and was not changed is named in r,
// with what the mail shows afterwards.
Outcome RemoveLinksOutcome(const std::vector<Target>& targets, Report& r) {
  std::set<std::string> unlinkedFrom;
  std::size_t links = 0;
  for (const auto& o : r.items)
    if (o.itemChanged && !o.unlinked.empty()) {
      unlinkedFrom.insert(o.entryId);
      links += o.unlinked.size();
    }
  std::size_t candidates = 0;
  bool unread = false;
  for (const auto& t : targets) {
    if (t.before.gone) {
      unread = true;
      r.Add(Unreached(t, Left::kFailed, kGoneBeforeRead));
      continue;
    }
    if (!t.before.hasLinkBlock) continue;
    ++candidates;
    if (unlinkedFrom.count(t.entryId)) continue;
    r.Add(Unreached(
        t, Left::kFailed,
        t.after.gone ? "it was moved or deleted meanwhile" : "its links are still in it"));
  }
  Outcome o;
  if (candidates == 0) {
    o.summary =
        "Nothing to do: none of the " + Plural(targets.size(), "item has", "items have") + " links";
    o.ok = !unread;
    return o;
  }
  o.summary = "Removed " + Plural(links, "link", "links") + " from " +
              std::to_string(unlinkedFrom.size()) + " of " + Plural(candidates, "item", "items") +
              "; the files stay where they are";
  o.ok = unlinkedFrom.size() >= candidates && !unread;
  return o;
}

Outcome DeleteOutcome(const Report& r, std::size_t targets) {
  std::size_t deleted = r.changed;
  std::size_t files = r.trashed;
  Outcome o;
  o.summary = "Deleted " + std::to_string(deleted) + " of " + Plural(targets, "item", "items") +
              " for good and moved " + Plural(files, "saved file", "saved files") + " to the trash";
  o.ok = deleted == targets && r.undone == 0;
  return o;
}

Outcome CopyOutcome(const Report& r, std::size_t targets) {
  std::size_t files = r.saved;
  const auto& dirs = r.savedDirs;
  Outcome o;
  o.summary = "Copied " + FilesAndBytes(files, r.savedBytes) + " from " +
              Plural(targets, "item", "items") +
              (dirs.empty() ? std::string() : " to " + Joined(dirs)) + "; the items are unchanged";
  o.ok = r.undone == 0;
  return o;
}

// What happened under any control id: one line per kind of work the engine did.
Outcome WorkOutcome(const Report& r, const std::string& heading) {
  Outcome o;
  o.summary = heading;
  std::map<std::string, Report> byAction;
  for (const auto& item : r.items) byAction[item.action].Add(item);
  for (const auto& [action, part] : byAction) {
    std::size_t changed = part.changed;
    std::string line;
    if (action == "detach")
      line = "detached " + FilesAndBytes(part.savedOfChanged, part.savedBytes);
    else if (action == "reattach" || action == "attach-files")
      line = "re-attached " + Plural(part.reattachedOfChanged, "file", "files");
    else if (action == "copy")
      line = "copied " + FilesAndBytes(part.saved, part.savedBytes);
    else if (action == "delete")
      line = "deleted " + Plural(changed, "item", "items") + " and moved " +
             Plural(part.trashed, "saved file", "saved files") + " to the trash";
    else if (action == "remove-attachments")
      line = "removed the attachments without saving them";
    else if (action == "remove-links")
      line = "removed the links";
    else
      line = action;
    o.summary += "\n  " + line + ": " + std::to_string(changed) + " of " +
                 Plural(part.items.size(), "item", "items") + " changed";
  }
  if (r.items.empty()) o.summary += ": no item was changed";
  o.ok = r.undone == 0;
  return o;
}

// The names of a group, the first few only when it is long.
std::string NameList(const Report::Names& names) {
  std::string out;
  for (std::size_t i = 0; i < names.first.size(); ++i)
    out += (i ? ", '" : "'") + names.first[i] + "'";
  if (names.count > names.first.size())
    out += " and " + std::to_string(names.count - names.first.size()) + " more";
  return out;
}

// Names the items left as they were, grouped by the engine's reason (signed or
// encrypted mail apart, see ReportProblems): those not done as asked as errors, the
// rest in the summary.
void ReportLeft(const Report& r) {
  for (const auto& [key, names] : r.left)
    (key.first ? std::cerr << "stowbright: " : std::cout)
        << "Left " << Plural(names.count, "item", "items") << " unchanged (" << key.second
        << "): " << NameList(names) << "\n";
}

nlohmann::json OutcomeJson(const ItemOutcome& o) {
  using nlohmann::json;
  json j = {{"action", o.action},          {"entry_id", o.entryId},  {"subject", o.subject},
            {"changed", o.itemChanged},    {"saved", json::array()}, {"kept", json::array()},
            {"reattached", json::array()}, {"removed", o.trashed},   {"failed", json::array()},
            {"unlinked", o.unlinked}};
  if (o.dryRun) j["dry_run"] = true;
  if (o.left != Left::kNone) j["left_unchanged"] = o.leftReason;
  for (const auto& f : o.saved)
    j["saved"].push_back(
        {{"path", f.path}, {"name", f.name}, {"bytes", f.bytes}, {"stored_once", f.linked}});
  for (const auto& k : o.kept) j["kept"].push_back({{"name", k.name}, {"reason", k.reason}});
  for (const auto& a : o.reattached)
    j["reattached"].push_back({{"name", a.name}, {"from", a.from}, {"from_trash", a.fromTrash}});
  for (const auto& f : o.failed) j["failed"].push_back({{"what", f.what}, {"reason", f.reason}});
  return j;
}

void PrintJson(const Outcome& outcome, const Report& r, int status) {
  nlohmann::json items = nlohmann::json::array();
  for (const auto& o : r.items) items.push_back(OutcomeJson(o));
  nlohmann::json out = {{"summary", outcome.summary},
                        {"exit_status", status},
                        {"bytes_detached", r.savedBytes},
                        {"bytes_written", r.writtenBytes},
                        {"items", items}};
  std::cout << out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

// What a detach would do, asked of the engine item by item; changes nothing.
int DryRun(Session& session, const std::vector<Target>& targets) {
  NamePreview preview;
  for (const auto& t : targets)
    if (t.item && !t.before.gone) PreviewProcessEmail(t.item, preview);
  Report r{session.Outcomes()};
  bool json = session.options().json;
  std::size_t files = r.saved;
  bool drawn = false;
  if (!json) std::cout << "Dry run: nothing is changed.\n";
  for (const auto& o : r.items) {
    if (json) break;
    std::cout << o.subject << "\n";
    for (const auto& f : o.saved) {
      std::cout << "  save   " << f.name << " -> " << f.path << " (" << f.bytes << " bytes)\n";
      drawn = drawn || f.path.find(kRandomPlaceholder) != std::string::npos;
    }
    for (const auto& k : o.kept) std::cout << "  keep   " << k.name << " (" << k.reason << ")\n";
    for (const auto& f : o.failed) std::cout << "  fail   " << f.what << " (" << f.reason << ")\n";
    if (o.left != Left::kNone) std::cout << "  left unchanged: " << o.leftReason << "\n";
  }
  const auto& dirs = r.savedDirs;
  Outcome summary;
  summary.summary =
      "Would detach " + FilesAndBytes(files, r.savedBytes) + " from " +
      Plural(static_cast<std::size_t>(std::count_if(
                 r.items.begin(), r.items.end(), [](const auto& o) { return !o.saved.empty(); })),
             "item", "items") +
      (dirs.empty() ? std::string() : " into " + Joined(dirs));
  int status = r.undone == 0 ? exitcode::kOk : exitcode::kFailed;
  session.Shutdown();
  if (json) {
    PrintJson(summary, r, status);
    return status;
  }
  if (drawn)
    std::cout << "(" << kRandomPlaceholder
              << " stands for a number drawn when the file is saved)\n";
  std::cout << summary.summary << "\n";
  return status;
}

struct CommandIds {
  const char* explorer;
  const char* inspector;
};

CommandIds IdsFor(const std::string& command) {
  if (command == "detach") return {"cmdStripAttachments", "cmdDetach"};
  if (command == "detach-to") return {"cmdDetachToACustomFolder", "cmdDetachToACustomFolder"};
  if (command == "reattach") return {"cmdReInstateAttachments", "cmdReAttach"};
  if (command == "remove-links") return {"cmdRemoveLinks", "cmdRemoveLinks"};
  if (command == "delete") return {"cmdDeleteItems", "cmdDelete"};
  if (command == "copy") return {"cmdCopyAttachmentsToFolder", "cmdCopyAttachmentsToFolder"};
  if (command == "detach-all") return {"cmdStripAttachmentsFolder", "cmdStripAttachmentsFolder"};
  if (command == "reattach-all")
    return {"cmdReInstateAttachmentsFolder", "cmdReInstateAttachmentsFolder"};
  throw AppError(exitcode::kUsage, "unknown command " + command);
}

// Names what the engine could not do, and the signed or encrypted mail it left as it
// was: for a whole folder in the summary (toOut), for items asked for by name as a
// failure. True when something asked for was not done.
bool ReportProblems(const Report& r, bool toOut = true) {
  for (const auto& line : r.problems) std::cerr << "stowbright: " << line << "\n";
  // An item named on the command line that is no mail was not done as asked.
  bool problems = !r.problems.empty() || (r.notMail > 0 && !r.wholeFolder);
  const auto& sealed = r.sealed;
  bool wholeFolder = r.wholeFolder;
  if (sealed.empty()) return problems;
  if (wholeFolder) {
    std::string names;
    for (const auto& n : sealed) names += (names.empty() ? "" : ", ") + n;
    if (toOut)
      std::cout << "Left "
                << Plural(sealed.size(), "signed or encrypted mail", "signed or encrypted mails")
                << " as " << (sealed.size() == 1 ? "it is: " : "they are: ") << names << "\n";
    return problems;
  }
  for (const auto& n : sealed)
    std::cerr << "stowbright: " << n << " is signed or encrypted: left as it is\n";
  return true;
}

// Why the engine never saw an item the command was given.
std::string WhyUnreached(TerminalToolkit& tk) {
  if (interrupt::Requested()) return "Ctrl-C stopped the command before it";
  if (tk.BatchCancelled()) return "the batch was cancelled before it";
  if (tk.QuestionsAnsweredNo() > 0) return "the question was answered No";
  if (tk.FolderPromptsCancelled() > 0) return "no folder was chosen";
  if (tk.CriticalMessages() > 0) return "the command stopped at the message above";
  return "the command did not reach it";
}

ItemOutcome Unreached(Session& session, const std::string& entryId, const std::string& subject) {
  ItemOutcome unreached;
  unreached.entryId = entryId;
  unreached.subject = subject;
  unreached.left = Left::kNotReached;
  unreached.leftReason = WhyUnreached(session.toolkit());
  return unreached;
}

std::size_t IdHash(const std::string& entryId) {
  return std::hash<std::string>()(entryId);
}

// The engine's report with an entry for each item it never saw.
Report Reached(Session& session, const std::vector<Target>& targets) {
  Report r{session.Outcomes()};
  auto reached = r.reached;
  std::sort(reached.begin(), reached.end());
  // The engine names an item it found gone by no id: each such report stands for one
  // of the targets that went before they were read, and already says why.
  auto nameless = std::count(reached.begin(), reached.end(), IdHash(""));
  for (const auto& t : targets) {
    if (std::binary_search(reached.begin(), reached.end(), IdHash(t.entryId))) continue;
    if (t.before.gone && nameless > 0) {
      --nameless;
      continue;
    }
    // One that went between the listing and the reading was asked for all the same.
    r.Add(t.before.gone ? Unreached(t, Left::kNotReached, kGoneBeforeRead)
                        : Unreached(session, t.entryId, t.before.subject));
  }
  return r;
}

// Prints what the command did (text or --json) and gives its exit status.
int Conclude(Session& session, Outcome o, const Report& r, const InterruptAsCancel& interrupt) {
  auto& tk = session.toolkit();
  if (tk.BatchCancelled()) o.summary += " (cancelled)";
  bool json = session.options().json;
  bool problems = ReportProblems(r, !json);
  int status = exitcode::kOk;
  if (interrupt.Interrupted())
    status = exitcode::kInterrupted;
  else if (!o.ok || problems || tk.BatchCancelled() || tk.CriticalMessages() > 0 ||
           tk.FolderPromptsCancelled() > 0 ||
           (session.options().command == "delete" && tk.QuestionsAnsweredNo() > 0))
    status = exitcode::kFailed;
  if (json) {
    PrintJson(o, r, status);
    return status;
  }
  std::cout << o.summary << "\n";
  ReportLeft(r);
  return status;
}

Outcome CommandOutcome(const std::string& command, Report& r, std::size_t n,
                       const std::vector<Target>* targets) {
  Outcome o;
  if (command == "detach" || command == "detach-to" || command == "detach-all")
    o = DetachOutcome(r, n);
  else if (command == "reattach" || command == "reattach-all")
    o = ReattachOutcome(r, n);
  else if (command == "remove-links")
    o = RemoveLinksOutcome(*targets, r);
  else if (command == "delete")
    o = DeleteOutcome(r, n);
  else
    o = CopyOutcome(r, n);
  return o;
}

int Finish(Session& session, const std::string& command, std::vector<Target>& targets,
           const FolderEntry& folder, const InterruptAsCancel& interrupt) {
  session.Settle();
  if (command == "remove-links") ReadAfter(session, folder, targets);
  session.Shutdown();
  // Remove-links asks the engine only about items with records; RemoveLinksOutcome
  // names the others that keep links.
  Report r = command == "remove-links" ? Report{session.Outcomes()} : Reached(session, targets);
  return Conclude(session, CommandOutcome(command, r, targets.size(), &targets), r, interrupt);
}

}  // namespace

int RunSelectionAction(Session& session) {
  const auto& o = session.options();
  auto folder = ResolveFolder(session, o.folder);
  auto items = ResolveItems(session.store(), folder, o.items);
  if (o.open && items.size() != 1)
    throw AppError(exitcode::kUsage, "--open works on exactly one ITEM");
  if (items.empty())
    throw AppError(exitcode::kFailed, "folder '" + folder.shortName + "' has no items");
  std::vector<Target> targets;
  for (auto& item : items)
    targets.push_back({item,
                       EntryIdOf(item),
                       ReadState(item, folder.folderPath, o.command == "remove-links"),
                       {}});
  // An item whose records the secret cannot verify is left out: a delete would take
  // it without its files, a detach would bury its old records (RunCommand says why).
  const auto& unverifiable = session.store().UnverifiableItems();
  std::erase_if(items, [&](const auto& item) { return unverifiable.count(EntryIdOf(item)) > 0; });
  std::erase_if(targets, [&](const Target& t) { return unverifiable.count(t.entryId) > 0; });
  if (items.empty()) return exitcode::kFailed;

  InterruptAsCancel interrupt(session);
  auto explorer = session.host().OpenExplorer(folder.folder);
  session.Connect();
  if (o.dryRun) return DryRun(session, targets);
  auto ids = IdsFor(o.command);
  explorer->SetSelection(items);
  if (o.open) {
    session.host().OpenInspector(items.front());
    ExecuteControl(session, ids.inspector);
  } else if (o.command == "remove-links") {
    // The command works on the current item: the user selects each in turn.
    for (auto& item : items) {
      if (interrupt.Interrupted()) break;
      explorer->SetSelection({item});
      session.host().SetActiveWindow(explorer);
      ExecuteControl(session, ids.explorer);
      session.loop().DoEvents();
    }
  } else {
    session.host().SetActiveWindow(explorer);
    ExecuteControl(session, ids.explorer);
  }
  return Finish(session, o.command, targets, folder, interrupt);
}

int RunFolderAction(Session& session) {
  const auto& o = session.options();
  auto folder = ResolveFolder(session, o.folder);
  InterruptAsCancel interrupt(session);
  if (o.dryRun) {
    std::vector<Target> targets;
    auto walk = folder.folder->Items()->Enumerate();
    while (auto item = walk->Next())
      targets.push_back({item, EntryIdOf(item), ReadState(item, folder.folderPath), {}});
    auto explorer = session.host().OpenExplorer(folder.folder);
    session.Connect();
    return DryRun(session, targets);
  }
  // A folder may hold years of mail: of each item only its entry id's hash is kept,
  // and the engine's outcomes are counted as they come (listed one by one only for
  // --json), so that memory does not grow with the folder.
  std::vector<std::size_t> ids;
  {
    auto walk = folder.folder->Items()->Enumerate();
    while (auto item = walk->Next()) ids.push_back(IdHash(EntryIdOf(item)));
  }
  Report r;
  r.wholeFolder = true;
  r.keep = o.json;
  session.LogOutcomes([&](const ItemOutcome& outcome) { r.Add(outcome); });
  auto explorer = session.host().OpenExplorer(folder.folder);
  session.Connect();
  session.host().SetActiveWindow(explorer);
  ExecuteControl(session, IdsFor(o.command).explorer);
  session.Settle();
  session.Shutdown();
  session.LogOutcomes(nullptr);
  // The items the engine never saw are as they were, under the names they had: the
  // folder is read again for them only when there are any.
  std::sort(r.reached.begin(), r.reached.end());
  std::set<std::size_t> unreached;
  for (std::size_t id : ids)
    if (!std::binary_search(r.reached.begin(), r.reached.end(), id)) unreached.insert(id);
  if (!unreached.empty()) {
    auto walk = folder.folder->Items()->Enumerate();
    while (auto item = walk->Next()) {
      std::string id = EntryIdOf(item);
      if (unreached.erase(IdHash(id)))
        r.Add(Unreached(session, id, ReadState(item, folder.folderPath, false).subject));
    }
  }
  return Conclude(session, CommandOutcome(o.command, r, ids.size(), nullptr), r, interrupt);
}

int RunAttachmentFolder(Session& session) {
  const auto& o = session.options();
  auto folder = ResolveFolder(session, o.folder);
  if (o.dir.empty()) {
    std::string dir = ConfiguredAttachmentFolder(folder.folderPath);
    std::cout << folder.shortName << ": " << (dir.empty() ? "(no attachment folder)" : dir) << "\n";
    return exitcode::kOk;
  }
  std::error_code ec;
  if (!fs::is_directory(o.dir, ec)) throw AppError(exitcode::kUsage, "no folder at " + o.dir);
  std::string dir = fs::absolute(o.dir).lexically_normal().string();
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  bool accepted = false;
  session.toolkit().SetScript("frmAttachmentFolder", [&](ui::Form& form) {
    auto* path = form.Find<ui::TextBox>("txtAttachmentFolderPath");
    auto* ok = form.Find<ui::CommandButton>("cmdOK");
    if (!path || !ok) return;
    path->SetText(dir);
    ok->PerformClick();
    accepted = !form.Visible || !form.Loaded();
  });
  auto explorer = session.host().OpenExplorer(folder.folder);
  session.Connect();
  session.host().SetActiveWindow(explorer);
  ExecuteControl(session, "cmdAttachmentFolder");
  session.Settle();
  session.Shutdown();
  std::string stored = ReadAttachmentFolderPathFromRegistry(folder.folderPath);
  if (!accepted || stored != dir) {
    std::cout << folder.shortName << ": attachment folder unchanged\n";
    return exitcode::kFailed;
  }
  std::cout << folder.shortName << ": attachment folder set to " << dir << "\n";
  return exitcode::kOk;
}

int RunControl(Session& session) {
  const auto& o = session.options();
  if (!KnownControl(o.controlId))
    throw AppError(exitcode::kUsage, "unknown control id '" + o.controlId + "'");
  // These act on the item of an inspector window: without one the add-in would only
  // fail into its error report.
  if (std::string how = InspectorOnlyUse(o.controlId); !how.empty() && !o.open)
    throw AppError(exitcode::kUsage, o.controlId + " works on an open item: " + how);
  std::shared_ptr<hostapp::HostExplorer> explorer;
  std::vector<std::shared_ptr<om::Item>> items;
  if (!o.folder.empty()) {
    auto folder = ResolveFolder(session, o.folder);
    if (!o.items.empty()) items = ResolveItems(session.store(), folder, o.items);
    explorer = session.host().OpenExplorer(folder.folder);
  }
  if (o.open && items.size() != 1)
    throw AppError(exitcode::kUsage, "--open works on exactly one ITEM");
  InterruptAsCancel interrupt(session);
  session.Connect();
  if (explorer) {
    explorer->SetSelection(items);
    session.host().SetActiveWindow(explorer);
  }
  if (o.open) session.host().OpenInspector(items.front());
  ExecuteControl(session, o.controlId);
  session.Settle();
  session.Shutdown();
  Report r{session.Outcomes(), items.empty()};
  // A control works on what it works on (the current item, a whole folder): what the
  // engine reports is its outcome, not the selection.
  return Conclude(session, WorkOutcome(r, "Ran " + o.controlId), r, interrupt);
}

int RunSweep(Session& session) {
  InterruptAsCancel interrupt(session);
  // As when the host starts: the main window shows the Inbox.
  auto inbox = ValueOr(std::shared_ptr<om::Folder>(),
                       [&] { return session.store().GetDefaultFolder(om::olFolderInbox); });
  if (inbox) session.host().OpenExplorer(inbox);
  session.Connect();
  session.Settle();
  auto settings = modGlobal::objSettings;
  bool folders = settings && settings->StartUpItemMonitoredFolders != 0 &&
                 settings->EmailFolders()->Count() >= 1;
  bool sent = settings && settings->StartUpSentItems != 0 && settings->SentItemsOption != 2;
  session.Shutdown();
  Report r{session.Outcomes(), true};
  Outcome o = WorkOutcome(r, "Ran the start-up sweeps");
  if (!folders && !sent)
    o.summary =
        "No sweep is set: StartUpItemMonitoredFolders (with a monitored folder) and "
        "StartUpSentItems (with SentItemsOption 0 or 1) are off";
  return Conclude(session, o, r, interrupt);
}

namespace {

// One line per mail the watcher worked on, for a log or the journal.
std::string LogLine(const ItemOutcome& o) {
  std::string line = o.action + " '" + o.subject + "' (" + o.entryId + "): ";
  if (o.left != ItemOutcome::Left::kNone) {
    line += "left as it is: " + o.leftReason;
  } else if (!o.saved.empty()) {
    std::set<std::string> dirs;
    std::int64_t bytes = 0;
    for (const auto& f : o.saved) {
      dirs.insert(fs::path(f.path).parent_path().string());
      bytes += std::max<std::int64_t>(f.bytes, 0);
    }
    line += "saved " + Plural(o.saved.size(), "file", "files") + " (" + std::to_string(bytes) +
            " bytes) into " + Joined(dirs);
  } else {
    line += o.itemChanged ? "changed" : "unchanged";
  }
  if (!o.kept.empty()) line += "; kept " + Plural(o.kept.size(), "attachment", "attachments");
  for (const auto& f : o.failed) line += "; failed: " + f.what + ": " + f.reason;
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';
  return line;
}

// What the watcher watches: the add-in's monitors, as it set them up.
bool SomethingMonitored() {
  return (modGlobal::colMonitoredFolders && modGlobal::colMonitoredFolders->Count() > 0) ||
         modGlobal::oMonitoredSentItems;
}

}  // namespace

int RunWatch(Session& session) {
  int stopSignal = 0;
  bool reload = false;
  posix::SignalWatch stop(session.loop(), {SIGINT, SIGTERM, SIGHUP}, [&](int signal) {
    if (signal == SIGHUP) {
      reload = true;
    } else {
      stopSignal = signal;
      // A start-up sweep in progress (it yields to this loop), or one about to start,
      // stops after the item in hand, as at Ctrl-C in any other batch.
      session.RequestStop();
    }
    session.loop().Quit();
  });
  if (!stop.Active()) throw AppError(exitcode::kFailed, "cannot watch for SIGINT and SIGTERM");
  session.LogOutcomes([](const ItemOutcome& o) { std::cout << LogLine(o) << std::endl; });
  // Settings changed by another command are taken once they differ from those loaded
  // (the add-in's own writes, such as its running number, change none of them).
  std::string loaded = SettingsFingerprint();
  SettingsFileWatch changes(session.loop(), session.SettingsFile(), [&] {
    if (SettingsFingerprint() == loaded) return;
    reload = true;
    session.loop().Quit();
  });
  auto start = [&] {
    // The host's main window shows the Inbox, as a mail client opens on it.
    auto inbox = ValueOr(std::shared_ptr<om::Folder>(),
                         [&] { return session.store().GetDefaultFolder(om::olFolderInbox); });
    if (inbox) session.host().OpenExplorer(inbox);
    session.Connect();
    loaded = SettingsFingerprint();
    if (!SomethingMonitored())
      std::cerr << "stowbright: warning: nothing is monitored: no monitored folder (`stowbright "
                   "monitor add FOLDER`) and SentItemsOption=none; watching for a change of the "
                   "settings\n";
  };
  start();
  if (!stopSignal)
    std::cerr << "stowbright: watching " << session.options().store
              << " (SIGINT or SIGTERM to stop, SIGHUP to read the settings again)\n";
  while (!stopSignal) {
    session.loop().Run();
    if (stopSignal) break;
    if (!reload) continue;
    reload = false;
    // The add-in is loaded again, as the host does: its new settings and monitors.
    std::cerr << "stowbright: reading the settings again\n";
    session.Shutdown();
    start();
  }
  std::cerr << "stowbright: " << (stopSignal == SIGTERM ? "SIGTERM" : "SIGINT")
            << ": shutting down\n";
  session.Shutdown();
  return exitcode::kOk;
}

namespace {

// Runs an engine routine on every item of the folder the command names.
FolderEntry ForEachItem(Session& session,
                        const std::function<void(const std::shared_ptr<om::Item>&)>& routine) {
  auto folder = ResolveFolder(session, session.options().folder);
  session.Connect();
  auto walk = folder.folder->Items()->Enumerate();
  while (auto item = walk->Next()) {
    if (interrupt::Requested()) break;
    routine(item);
  }
  session.Shutdown();
  return folder;
}

std::string Normalized(const std::string& dir) {
  std::string out = fs::absolute(dir).lexically_normal().string();
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

}  // namespace

int RunVerify(Session& session) {
  auto folder = ForEachItem(session, [](const auto& item) { VerifySavedFiles(item); });
  std::size_t items = 0, files = 0, missing = 0, trashed = 0, resized = 0;
  using State = ItemOutcome::Checked::State;
  for (const auto& o : session.Outcomes()) {
    if (o.checked.empty()) continue;
    ++items;
    for (const auto& c : o.checked) {
      ++files;
      std::string what = c.path + " (" + c.name + ")";
      if (c.state == State::kMissing) {
        ++missing;
        trashed += !c.inTrash.empty();
        std::cout << "'" << o.subject << "': missing: " << what
                  << (c.inTrash.empty() ? std::string() : "; in the trash as " + c.inTrash) << "\n";
      } else if (c.state == State::kSizeDiffers) {
        ++resized;
        std::cout << "'" << o.subject << "': another size: " << what << " is "
                  << Plural(static_cast<std::size_t>(c.actualBytes), "byte", "bytes") << ", "
                  << c.recordedBytes << " when saved\n";
      }
    }
  }
  std::cout << "Checked " << Plural(files, "saved file", "saved files") << " of "
            << Plural(items, "detached item", "detached items") << " in " << folder.shortName
            << ": ";
  if (missing + resized == 0) {
    std::cout << "all there\n";
    return exitcode::kOk;
  }
  std::cout << missing << " missing (" << trashed << " of them in the trash), " << resized
            << " of another size\n";
  return exitcode::kFailed;
}

int RunRelink(Session& session) {
  const auto& o = session.options();
  std::error_code ec;
  if (HoldsRecordSeparator(o.newDir))
    throw AppError(exitcode::kUsage, "the folder path holds a tab or a line break: " + o.newDir);
  if (!fs::is_directory(o.newDir, ec)) throw AppError(exitcode::kUsage, "no folder at " + o.newDir);
  std::string from = Normalized(o.oldDir), to = Normalized(o.newDir);
  if (from == to) throw AppError(exitcode::kUsage, "OLD_DIR and NEW_DIR are the same folder");
  ForEachItem(session, [&](const auto& item) { RelinkSavedFiles(item, from, to); });
  std::size_t files = 0, items = 0;
  for (const auto& outcome : session.Outcomes()) {
    if (outcome.relinked.empty()) continue;
    ++items;
    files += outcome.relinked.size();
  }
  std::cout << "Relinked " << Plural(files, "saved file", "saved files") << " of "
            << Plural(items, "item", "items") << " from " << from << " to " << to << "\n";
  return ReportProblems(Report{session.Outcomes()}) ? exitcode::kFailed : exitcode::kOk;
}

}  // namespace stow::app
