#include "app/actions.h"

#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
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
#include "engine/savedFiles.h"
#include "platform/com_error.h"
#include "platform/posix/poll_loop.h"
#include "support/attachmentFolders.h"
#include "support/cSettings.h"
#include "support/cSingleList.h"
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

std::uintmax_t FileBytes(const std::string& path) {
  std::error_code ec;
  auto size = fs::file_size(path, ec);
  return ec ? 0 : size;
}

std::string Joined(const std::set<std::string>& dirs) {
  std::string out;
  for (const auto& d : dirs) out += (out.empty() ? "" : ", ") + d;
  return out;
}

std::set<std::string> FilesIn(const std::string& dir) {
  std::set<std::string> out;
  std::error_code ec;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator();
       it.increment(ec))
    out.insert(it->path().string());
  return out;
}

std::string EntryIdOf(const std::shared_ptr<om::Item>& item) {
  return ValueOr(std::string(), [&] { return item->EntryID(); });
}

// What a detach does with one attachment under the settings the add-in has read.
enum class Fate { kHidden, kExempted, kInline, kDetach };

Fate AttachmentFate(const std::shared_ptr<om::Attachment>& a, const std::string& html) {
  auto settings = modGlobal::objSettings;
  Value hidden = ValueOr(Value{}, [&] { return a->Field(om::PR_ATTACHMENT_HIDDEN); });
  if (!IsEmpty(hidden) && ValueOr(false, [&] { return ToBool(hidden); })) return Fate::kHidden;
  std::string ext = GetExtensionName(ValueOr(std::string(), [&] { return a->FileName(); }), false);
  if (settings && !ext.empty() && settings->AttachmentExtensions()->Exists(ext))
    return Fate::kExempted;
  Value cid = ValueOr(Value{}, [&] { return a->Field(om::PR_ATTACH_CONTENT_ID); });
  std::string cidText = IsEmpty(cid) ? "" : ValueOr(std::string(), [&] { return ToText(cid); });
  bool inlineAsFiles = settings && settings->TreatInlineImagesAsAttachments;
  if (!inlineAsFiles && !cidText.empty() && html.find("cid:" + cidText) != std::string::npos)
    return Fate::kInline;
  return Fate::kDetach;
}

// How many attachments of item a detach would still take out.
int DetachableCount(const std::shared_ptr<om::Item>& item) {
  std::string html = ValueOr(std::string(), [&] { return item->HTMLBody(); });
  int n = 0;
  for (const auto& a : ValueOr(std::vector<std::shared_ptr<om::Attachment>>(),
                               [&] { return item->Attachments()->All(); }))
    n += AttachmentFate(a, html) == Fate::kDetach;
  return n;
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
    if (!t.after.gone) t.after.detachableAttachments = DetachableCount(it->second);
    it->second.reset();
  }
}

struct Outcome {
  std::string summary;
  bool ok = true;
};

// The entry ids of the items the engine left as they were for this reason.
std::set<std::string> LeftFor(const Session& session, ItemOutcome::Left why) {
  std::set<std::string> ids;
  for (const auto& o : session.Outcomes())
    if (o.left == why) ids.insert(o.entryId);
  return ids;
}

// Detach: every item that had attachments and no marker now carries it.
Outcome DetachOutcome(const std::vector<Target>& targets, const std::set<std::string>& asIs) {
  std::size_t undone = 0, changed = 0, files = 0;
  std::uintmax_t bytes = 0;
  std::set<std::string> dirs;
  for (const auto& t : targets) {
    // An item that still holds attachments the settings say to detach was not done;
    // one whose only attachments are exempted or inline images kept in the body was,
    // and so was one the engine left as it is on purpose. (Those it still holds it
    // held before: a detach adds none.)
    bool leftUndone = !t.before.gone && !t.before.processed && !t.after.gone &&
                      t.after.detachableAttachments > 0 && !asIs.count(t.entryId);
    undone += leftUndone;
    if (t.after.gone || t.after.records.size() <= t.before.records.size()) continue;
    ++changed;
    for (std::size_t i = t.before.records.size(); i < t.after.records.size(); ++i) {
      ++files;
      bytes += FileBytes(t.after.records[i].path);
      dirs.insert(fs::path(t.after.records[i].path).parent_path().string());
    }
  }
  Outcome o;
  if (undone == 0 && changed == 0) {
    o.summary = "Nothing to detach: " + Plural(targets.size(), "item has", "items have") +
                " no attachments or were detached before";
    return o;
  }
  o.summary = "Detached " + Plural(files, "file", "files") + " (" + std::to_string(bytes) +
              " bytes) from " + std::to_string(changed) + " of " +
              Plural(targets.size(), "item", "items") +
              (dirs.empty() ? std::string() : " into " + Joined(dirs));
  o.ok = undone == 0;
  return o;
}

