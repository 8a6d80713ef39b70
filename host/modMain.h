#pragma once
// Start-up of the add-in: what runs when the host has finished starting. The
// clean-up that every way out of the host ends in is in support/shutdown.h.

#include "support/shutdown.h"

namespace stow::modMain {

// Hands the layers below the host the routines above them that they call back (the
// settings pages restart the monitors). The connection does it first thing.
void WireCallbacks();

// Creates the file-system object and reads the settings into a new objSettings.
void ReadKZOSettings();

// Runs once the host has started: the safe item library, the window trackers, an
// explorer when the host has none, the settings read again, the monitors and their
// start-up sweeps.
void StartingPoint();

}  // namespace stow::modMain
