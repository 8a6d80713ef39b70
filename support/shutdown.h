#pragma once
// The clean-up of modMain that every way out of the host ends in. It releases the
// globals, so it lives with them: a window's close, the host's Quit and the settings
// pages end the add-in from any layer without reaching up to the host.

namespace stow::modMain {

// Releases every global object and unloads the add-in's forms. Safe to call any
// number of times; a later call finds everything released and does nothing visible.
void subKillObjects();

// The clean-up, when the host has no explorer window left.
void subShutDownOutlook();

}  // namespace stow::modMain
