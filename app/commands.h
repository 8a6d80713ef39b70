#pragma once
// Runs the command the command line named; returns the exit code.

#include "app/options.h"

namespace stow::app {

int RunCommand(const Options& options);

}  // namespace stow::app
