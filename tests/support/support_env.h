#pragma once
// The world a support test runs in: a scripted user, a recording shell, an object
// factory with the scripting runtime and the shell object, and clean globals.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/temp_dir.h"
#include "platform/dictionary.h"
#include "platform/headless/headless_toolkit.h"
#include "platform/hostapp/host_application.h"
#include "platform/memory/memory_shell.h"
#include "platform/memory/memory_store.h"
#include "platform/object_factory.h"
#include "platform/posix/posix_file_system.h"
#include "platform/services.h"
#include "support/modErroHandling.h"
#include "support/modFileSystem.h"
#include "support/modGlobal.h"
#include "support/modSafeItem.h"

namespace stow::testing {

class SupportEnv {
 public:
  SupportEnv()
      : scoped_(platform::Services{.registry = nullptr,
                                   .shell = &shell,
                                   .ui = &ui,
                                   .loop = nullptr,
                                   .factory = &factory}) {
    modGlobal::ResetForTests();
    platform::RegisterDictionary(factory);
    factory.Register("Scripting.FileSystemObject",
                     [] { return std::make_shared<posix::PosixFileSystem>(); });
    factory.Register("Wscript.Shell", [this] { return ws; });
  }
  ~SupportEnv() {
    // Forms and host objects must go while the services they use still exist.
    modGlobal::ResetForTests();
    host.reset();
  }

  // A running host over a memory store whose new mails come from the store.
  hostapp::HostApplication& StartHost(const std::string& version = "14.0.0.4760") {
    store = std::make_shared<mem::MemoryStore>();
    host = std::make_shared<hostapp::HostApplication>(
        store, version, [s = store] { return s->CreateMailItem(); }, &factory);
    modGlobal::objOutlook = host;
    return *host;
  }

  // The texts of the error reports shown from now on, each closed at once and the
  // once-per-run flag cleared, so that every report shows.
  std::vector<std::string>& Reports() {
    ui.OnModal("frmErrorReport", [this](ui::Form& f) {
      reports_.push_back(f.Find<ui::TextBox>("txtReport")->Text);
      f.Unload();
      modGlobal::blnErrorReportShown = false;
    });
    return reports_;
  }

  headless::HeadlessToolkit ui;
  mem::MemoryShell shell;
  platform::ObjectFactory factory;
  std::shared_ptr<mem::MemoryWshShell> ws = std::make_shared<mem::MemoryWshShell>();
  std::shared_ptr<mem::MemoryStore> store;
  std::shared_ptr<hostapp::HostApplication> host;

 private:
  std::vector<std::string> reports_;
  platform::ScopedServices scoped_;
};

}  // namespace stow::testing
