#pragma once
// Start-up and shut-down of the add-in: what runs when the host has finished
// starting, and the clean-up that every way out of the host ends in.

namespace stow::modMain {

// Creates the file-system object and reads the settings into a new objSettings.
void ReadKZOSettings();

// Runs once the host has started: the safe item library, the window trackers, an
// explorer when the host has none, the settings read again, the monitors and their
// start-up sweeps.
void StartingPoint();

// Releases every global object and unloads the add-in's forms. Safe to call any
// number of times; a later call finds everything released and does nothing visible.
void subKillObjects();

// The clean-up, when the host has no explorer window left.
void subShutDownOutlook();

}  // namespace stow::modMain
