#pragma once
// Tests describe mails with designated initializers and leave the other fields at
// their defaults on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
// The whole world one add-in test runs in, shared by every area's tests: for its
// lifetime it owns and installs (platform::ScopedServices) a fresh folder (Root()), a
// mail store and a host over it, the memory doubles of the registry, toolkit, loop and
// shell, an object factory whose file system injects failures (fs()), clean add-in
// globals, and the settings of a first run. The destructor undoes it all.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/hash.h"
#include "common/temp_dir.h"
#include "engine/outcome.h"
#include "platform/headless/headless_toolkit.h"
#include "platform/headless/manual_loop.h"
#include "platform/hostapp/host_application.h"
#include "platform/memory/faulty_file_system.h"
#include "platform/memory/memory_registry.h"
#include "platform/memory/memory_shell.h"
#include "platform/memory/memory_store.h"
#include "platform/object_factory.h"
#include "platform/object_model.h"
#include "platform/services.h"

namespace stow {
class cSettings;
}

namespace stow::testing {

class AddinEnvironment {
 public:
  struct Options {
    // The host's version text ("14..." ribbon host, "12...", "11...").
    std::string hostVersion = "14.0.0.4760";
    // Builds the store over a folder of the environment (given its path); empty:
    // a MemoryStore. createMail gives the host's new mails for such a store.
    std::function<std::shared_ptr<om::NameSpace>(const std::string& root)> makeStore;
    std::function<std::shared_ptr<om::Item>()> createMail;
    // Read the settings into modGlobal::objSettings at the start.
    bool readSettings = true;
  };

  AddinEnvironment();
  explicit AddinEnvironment(Options options);
  ~AddinEnvironment();
  AddinEnvironment(const AddinEnvironment&) = delete;
  AddinEnvironment& operator=(const AddinEnvironment&) = delete;

  const std::string& Root() const { return root_; }
  std::string Documents() const { return root_ + "/Documents"; }
  std::string TempFolder() const { return root_ + "/Temp"; }
  // The default attachment folder of a first run.
  std::string DefaultAttachmentFolder() const { return Documents() + "/My Attachments"; }
  // Creates Root()/name (and its parents) and returns its path.
  std::string MakeFolder(const std::string& name) const;

  platform::ObjectFactory factory;
  mem::MemoryRegistry registry;
  headless::HeadlessToolkit ui;
  headless::ManualLoop loop;
  mem::MemoryShell shell;
  std::shared_ptr<mem::MemoryWshShell> ws = std::make_shared<mem::MemoryWshShell>();

  // The file-system object the add-in uses (failures injected here reach it).
  mem::FaultyFileSystem& fs() { return *fs_; }
  // The store: memory() is null when Options::makeStore built another kind.
  om::NameSpace& store() { return *store_; }
  std::shared_ptr<om::NameSpace> storePtr() const { return store_; }
  mem::MemoryStore* memory() const { return memory_.get(); }
  // The memory store; fails the test (and throws) when there is none.
  mem::MemoryStore& mem();
  hostapp::HostApplication& host() { return *host_; }
  std::shared_ptr<hostapp::HostApplication> hostPtr() const { return host_; }
  // modGlobal::objSettings.
  cSettings& settings();

  // Writes a settings value (as the settings pages store it) and reads the settings again.
  void SetSetting(const std::string& valueName, const std::string& text);
  // The stored text of a settings value, "" when absent.
  std::string GetSetting(const std::string& valueName) const;
  // AttachmentFolderOption 1 with this folder (stored, then read again).
  void UseAttachmentFolder(const std::string& path);
  // AttachmentFolderOption 0 with this folder stored for the host folder.
  void UsePerFolderAttachmentFolder(const std::shared_ptr<om::Folder>& hostFolder,
                                    const std::string& path);

  std::shared_ptr<om::Folder> Inbox();
  // A mail stored in folder (Inbox when null) without an event (memory store only).
  std::shared_ptr<om::Item> AddMail(const mem::MailSpec& mailSpec,
                                    std::shared_ptr<om::Folder> folder = nullptr);
  // A fresh object over the stored state of item (its saved edits only); null when
  // the store has no such item any more in any folder.
  std::shared_ptr<om::Item> Reload(const std::shared_ptr<om::Item>& item);

  // An explorer on folder (Inbox when null), active, with the items selected.
  std::shared_ptr<hostapp::HostExplorer> OpenExplorer(
      std::shared_ptr<om::Folder> folder = nullptr,
      std::vector<std::shared_ptr<om::Item>> selection = {});
  // An inspector on item, active.
  std::shared_ptr<hostapp::HostInspector> OpenInspector(const std::shared_ptr<om::Item>& item);

  // The prompts of the message boxes shown, in order.
  std::vector<std::string> MessageTexts() const;
  // What the engine reported of each item it worked on, in order.
  std::vector<ItemOutcome>& Outcomes() { return outcomes_->items; }
  // The last outcome reported; fails the test (and throws) when there is none.
  ItemOutcome& LastOutcome();

  // Names of the regular files in a folder, sorted; empty when it does not exist.
  static std::vector<std::string> ListFiles(const std::string& folder);
  static std::string ReadFile(const std::string& path);
  // Writes bytes to path, replacing what is there, creating missing folders.
  static void WriteFile(const std::string& path, const std::string& bytes);
  static bool Exists(const std::string& path);
  // Lower-case hex SHA-256 of a file's bytes.
  static std::string FileSha256(const std::string& path);

 private:
  void Build(Options options);

  TempDir dir_{"addin"};
  const std::string& root_ = dir_.path();
  std::shared_ptr<mem::FaultyFileSystem> fs_;
  std::shared_ptr<OutcomeList> outcomes_ = std::make_shared<OutcomeList>();
  std::shared_ptr<mem::MemoryStore> memory_;
  std::shared_ptr<om::NameSpace> store_;
  std::shared_ptr<hostapp::HostApplication> host_;
  std::unique_ptr<platform::ScopedServices> services_;
};

// A gtest fixture with one fresh environment per test.
class AddinTest : public ::testing::Test {
 protected:
  // Whether the stored item is marked as detached; false when it is gone.
  bool Processed(const std::shared_ptr<om::Item>& item);
  // Whether the stored item has an attachment of that name.
  bool HasAttachment(const std::shared_ptr<om::Item>& item, const std::string& name);
  // A mail about subject: an HTML body naming it and, withFile, one attachment
  // subject + ".pdf" of its own bytes.
  static mem::MailSpec MailAbout(const std::string& subject, bool withFile = true);

  AddinEnvironment env;
};

}  // namespace stow::testing
