// stowbright: the host program. It plays the mail client for the add-in over a
// Maildir: parses the command line, opens the store and the settings, and runs the
// command.

#include <iostream>

#include "app/app_error.h"
#include "app/cli.h"
#include "app/commands.h"
#include "app/options.h"
#include "platform/com_error.h"

int main(int argc, char** argv) {
  stow::app::Options options;
  int early = stow::app::ParseCommandLine(argc, argv, options);
  if (early >= 0) return early;
  try {
    return stow::app::RunCommand(options);
  } catch (const stow::app::AppError& e) {
    std::cerr << "stowbright: " << e.what() << "\n";
    return e.code();
  } catch (const stow::ComError& e) {
    std::cerr << "stowbright: " << e.Description() << "\n";
    return stow::app::exitcode::kFailed;
  } catch (const std::exception& e) {
    std::cerr << "stowbright: " << e.what() << "\n";
    return stow::app::exitcode::kFailed;
  }
}
