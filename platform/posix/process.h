#pragma once
// Starting other programs without leaving zombies behind. The process runs one
// thread, so fork() is safe here; the children do only exec-safe work.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace stow::posix {

// The full path of a program found on $PATH (or program itself when it contains a
// "/" and is executable); empty when there is none.
std::string FindProgram(const std::string& program);

// Starts argv[0] (a full path) in the background, in its own session, with standard
// input from /dev/null. The program is re-parented to init (double fork), so it never
// becomes a zombie of this process. Returns 0 once the program's exec succeeded, or
// the errno that stopped it.
int SpawnDetached(const std::vector<std::string>& argv);

// As SpawnDetached, and waits up to `settle` for the program to end: then
// `exitCode` holds its exit code (128 + signal number when a signal ended it); a
// program still running by then is left to run (exitCode empty).
int SpawnDetached(const std::vector<std::string>& argv, std::chrono::milliseconds settle,
                  std::optional<int>& exitCode);

// Runs argv[0] (a full path) and waits for it. Returns its exit code (128 + signal
// number when a signal ended it), or nothing when it could not be started; then
// `error` holds the errno.
std::optional<int> RunAndWait(const std::vector<std::string>& argv, int& error);

}  // namespace stow::posix
