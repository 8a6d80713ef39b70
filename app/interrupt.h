#pragma once
// Ctrl-C for the commands that change mail: SIGINT is noted instead of ending the
// process, and the command stops at its next safe step (the batch window's Cancel
// before the next item, No to a question, no further command), finishes what it has
// in hand and exits 130. Commands that only read keep the default: Ctrl-C ends them.

namespace stow::app::interrupt {

// Installs the handler for the life of the guard (SA_RESTART: the store's reads and
// writes are never cut short).
class Guard {
 public:
  Guard();
  ~Guard();
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
};

// Ctrl-C came while a guard was installed.
bool Requested();

// A descriptor that becomes readable when Ctrl-C comes (for waiting on the terminal
// and a signal at once); -1 without a guard.
int WakeFd();

}  // namespace stow::app::interrupt
