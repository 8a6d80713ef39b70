#pragma once
// Runs one control id of the add-in's surfaces. This is the single place the host
// program reaches the command routines; when the ribbon dispatcher exists it takes
// this function's place.

#include <string>

namespace stow::app {

// Runs the command behind controlId. Raises AppError: exit 2 for an unknown id,
// exit 3 for a command whose part of the add-in this build does not have.
void ExecuteControl(const std::string& controlId);

// True when controlId is one ExecuteControl knows.
bool KnownControl(const std::string& controlId);

}  // namespace stow::app
