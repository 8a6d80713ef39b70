#include "app/session.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <set>

#include "app/app_error.h"
#include "app/interrupt.h"
#include "host/RozozizeraRoreravo.h"
#include "platform/com_error.h"
#include "platform/dictionary.h"
#include "platform/forms.h"
#include "platform/hostapp/safe_library.h"
#include "platform/imap/credentials.h"
#include "platform/imap/imap_store.h"
#include "platform/maildir/maildir_store.h"
#include "platform/office.h"
#include "platform/posix/posix_file_system.h"
#include "platform/services.h"
#include "support/modGlobal.h"

namespace stow::app {

namespace {

// The user's command after a rewrite: through the shell (it is the user's own
// command line), with the path and Message-ID as arguments and in the environment,
// never pasted into the command text. A failure is told, not fatal: the mail is
// rewritten whatever the command does.
void RunAfterRewrite(const std::string& command, const std::string& path,
                     const std::string& messageId) {
  std::cout.flush();
  pid_t child = fork();
  if (child == 0) {
    setenv("STOWBRIGHT_PATH", path.c_str(), 1);
    setenv("STOWBRIGHT_MESSAGE_ID", messageId.c_str(), 1);
    execl("/bin/sh", "sh", "-c", command.c_str(), "stowbright", path.c_str(), messageId.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) {
    std::cerr << "stowbright: cannot run the --after-rewrite command for " << path << ": "
              << std::strerror(errno) << "\n";
    return;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return;
  std::cerr << "stowbright: the --after-rewrite command failed for " << path << " ("
            << (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                  : "killed by signal " + std::to_string(WTERMSIG(status)))
            << ")\n";
}

bool IsImapUrl(const std::string& store) {
  return store.rfind("imap://", 0) == 0 || store.rfind("imaps://", 0) == 0;
}

void TellNewSecret(const maildir::MimeStore& store) {
  if (store.secretCreated())
    std::cerr << "stowbright: made a new store secret at " << store.secretPath()
              << " (it authenticates the records written into mail: keep it with your "
                 "backups)\n";
}

std::shared_ptr<maildir::MimeStore> OpenMaildir(const Options& options) {
  maildir::Options storeOptions;
  storeOptions.secretPath = options.config + "/maildir-secret";
  storeOptions.newSecret = options.newSecret;
  storeOptions.cacheMarks = true;
  // The next mail is read and its attachments saved while the last one's final
  // flushes run; the session waits for them before it ends.
  // A command run after each rewrite must find the old file gone (an indexer would
  // see both): then each rewrite ends in full before the next mail.
  storeOptions.backgroundFlushes = options.afterRewrite.empty();
  if (!options.afterRewrite.empty())
    storeOptions.afterRewrite = [command = options.afterRewrite](const std::string& path,
                                                                 const std::string& id) {
      RunAfterRewrite(command, path, id);
    };
  std::shared_ptr<maildir::MaildirStore> store;
  try {
    store = maildir::MaildirStore::Open(options.store, storeOptions);
  } catch (const ComError& e) {
    // A folder that is not a Maildir is a wrong --store: nothing is made there.
    if (e.Number() == errnum::kPathNotFound)
      throw AppError(exitcode::kUsage, e.Description() +
                                           " (give --store DIR or set $MAILDIR; `stowbright "
                                           "init DIR` makes a new Maildir)");
    throw AppError(exitcode::kFailed,
                   "cannot open the Maildir at " + options.store + ": " + e.Description());
  }
  TellNewSecret(*store);
  return store;
}

std::shared_ptr<maildir::MimeStore> OpenImap(const Options& options) {
  if (!options.afterRewrite.empty())
    throw AppError(exitcode::kUsage,
                   "--after-rewrite names a rewritten message file, which mail on an IMAP "
                   "server does not have: it works with a Maildir --store only");
  imap::Endpoint endpoint;
  try {
    endpoint = imap::Endpoint::Parse(options.store);
  } catch (const ComError& e) {
    throw AppError(exitcode::kUsage, e.Description());
  }
  std::shared_ptr<imap::ImapStore> store;
  try {
    imap::SessionOptions session;
    session.caFile = options.caFile;
    auto conn = std::make_unique<imap::Connector>(
        endpoint, imap::ObtainPassword(endpoint, options.passwordCommand), session);
    conn->onNotice = [](const std::string& why) { std::cerr << "stowbright: " << why << "\n"; };
    imap::StoreOptions storeOptions;
    // The Maildir's secret: mail synchronised between a Maildir and the account keeps
    // records both can verify.
    storeOptions.secretPath = options.config + "/maildir-secret";
    storeOptions.newSecret = options.newSecret;
    storeOptions.pollInterval = std::chrono::seconds(options.imapPoll);
    store = imap::ImapStore::Open(std::move(conn), storeOptions);
  } catch (const ComError& e) {
    throw AppError(exitcode::kFailed,
                   "cannot open the IMAP account " + endpoint.Url() + ": " + e.Description());
  }
  for (const auto& note : store->Finished().notes) std::cerr << "stowbright: " << note << "\n";
  TellNewSecret(*store);
  return store;
}

std::string VersionText(int major) {
  return std::to_string(major) + ".0.0.0";
}

}  // namespace

Session::Session(const Options& options) : options_(options) {
  std::error_code ec;
  std::filesystem::create_directories(options_.config, ec);
  if (ec)
    throw AppError(exitcode::kFailed,
                   "cannot create the settings folder " + options_.config + ": " + ec.message());
  // The store's secret protects what it writes into headers; nobody else may read it.
  ::chmod(options_.config.c_str(), 0700);

  registry_ = std::make_unique<sqlite::SqliteRegistry>(SettingsFile());
  toolkit_ = std::make_unique<TerminalToolkit>(options_);

  hostapp::RegisterSafeLibrary(factory_);
  hostapp::RegisterScriptingRuntime(factory_, {});
  platform::RegisterDictionary(factory_);

  auto& services = platform::Platform();
  services.registry = registry_.get();
  services.shell = &shell_;
  services.ui = toolkit_.get();
  services.loop = &appLoop_;
  appLoop_.SetOnYield([this] {
    // Ctrl-C at a yield of the batch: its Cancel, which finishes the item in hand.
    if (StopAsked()) toolkit_->CancelBatch();
    toolkit_->Refresh();
  });
  appLoop_.SetStopAsked([this] { return StopAsked(); });
  services.factory = &factory_;
  modGlobal::objOutcomeSink = outcomes_;
  modGlobal::fnStopRequested = [] { return interrupt::Requested(); };

  store_ = IsImapUrl(options_.store) ? OpenImap(options_) : OpenMaildir(options_);
  std::weak_ptr<maildir::MimeStore> weakStore = store_;
  host_ = std::make_shared<hostapp::HostApplication>(
      store_, VersionText(options_.hostVersion),
      [weakStore]() -> std::shared_ptr<om::Item> {
        auto s = weakStore.lock();
        return s ? s->CreateMailItem() : nullptr;
      },
      &factory_);
  factory_.Register("Outlook.Application",
                    [weak = std::weak_ptr(host_)]() -> ComPtr { return weak.lock(); });
}

Session::~Session() {
  Shutdown();
  maildir::DrainSaves();
  host_.reset();
  store_.reset();
  modGlobal::objOutcomeSink.reset();
  modGlobal::fnStopRequested = nullptr;
  modGlobal::blnNoMonitors = false;
  auto& services = platform::Platform();
  services = platform::Services{};
}

bool Session::StopAsked() const {
  return stopRequested_ || interrupt::Requested();
}

std::string Session::SettingsFile() const {
  return options_.config + "/settings.sqlite";
}

}  // namespace stow::app

namespace stow::app {

void Session::Connect() {
  if (addin_) return;
  modGlobal::blnNoMonitors = options_.command != "watch" && options_.command != "sweep";
  addin_ = std::make_unique<RozozizeraRoreravo>();
  // ext_cm_Startup: loaded as the host starts.
  addin_->AddinInstance_OnConnection(host_, 1, nullptr, Value{});
  if (options_.hostVersion >= 14) {
    customUI_ = addin_->IRibbonExtensibility_GetCustomUI("Microsoft.Outlook.Explorer");
    if (customUI_.find("onLoad=\"OnLoad\"") != std::string::npos) {
      ribbon_ = std::make_shared<office::RibbonUI>();
      addin_->OnLoad(ribbon_);
    }
  }
  addin_->AddinInstance_OnStartupComplete(Value{});
}

RozozizeraRoreravo& Session::addin() {
  if (!addin_) throw AppError(exitcode::kFailed, "the add-in is not loaded");
  return *addin_;
}

void Session::Shutdown() {
  if (!addin_) return;
  IgnoreErrors([&] { host_->Quit(); });
  addin_->AddinInstance_OnBeginShutdown(Value{});
  // ext_dm_HostShutdown
  addin_->AddinInstance_OnDisconnection(0, Value{});
  addin_->AddinInstance_Terminate();
  addin_.reset();
  ribbon_.reset();
  // The add-in's module is unloaded with it: the monitors, which its shut-down leaves
  // running, go too.
  modGlobal::colMonitoredFolders.reset();
  modGlobal::oMonitoredSentItems.reset();
}

namespace {

// A running timer of a loaded form (the batch window's close timer) not in fired,
// nullptr when none.
ui::Timer* ArmedTimer(const std::vector<ui::Form*>& forms, const std::set<ui::Timer*>& fired) {
  for (auto* form : forms)
    for (auto* control : form->Controls())
      if (auto* timer = dynamic_cast<ui::Timer*>(control);
          timer && timer->IsEnabled() && !fired.count(timer))
        return timer;
  return nullptr;
}

}  // namespace

void Session::Settle(std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  std::set<ui::Timer*> fired;
  while (!toolkit_->Forms().empty() && std::chrono::steady_clock::now() < deadline) {
    // Nobody watches a window linger in a terminal: its close timer ticks at once.
    if (auto* timer = ArmedTimer(toolkit_->Forms(), fired)) {
      fired.insert(timer);
      timer->Tick.Raise();
    } else
      loop_.RunFor(std::chrono::milliseconds(50));
  }
  toolkit_->Refresh();
}

}  // namespace stow::app