Outcome ReattachOutcome(const std::vector<Target>& targets) {
  std::size_t candidates = 0, changed = 0, files = 0;
  for (const auto& t : targets) {
    bool candidate = !t.before.gone && (t.before.processed || !t.before.records.empty());
    candidates += candidate;
    if (!candidate || t.after.gone) continue;
    if (t.after.records.size() < t.before.records.size() || !t.after.processed) {
      ++changed;
      files += t.before.records.size() - std::min(t.before.records.size(), t.after.records.size());
    }
  }
  Outcome o;
  if (candidates == 0) {
    o.summary = "Nothing to re-attach: none of the " +
                Plural(targets.size(), "item was", "items were") + " detached";
    return o;
  }
  o.summary = "Re-attached " + Plural(files, "file", "files") + " to " + std::to_string(changed) +
              " of " + Plural(candidates, "detached item", "detached items");
  o.ok = changed >= candidates;
  return o;
}

Outcome RemoveLinksOutcome(const std::vector<Target>& targets) {
  std::size_t candidates = 0, changed = 0;
  for (const auto& t : targets) {
    if (t.before.gone || !t.before.hasLinkBlock) continue;
    ++candidates;
    if (!t.after.gone && !t.after.hasLinkBlock) ++changed;
  }
  Outcome o;
  if (candidates == 0) {
    o.summary =
        "Nothing to do: none of the " + Plural(targets.size(), "item has", "items have") + " links";
    return o;
  }
  o.summary = "Removed the links from " + std::to_string(changed) + " of " +
              Plural(candidates, "item", "items") + "; the files stay where they are";
  o.ok = changed >= candidates;
  return o;
}

Outcome DeleteOutcome(const std::vector<Target>& targets, const Session& session) {
  std::size_t deleted = 0, files = 0;
  for (const auto& t : targets) deleted += t.after.gone;
  for (const auto& o : session.Outcomes()) files += o.trashed.size();
  Outcome o;
  o.summary = "Deleted " + std::to_string(deleted) + " of " +
              Plural(targets.size(), "item", "items") + " for good and moved " +
              Plural(files, "saved file", "saved files") + " to the trash";
  o.ok = deleted == targets.size();
  return o;
}

Outcome CopyOutcome(const std::vector<Target>& targets, const std::string& dir,
                    const std::set<std::string>& before) {
  std::size_t candidates = 0;
  for (const auto& t : targets) candidates += t.before.visibleAttachments > 0;
  Outcome o;
  if (dir.empty()) {
    o.summary = "Copied the attachments of " + Plural(targets.size(), "item", "items");
    return o;
  }
  std::size_t files = 0;
  std::uintmax_t bytes = 0;
  for (const auto& f : FilesIn(dir)) {
    if (before.count(f)) continue;
    ++files;
    bytes += FileBytes(f);
  }
  o.summary = "Copied " + Plural(files, "file", "files") + " (" + std::to_string(bytes) +
              " bytes) from " + Plural(targets.size(), "item", "items") + " to " + dir +
              "; the items are unchanged";
  o.ok = candidates == 0 || files > 0;
  return o;
}

