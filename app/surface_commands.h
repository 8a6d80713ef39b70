#pragma once
// The commands that open the add-in's own forms and surfaces: the settings pages,
// the monitored folders, the ribbon's documents, the about box, and replies and
// forwards in a compose window.

namespace stow::app {

class Session;

int RunSettings(Session& session);  // settings [PAGE] [--set NAME=VALUE ...]
int RunMonitor(Session& session);   // monitor add|remove|list
int RunRibbon(Session& session);    // ribbon RIBBON_ID | ribbon --menu MENU_ID
int RunAbout(Session& session);
int RunCompose(Session& session);  // reply, forward

}  // namespace stow::app
