#pragma once
// The world a settings test runs in: a memory registry, a Documents folder inside a
// fresh temporary folder, the real file system and dictionaries through the object
// factory, and clean add-in globals.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "common/temp_dir.h"
#include "platform/dictionary.h"
#include "platform/memory/memory_registry.h"
#include "platform/memory/memory_shell.h"
#include "platform/object_factory.h"
#include "platform/posix/posix_file_system.h"
#include "platform/services.h"
#include "platform/shell.h"
#include "support/modErroHandling.h"
#include "support/modFileSystem.h"
#include "support/modGlobal.h"

namespace stow::settings_test {

inline constexpr const char* kKeyPath = "Software\\Quillmere\\KZO";

// Registers what the add-in creates by identifier here.
inline void RegisterRuntime(platform::ObjectFactory& factory) {
  platform::RegisterDictionary(factory);
  factory.Register("Scripting.FileSystemObject",
                   [] { return std::make_shared<posix::PosixFileSystem>(); });
}

class SettingsTest : public ::testing::Test {
 protected:
  SettingsTest() {
    RegisterRuntime(factory);
    shell.SetSpecialFolder(platform::CSIDL_PERSONAL, Documents());
    std::filesystem::create_directories(Documents());
    platform::Services services;
    services.registry = &registry;
    services.shell = &shell;
    services.factory = &factory;
    scoped_ = std::make_unique<platform::ScopedServices>(services);
    modGlobal::ResetForTests();
  }
  ~SettingsTest() override {
    modGlobal::ResetForTests();
    scoped_.reset();
  }

  const std::string& Root() const { return root_.path(); }
  std::string Documents() const { return root_ / "Documents"; }

  std::optional<std::string> Stored(const std::string& name) const {
    return registry.GetText(platform::Hive::CurrentUser, kKeyPath, name);
  }
  void Store(const std::string& name, const std::string& text) {
    registry.SetText(platform::Hive::CurrentUser, kKeyPath, name, text);
  }

  mem::MemoryRegistry registry;
  mem::MemoryShell shell;
  platform::ObjectFactory factory;

 private:
  testing::TempDir root_{"settings"};
  std::unique_ptr<platform::ScopedServices> scoped_;
};

}  // namespace stow::settings_test
