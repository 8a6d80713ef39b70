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

// What the engine reported, item by item, for one command.
struct Report {
  std::vector<ItemOutcome> items;
  std::size_t Count(const std::function<bool(const ItemOutcome&)>& which) const {
    return static_cast<std::size_t>(std::count_if(items.begin(), items.end(), which));
  }
  // How many entries one list of the outcomes holds in all (of the items changed).
  template <class V>
  std::size_t Total(std::vector<V> ItemOutcome::*list, bool changedOnly = false) const {
    std::size_t n = 0;
    for (const auto& o : items)
      if (o.itemChanged || !changedOnly) n += (o.*list).size();
    return n;
  }
  std::uintmax_t SavedBytes() const {
    std::uintmax_t bytes = 0;
    for (const auto& o : items)
      for (const auto& f : o.saved) bytes += f.bytes > 0 ? static_cast<std::uintmax_t>(f.bytes) : 0;
    return bytes;
  }
  std::set<std::string> SavedDirs() const {
    std::set<std::string> dirs;
    for (const auto& o : items)
      for (const auto& f : o.saved) dirs.insert(fs::path(f.path).parent_path().string());
    return dirs;
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

Outcome DetachOutcome(const Report& r, std::size_t targets) {
  std::size_t changed = r.Count([](const auto& o) { return o.itemChanged; });
  std::size_t files = r.Total(&ItemOutcome::saved, true);
  Outcome o;
  o.ok = r.Count(Report::Undone) == 0;
  if (changed == 0 && o.ok) {
    o.summary = "Nothing to detach: " + Plural(targets, "item has", "items have") +
                " no attachments to detach";
    return o;
  }
  auto dirs = r.SavedDirs();
  o.summary = "Detached " + FilesAndBytes(files, r.SavedBytes()) + " from " +
              std::to_string(changed) + " of " + Plural(targets, "item", "items") +
              (dirs.empty() ? std::string() : " into " + Joined(dirs));
  return o;
}

Outcome ReattachOutcome(const Report& r, std::size_t targets) {
  // An item without records has nothing to put back; every other one was detached.
  auto detached = [](const ItemOutcome& o) { return o.left != Left::kNothingToDo; };
  std::size_t candidates = r.Count(detached);
  std::size_t changed = r.Count([](const auto& o) { return o.itemChanged; });
  std::size_t files = r.Total(&ItemOutcome::reattached, true);
  Outcome o;
  if (candidates == 0) {
    o.summary = "Nothing to re-attach: none of the " + Plural(targets, "item was", "items were") +
                " detached";
    return o;
  }
  o.summary = "Re-attached " + Plural(files, "file", "files") + " to " + std::to_string(changed) +
              " of " + Plural(candidates, "detached item", "detached items");
  o.ok = r.Count(Report::Undone) == 0;
  return o;
}

// The links the engine took out, item by item. It reports no item it finds nothing to
// do in (no records): one that had a link block and was not changed is named in r,
// with what the mail shows afterwards.
Outcome RemoveLinksOutcome(const std::vector<Target>& targets, Report& r) {
  std::set<std::string> unlinkedFrom;
  for (const auto& o : r.items)
    if (o.itemChanged && !o.unlinked.empty()) unlinkedFrom.insert(o.entryId);
  std::size_t candidates = 0;
  bool unread = false;
  for (const auto& t : targets) {
    if (t.before.gone) {
      unread = true;
      r.items.push_back(Unreached(t, Left::kFailed, kGoneBeforeRead));
      continue;
    }
    if (!t.before.hasLinkBlock) continue;
    ++candidates;
    if (unlinkedFrom.count(t.entryId)) continue;
    r.items.push_back(Unreached(
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
  o.summary = "Removed " + Plural(r.Total(&ItemOutcome::unlinked), "link", "links") + " from " +
              std::to_string(unlinkedFrom.size()) + " of " + Plural(candidates, "item", "items") +
              "; the files stay where they are";
  o.ok = unlinkedFrom.size() >= candidates && !unread;
  return o;
}

Outcome DeleteOutcome(const Report& r, std::size_t targets) {
  std::size_t deleted = r.Count([](const auto& o) { return o.itemChanged; });
  std::size_t files = r.Total(&ItemOutcome::trashed);
  Outcome o;
  o.summary = "Deleted " + std::to_string(deleted) + " of " + Plural(targets, "item", "items") +
              " for good and moved " + Plural(files, "saved file", "saved files") + " to the trash";
  o.ok = deleted == targets && r.Count(Report::Undone) == 0;
  return o;
}

Outcome CopyOutcome(const Report& r, std::size_t targets) {
  std::size_t files = r.Total(&ItemOutcome::saved);
  auto dirs = r.SavedDirs();
  Outcome o;
  o.summary = "Copied " + FilesAndBytes(files, r.SavedBytes()) + " from " +
              Plural(targets, "item", "items") +
              (dirs.empty() ? std::string() : " to " + Joined(dirs)) + "; the items are unchanged";
  o.ok = r.Count(Report::Undone) == 0;
  return o;
}

// What happened under any control id: one line per kind of work the engine did.
Outcome WorkOutcome(const Report& r, const std::string& heading) {
  Outcome o;
  o.summary = heading;
  std::map<std::string, Report> byAction;
  for (const auto& item : r.items) byAction[item.action].items.push_back(item);
  for (const auto& [action, part] : byAction) {
    std::size_t changed = part.Count([](const auto& i) { return i.itemChanged; });
    std::string line;
    if (action == "detach")
      line = "detached " + FilesAndBytes(part.Total(&ItemOutcome::saved, true), part.SavedBytes());
    else if (action == "reattach" || action == "attach-files")
      line = "re-attached " + Plural(part.Total(&ItemOutcome::reattached), "file", "files");
    else if (action == "copy")
      line = "copied " + FilesAndBytes(part.Total(&ItemOutcome::saved), part.SavedBytes());
    else if (action == "delete")
      line = "deleted " + Plural(changed, "item", "items") + " and moved " +
             Plural(part.Total(&ItemOutcome::trashed), "saved file", "saved files") +
             " to the trash";
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
  o.ok = r.Count(Report::Undone) == 0;
  return o;
}

// The names of a list, the first few only when it is long.
std::string NameList(const std::vector<std::string>& names) {
  constexpr std::size_t kShown = 10;
  std::string out;
  for (std::size_t i = 0; i < names.size() && i < kShown; ++i)
    out += (i ? ", '" : "'") + names[i] + "'";
  if (names.size() > kShown) out += " and " + std::to_string(names.size() - kShown) + " more";
  return out;
}

// Names the items left as they were, grouped by the engine's reason (signed or
// encrypted mail apart, see ReportProblems): those not done as asked as errors, the
// rest in the summary.
void ReportLeft(const Report& r, bool wholeFolder) {
  std::map<std::pair<bool, std::string>, std::vector<std::string>> byReason;
  for (const auto& o : r.items) {
    if (o.left == Left::kNone || o.left == Left::kSignedOrEncrypted) continue;
    bool undone = Report::Undone(o) || (!wholeFolder && o.left == Left::kNotMail);
    byReason[{undone, o.leftReason}].push_back(o.subject);
  }
  for (const auto& [key, names] : byReason)
    (key.first ? std::cerr << "stowbright: " : std::cout)
        << "Left " << Plural(names.size(), "item", "items") << " unchanged (" << key.second
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
    j["saved"].push_back({{"path", f.path}, {"name", f.name}, {"bytes", f.bytes}});
  for (const auto& k : o.kept) j["kept"].push_back({{"name", k.name}, {"reason", k.reason}});
  for (const auto& a : o.reattached)
    j["reattached"].push_back({{"name", a.name}, {"from", a.from}, {"from_trash", a.fromTrash}});
  for (const auto& f : o.failed) j["failed"].push_back({{"what", f.what}, {"reason", f.reason}});
  return j;
}

void PrintJson(const Outcome& outcome, const Report& r, int status) {
  nlohmann::json items = nlohmann::json::array();
  for (const auto& o : r.items) items.push_back(OutcomeJson(o));
  nlohmann::json out = {{"summary", outcome.summary}, {"exit_status", status}, {"items", items}};
  std::cout << out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

// What a detach would do, asked of the engine item by item; changes nothing.
int DryRun(Session& session, const std::vector<Target>& targets) {
  NamePreview preview;
  for (const auto& t : targets)
    if (t.item && !t.before.gone) PreviewProcessEmail(t.item, preview);
  Report r{session.Outcomes()};
  bool json = session.options().json;
  std::size_t files = r.Total(&ItemOutcome::saved);
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
  auto dirs = r.SavedDirs();
  Outcome summary;
  summary.summary =
      "Would detach " + FilesAndBytes(files, r.SavedBytes()) + " from " +
      Plural(r.Count([](const auto& o) { return !o.saved.empty(); }), "item", "items") +
      (dirs.empty() ? std::string() : " into " + Joined(dirs));
  int status = r.Count(Report::Undone) == 0 ? exitcode::kOk : exitcode::kFailed;
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
bool ReportProblems(const Session& session, bool wholeFolder, bool toOut = true) {
  bool problems = false;
  std::vector<std::string> sealed;
  for (const auto& o : session.Outcomes()) {
    for (const auto& f : o.failed) {
      std::cerr << "stowbright: '" << o.subject << "': " << f.what << ": " << f.reason << "\n";
      problems = true;
    }
    if (o.left == ItemOutcome::Left::kSignedOrEncrypted) sealed.push_back("'" + o.subject + "'");
    // An item named on the command line that is no mail was not done as asked.
    if (o.left == ItemOutcome::Left::kNotMail && !wholeFolder) problems = true;
  }
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

// Prints what the command did (text or --json) and gives its exit status.
// The engine's report with an entry for each item it never saw.
Report Reached(Session& session, const std::vector<Target>& targets) {
  Report r{session.Outcomes()};
  std::set<std::string> reached;
  for (const auto& item : r.items) reached.insert(item.entryId);
  for (const auto& t : targets) {
    if (reached.count(t.entryId)) continue;
    // One that went between the listing and the reading was asked for all the same.
    r.items.push_back(Unreached(t, Left::kNotReached,
                                t.before.gone ? kGoneBeforeRead : WhyUnreached(session.toolkit())));
  }
  return r;
}

int Conclude(Session& session, Outcome o, const Report& r, bool wholeFolder,
             const InterruptAsCancel& interrupt) {
  auto& tk = session.toolkit();
  if (tk.BatchCancelled()) o.summary += " (cancelled)";
  bool json = session.options().json;
  bool problems = ReportProblems(session, wholeFolder, !json);
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
  ReportLeft(r, wholeFolder);
  return status;
}

int Finish(Session& session, const std::string& command, std::vector<Target>& targets,
           const FolderEntry& folder, const InterruptAsCancel& interrupt) {
  session.Settle();
  if (command == "remove-links") ReadAfter(session, folder, targets);
  session.Shutdown();
  // Remove-links asks the engine only about items with records; RemoveLinksOutcome
  // names the others that keep links.
  Report r = command == "remove-links" ? Report{session.Outcomes()} : Reached(session, targets);
  std::size_t n = targets.size();
  Outcome o;
  if (command == "detach" || command == "detach-to" || command == "detach-all")
    o = DetachOutcome(r, n);
  else if (command == "reattach" || command == "reattach-all")
    o = ReattachOutcome(r, n);
  else if (command == "remove-links")
    o = RemoveLinksOutcome(targets, r);
  else if (command == "delete")
    o = DeleteOutcome(r, n);
  else
    o = CopyOutcome(r, n);
  return Conclude(session, o, r, command == "detach-all" || command == "reattach-all", interrupt);
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
  std::vector<Target> targets;
  auto walk = folder.folder->Items()->Enumerate();
  // A folder may hold years of mail: keep only what the summary needs of each item,
  // not the parsed message (only a dry run looks at the items again). The summary of
  // a whole-folder command needs only the header block, so the messages are parsed
  // once, by the command itself.
  while (auto item = walk->Next())
    targets.push_back({o.dryRun ? item : nullptr,
                       EntryIdOf(item),
                       ReadState(item, folder.folderPath, o.dryRun),
                       {}});

  InterruptAsCancel interrupt(session);
  auto explorer = session.host().OpenExplorer(folder.folder);
  session.Connect();
  if (o.dryRun) return DryRun(session, targets);
  session.host().SetActiveWindow(explorer);
  ExecuteControl(session, IdsFor(o.command).explorer);
  return Finish(session, o.command, targets, folder, interrupt);
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
  Report r{session.Outcomes()};
  // A control works on what it works on (the current item, a whole folder): what the
  // engine reports is its outcome, not the selection.
  return Conclude(session, WorkOutcome(r, "Ran " + o.controlId), r, items.empty(), interrupt);
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
  Report r{session.Outcomes()};
  Outcome o = WorkOutcome(r, "Ran the start-up sweeps");
  if (!folders && !sent)
    o.summary =
        "No sweep is set: StartUpItemMonitoredFolders (with a monitored folder) and "
        "StartUpSentItems (with SentItemsOption 0 or 1) are off";
  return Conclude(session, o, r, true, interrupt);
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
  std::cerr << "stowbright: watching " << session.options().store
            << " (SIGINT or SIGTERM to stop, SIGHUP to read the settings again)\n";
  for (;;) {
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
  return ReportProblems(session, false) ? exitcode::kFailed : exitcode::kOk;
}

}  // namespace stow::app
