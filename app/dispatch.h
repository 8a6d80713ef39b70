#pragma once
// Runs one control id of the add-in through the add-in's own surfaces, as the mail
// client would when the user clicks it: on hosts of major version 14 the ribbon's
// SubExecuteAction with a ribbon control of that id; on versions 11 and 12 a click on
// the matching button of the command bar "Stowbright" (or "Stowbright Compose") of the
// active inspector or explorer. This is the single place the host program reaches the
// command routines.

#include <string>
#include <vector>

namespace stow::app {

class Session;

// Runs the command behind controlId. Raises AppError: exit 2 for an unknown id; exit 1
// when the window on screen does not offer the control (no such button on its bar, or
// a ribbon button the ribbon hides).
void ExecuteControl(Session& session, const std::string& controlId);

// True when controlId is one the add-in's surfaces carry.
bool KnownControl(const std::string& controlId);

// For a control only an inspector window carries, how to run it from the command line
// (for example "run it with --open and one ITEM, or `stowbright detach --open`"); empty
// for every other control.
std::string InspectorOnlyUse(const std::string& controlId);

// Every control id the surfaces carry, sorted.
std::vector<std::string> KnownControls();

}  // namespace stow::app
