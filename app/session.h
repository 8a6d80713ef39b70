#pragma once
// One run of the host program: the platform services (settings store, shell, message
// loop, object factory, terminal toolkit), the mail store (a Maildir or an IMAP
// account), and the host application
// that plays the mail client over it.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "app/app_loop.h"
#include "app/options.h"
#include "app/terminal_toolkit.h"
#include "engine/outcome.h"
#include "platform/hostapp/host_application.h"
#include "platform/maildir/mime_store.h"
#include "platform/object_factory.h"
#include "platform/posix/poll_loop.h"
#include "platform/posix/posix_shell.h"
#include "platform/sqlite/sqlite_registry.h"

namespace stow {
class RozozizeraRoreravo;
namespace office {
class RibbonUI;
}
}  // namespace stow

namespace stow::app {

// Every outcome the engine reports, kept for the command's summary, or handed to a
// log as it comes (the watcher, which runs for months, keeps none).
class LoggedOutcomes : public OutcomeList {
 public:
  void Report(const ItemOutcome& outcome) override {
    if (log)
      log(outcome);
    else
      OutcomeList::Report(outcome);
  }
  std::function<void(const ItemOutcome&)> log;
};

class Session {
 public:
  // Opens the settings store and the store named by the options and installs the
  // services. Raises AppError (exit 2) when the store is not a Maildir or an IMAP URL,
  // (exit 1) when it cannot be opened (nor the IMAP account reached) or its secret is
  // missing while mail carries records.
  explicit Session(const Options& options);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const Options& options() const { return options_; }
  maildir::MimeStore& store() { return *store_; }
  std::shared_ptr<maildir::MimeStore> storePtr() { return store_; }
  hostapp::HostApplication& host() { return *host_; }
  std::shared_ptr<hostapp::HostApplication> hostPtr() { return host_; }
  posix::PollLoop& loop() { return loop_; }
  TerminalToolkit& toolkit() { return *toolkit_; }
  platform::ObjectFactory& factory() { return factory_; }

  // Loads the add-in as the host does: creates its connection class and raises
  // OnConnection with the host application; a host of version 14 then asks it for the
  // explorer's custom UI and, the document naming an onLoad callback, calls OnLoad
  // with the ribbon's handle; then OnStartupComplete (which starts the window
  // tracking and the command bars). Only for `watch` and `sweep` does start-up (and a
  // settings page saved) set up the configured monitors and run their sweeps: a
  // command that runs once and exits changes nothing it was not asked to.
  void Connect();
  // The host going away: Quit, then OnBeginShutdown, OnDisconnection and the
  // termination of the connection class, in that order. Runs once; later calls and
  // the destructor do nothing more.
  void Shutdown();
  bool Connected() const { return addin_ != nullptr; }
  // The connection class; Connect first.
  RozozizeraRoreravo& addin();
  // The ribbon's handle given to OnLoad (null on hosts without a ribbon, or before
  // Connect) and the custom-UI document the add-in answered with.
  std::shared_ptr<office::RibbonUI> ribbon() const { return ribbon_; }
  const std::string& customUI() const { return customUI_; }

  // Runs the message loop until no form of the add-in is loaded or the limit passes;
  // a form's close timer (the batch window's) ticks at once instead of after its
  // interval.
  void Settle(std::chrono::milliseconds limit = std::chrono::seconds(5));

  // The file the settings store lives in.
  std::string SettingsFile() const;

  // What the engine reported of each item it worked on since Connect (the start-up
  // sweeps included only for the commands that run them).
  const std::vector<ItemOutcome>& Outcomes() const { return outcomes_->items; }
  // From now on each outcome goes to log as the engine reports it, and is not kept.
  void LogOutcomes(std::function<void(const ItemOutcome&)> log) { outcomes_->log = std::move(log); }
  // A stop the program was told of otherwise than by Ctrl-C (the watcher's signals):
  // a batch running now, or one starting later, stops after the item in hand, as at
  // Ctrl-C.
  void RequestStop() { stopRequested_ = true; }

 private:
  bool StopAsked() const;

  Options options_;
  bool stopRequested_ = false;
  posix::PollLoop loop_;
  AppLoop appLoop_{loop_};
  posix::PosixShell shell_;
  platform::ObjectFactory factory_;
  std::unique_ptr<sqlite::SqliteRegistry> registry_;
  std::unique_ptr<TerminalToolkit> toolkit_;
  std::shared_ptr<maildir::MimeStore> store_;
  std::shared_ptr<hostapp::HostApplication> host_;
  std::unique_ptr<RozozizeraRoreravo> addin_;
  std::shared_ptr<office::RibbonUI> ribbon_;
  std::string customUI_;
  std::shared_ptr<LoggedOutcomes> outcomes_ = std::make_shared<LoggedOutcomes>();
};

}  // namespace stow::app
