#pragma once
// The command line: every command with its operands and a full --help each.

#include <string>
#include <vector>

#include "app/options.h"

namespace stow::app {

// Parses argv into options. Returns -1 when the program should go on and run the
// command; otherwise the exit code to end with at once (after --help, or a usage
// error already printed to standard error).
int ParseCommandLine(int argc, char** argv, Options& options);

}  // namespace stow::app
