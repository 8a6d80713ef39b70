#include "app/commands.h"

#include "app/actions.h"
#include "app/app_error.h"
#include "app/session.h"
#include "app/store_view.h"
#include "app/surface_commands.h"

namespace stow::app {

int RunCommand(const Options& options) {
  Session session(options);
  const std::string& c = options.command;
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
  if (c == "verify") return RunVerify(session);
  if (c == "relink") return RunRelink(session);
  if (c == "settings") return RunSettings(session);
  if (c == "monitor") return RunMonitor(session);
  if (c == "ribbon") return RunRibbon(session);
  if (c == "about") return RunAbout(session);
  if (c == "reply" || c == "forward") return RunCompose(session);
  NotAvailable("`stowbright " + c + "`");
}

}  // namespace stow::app
