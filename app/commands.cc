#include "app/commands.h"

#include <iostream>
#include <set>

#include "app/actions.h"
#include "app/app_error.h"
#include "app/session.h"
#include "app/store_view.h"
#include "app/surface_commands.h"

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
  NotAvailable("`stowbright " + c + "`");
}

}  // namespace

int RunCommand(const Options& options) {
  if (options.command == "init") return RunInit(options);
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
  // Records the secret cannot verify are never acted on; the user must learn why.
  if (std::size_t n = session.store().UnverifiableItems().size()) {
    std::cerr << "stowbright: " << n << (n == 1 ? " item carries" : " items carry")
              << " records that the store secret cannot verify: the secret at "
              << session.store().secretPath()
              << " was changed or lost since they were made. Those items were left unchanged; "
                 "put the old secret back to re-attach or delete their files.\n";
    if (rc == exitcode::kOk) rc = exitcode::kFailed;
  }
  return rc;
}

}  // namespace stow::app
