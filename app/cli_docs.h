#pragma once
// The manual page and the shell completions, made from the same command-line
// definitions as --help, so that none of them can say another thing.

#include <CLI/CLI.hpp>
#include <string>

namespace stow::app {

// stowbright(1) in roff: every command with its operands, options and notes.
std::string ManPage(const CLI::App& app);

// A completion script for shell "bash" or "zsh": commands, sub-commands and options;
// folders for options that take a DIR.
std::string Completion(const CLI::App& app, const std::string& shell);

}  // namespace stow::app
