#pragma once
// The commands that change mail: the explorer and inspector commands on a selection,
// the folder commands, attachment-folder, run, and watch.

namespace stow::app {

class Session;

int RunSelectionAction(
    Session& session);                  // detach, detach-to, reattach, remove-links, delete, copy
int RunFolderAction(Session& session);  // detach-all, reattach-all
int RunAttachmentFolder(Session& session);
int RunControl(Session& session);  // run CONTROL_ID
int RunWatch(Session& session);
int RunSweep(Session& session);   // the start-up sweeps, once
int RunVerify(Session& session);  // verify FOLDER
int RunRelink(Session& session);  // relink FOLDER OLD_DIR NEW_DIR

}  // namespace stow::app
