// stowbright: the host program. It plays the mail client for the add-in over a
// Maildir: parses the command line, opens the store and the settings, and runs the
// command.

#include <sys/resource.h>

#include <iostream>

#include "app/app_error.h"
#include "app/cli.h"
#include "app/commands.h"
#include "app/options.h"
#include "platform/com_error.h"

namespace {

// A batch over a whole selection holds its items open at once; the usual soft
// limit of 1024 open files would fail a large folder part-way.
void RaiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int main(int argc, char** argv) {
  RaiseOpenFileLimit();
  if (int docs = stow::app::GenerateDocs(argc, argv); docs >= 0) return docs;
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