// What a detach would do, from the settings the add-in has just read; changes nothing.
int DryRun(Session& session, const FolderEntry& folder, const std::vector<Target>& targets) {
  std::string dir = ConfiguredAttachmentFolder(folder.folderPath);
  auto settings = modGlobal::objSettings;
  std::cout << "Dry run: nothing is changed.\n";
  if (dir.empty()) {
    std::cerr << "Stowbright for Outlook: no attachment folder is set for " << folder.shortName
              << " (see `stowbright attachment-folder`)\n";
    return exitcode::kFailed;
  }
  int naming = settings ? settings->AttachmentNamingOption : 0;
  std::size_t files = 0;
  std::uintmax_t bytes = 0;
  for (const auto& t : targets) {
    if (t.before.gone) continue;
    std::cout << t.before.subject << (t.before.processed ? "  (detached before: skipped)" : "")
              << "\n";
    if (t.before.processed) continue;
    std::string html = ValueOr(std::string(), [&] { return t.item->HTMLBody(); });
    for (const auto& a : ValueOr(std::vector<std::shared_ptr<om::Attachment>>(),
                                 [&] { return t.item->Attachments()->All(); })) {
      std::string name = ValueOr(std::string(), [&] { return a->FileName(); });
      std::string ext = GetExtensionName(name, false);
      Fate fate = AttachmentFate(a, html);
      if (fate == Fate::kHidden) continue;
      if (fate == Fate::kExempted) {
        std::cout << "  keep   " << name << " (exempted extension)\n";
        continue;
      }
      if (fate == Fate::kInline) {
        std::cout << "  keep   " << name << " (inline image)\n";
        continue;
      }
      std::string target;
      // Running and random numbers are drawn when the file is saved; drawing one here
      // would use up a number of the store.
      if (naming == 2 || naming == 3)
        target = dir + "/<number chosen when saved>" + (ext.empty() ? "" : "." + ext);
      else
        target = dir + "/" + GetAttachmentName(t.item, name, false, false);
      std::int64_t size = ValueOr<std::int64_t>(0, [&] { return a->Size(); });
      std::cout << "  save   " << name << " -> " << target << " (" << size << " bytes)\n";
      ++files;
      bytes += static_cast<std::uintmax_t>(size);
    }
  }
  std::cout << "Would detach " << Plural(files, "file", "files") << " (" << bytes << " bytes) into "
            << dir << "\n";
  (void)session;
  return exitcode::kOk;
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
// was: for a whole folder in the summary, for items asked for by name as a failure.
// True when something asked for was not done.
bool ReportProblems(const Session& session, bool wholeFolder) {
  bool problems = false;
  std::vector<std::string> sealed;
  for (const auto& o : session.Outcomes()) {
    for (const auto& f : o.failed) {
      std::cerr << "stowbright: '" << o.subject << "': " << f.what << ": " << f.reason << "\n";
      problems = true;
    }
    if (o.left == ItemOutcome::Left::kSignedOrEncrypted) sealed.push_back("'" + o.subject + "'");
  }
  if (sealed.empty()) return problems;
  if (wholeFolder) {
    std::string names;
    for (const auto& n : sealed) names += (names.empty() ? "" : ", ") + n;
    std::cout << "Left "
              << Plural(sealed.size(), "signed or encrypted mail", "signed or encrypted mails")
              << " as " << (sealed.size() == 1 ? "it is: " : "they are: ") << names << "\n";
    return problems;
  }
  for (const auto& n : sealed)
    std::cerr << "stowbright: " << n << " is signed or encrypted: left as it is\n";
  return true;
}

int Finish(Session& session, const std::string& command, std::vector<Target>& targets,
           const FolderEntry& folder, const std::string& copyDir,
           const std::set<std::string>& copyBefore, const InterruptAsCancel& interrupt) {
  session.Settle();
  ReadAfter(session, folder, targets);
  session.Shutdown();
  Outcome o;
  if (command == "detach" || command == "detach-to" || command == "detach-all") {
    // Left as they were on purpose: signed or encrypted (named apart), or nothing
    // the settings detach (an inline image kept in the body).
    auto asIs = LeftFor(session, ItemOutcome::Left::kSignedOrEncrypted);
    asIs.merge(LeftFor(session, ItemOutcome::Left::kNothingToDo));
    o = DetachOutcome(targets, asIs);
  } else if (command == "reattach" || command == "reattach-all")
    o = ReattachOutcome(targets);
  else if (command == "remove-links")
    o = RemoveLinksOutcome(targets);
  else if (command == "delete")
    o = DeleteOutcome(targets, session);
  else
    o = CopyOutcome(targets, copyDir, copyBefore);
  auto& tk = session.toolkit();
  if (tk.BatchCancelled()) o.summary += " (cancelled)";
  std::cout << o.summary << "\n";
  bool problems = ReportProblems(session, command == "detach-all" || command == "reattach-all");
  if (interrupt.Interrupted()) return exitcode::kInterrupted;
  if (!o.ok || problems || tk.BatchCancelled() || tk.CriticalMessages() > 0 ||
      tk.FolderPromptsCancelled() > 0)
    return exitcode::kFailed;
  if (command == "delete" && tk.QuestionsAnsweredNo() > 0) return exitcode::kFailed;
  return exitcode::kOk;
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
    targets.push_back({item, EntryIdOf(item), ReadState(item, folder.folderPath), {}});
  // An item whose records the secret cannot verify is left out: a delete would take
  // it without its files, a detach would bury its old records (RunCommand says why).
  const auto& unverifiable = session.store().UnverifiableItems();
  std::erase_if(items, [&](const auto& item) { return unverifiable.count(EntryIdOf(item)) > 0; });
  std::erase_if(targets, [&](const Target& t) { return unverifiable.count(t.entryId) > 0; });
  if (items.empty()) return exitcode::kFailed;
  std::string copyDir =
      o.command == "copy" && o.to ? fs::absolute(*o.to).lexically_normal().string() : "";
  while (copyDir.size() > 1 && copyDir.back() == '/') copyDir.pop_back();
  auto copyBefore = copyDir.empty() ? std::set<std::string>() : FilesIn(copyDir);

  InterruptAsCancel interrupt(session);
  auto explorer = session.host().OpenExplorer(folder.folder);
  session.Connect();
  if (o.dryRun) {
    int rc = DryRun(session, folder, targets);
    session.Shutdown();
    return rc;
  }
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
  return Finish(session, o.command, targets, folder, copyDir, copyBefore, interrupt);
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
  if (o.dryRun) {
    int rc = DryRun(session, folder, targets);
    session.Shutdown();
    return rc;
  }
  session.host().SetActiveWindow(explorer);
  ExecuteControl(session, IdsFor(o.command).explorer);
  return Finish(session, o.command, targets, folder, "", {}, interrupt);
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
  auto& tk = session.toolkit();
  std::cout << "Ran " << o.controlId << "\n";
  if (interrupt.Interrupted()) return exitcode::kInterrupted;
  return tk.CriticalMessages() > 0 || tk.BatchCancelled() ? exitcode::kFailed : exitcode::kOk;
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
