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

// `stowbright --generate man|bash|zsh` prints the manual page or a completion script
// made from the command line's definitions, and returns 0 (2 for another kind); -1
// when the command line asks for something else.
int GenerateDocs(int argc, char** argv);

}  // namespace stow::app
