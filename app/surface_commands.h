#pragma once
// The commands that open the add-in's own forms and surfaces: the settings pages,
// the monitored folders, the ribbon's documents, the about box, and replies and
// forwards in a compose window.

#include <string>

namespace stow::app {

class Session;

// Every setting with its page, meaning, values and default, for `settings --help`.
std::string SettingsHelp();

// Every setting of the pages as the store holds it now, in one text: two texts differ
// when a setting changed.
std::string SettingsFingerprint();

int RunSettings(Session& session);  // settings [PAGE] [--set NAME=VALUE ...]
int RunMonitor(Session& session);   // monitor add|remove|list
int RunRibbon(Session& session);    // ribbon RIBBON_ID | ribbon --menu MENU_ID
int RunAbout(Session& session);
int RunCompose(Session& session);  // reply, forward

}  // namespace stow::app
