#include "app/commands.h"

#include <iostream>
#include <optional>
#include <set>

#include "app/actions.h"
#include "app/app_error.h"
#include "app/interrupt.h"
#include "app/session.h"
#include "app/store_view.h"
#include "app/surface_commands.h"
#include "platform/posix/posix_shell.h"

namespace stow::app {

namespace {

int Dispatch(Session& session) {
  const std::string& c = session.options().command;
  if (c == "folders") return RunFolders(session);
  if (c == "list") return RunList(session);
  if (c == "show") return RunShow(session);
  if (c == "detach" || c == "detach-to" || c == "reattach" || c == "remove-links" ||
      c == "delete" || c == "copy")
    return RunSelectionAction(session);
  if (c == "detach-all" || c == "reattach-all") return RunFolderAction(session);
  if (c == "attachment-folder") return RunAttachmentFolder(session);
  if (c == "run") return RunControl(session);
  if (c == "watch") return RunWatch(session);
  if (c == "sweep") return RunSweep(session);
  if (c == "verify") return RunVerify(session);
  if (c == "relink") return RunRelink(session);
  if (c == "settings") return RunSettings(session);
  if (c == "monitor") return RunMonitor(session);
  if (c == "ribbon") return RunRibbon(session);
  if (c == "about") return RunAbout(session);
  if (c == "reply" || c == "forward") return RunCompose(session);
  throw AppError(exitcode::kUsage, "unknown command `stowbright " + c + "`");
}

// Commands that only read, and the watcher with its own handling of signals, leave
// Ctrl-C to end the process.
bool StopsSafelyOnCtrlC(const std::string& command) {
  static const std::set<std::string> others = {"folders", "list",  "show", "verify",
                                               "ribbon",  "about", "watch"};
  return !others.count(command);
}

}  // namespace

int RunCommand(const Options& options) {
  if (options.command == "init") return RunInit(options);
  std::optional<interrupt::Guard> ctrlC;
  if (StopsSafelyOnCtrlC(options.command)) ctrlC.emplace();
  Session session(options);
  int rc = Dispatch(session);
  // A save the add-in let fail quietly (a re-attach or removal of links whose item
  // another program changed meanwhile) is named here: nothing fails in silence.
  std::set<std::string> told;
  for (const auto& why : session.store().TakeSaveFailures()) {
    if (session.toolkit().Shown(why) || !told.insert(why).second) continue;
    std::cerr << "stowbright: " << why << "\n";
    if (rc == exitcode::kOk && options.command != "watch") rc = exitcode::kFailed;
  }
  // A document or web page that did not open: the add-in ignores it, the user is told.
  for (const auto& why : posix::TakeOpenFailures()) {
    if (!told.insert(why).second) continue;
    std::cerr << "stowbright: " << why << "\n";
    if (rc == exitcode::kOk) rc = exitcode::kFailed;
  }
  // Records the secret cannot verify are never acted on; the user must learn why.
  if (std::size_t n = session.store().UnverifiableItems().size()) {
    std::cerr << "stowbright: " << n << (n == 1 ? " item carries" : " items carry")
              << " records that the store secret cannot verify: the secret at "
              << session.store().secretPath()
              << " was changed or lost since they were made. Those items were left unchanged; "
                 "put the old secret back to re-attach or delete their files.\n";
    if (rc == exitcode::kOk) rc = exitcode::kFailed;
  }
  if (interrupt::Requested()) {
    std::cerr << "stowbright: stopped by Ctrl-C; what was done before is kept\n";
    rc = exitcode::kInterrupted;
  }
  return rc;
}

}  // namespace stow::app
