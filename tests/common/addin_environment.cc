#include "tests/common/addin_environment.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "engine/processEmail.h"
#include "host/modMain.h"
#include "platform/dictionary.h"
#include "platform/hostapp/safe_library.h"
#include "platform/posix/posix_file_system.h"
#include "support/attachmentFolders.h"
#include "support/cSettings.h"
#include "support/modFileSystem.h"
#include "support/modGlobal.h"
#include "support/modRegistryEntry.h"
#include "tests/common/scratch_home.h"

namespace stow::testing {

namespace {

// Saved files the engine removes go to this trash, not the user's.
const std::string& scratchHome = UseScratchHome();

// The real file system, with the environment's own temporary folder, so that
// nothing a test does lands in the machine's shared one.
class EnvironmentFileSystem : public posix::PosixFileSystem {
 public:
  explicit EnvironmentFileSystem(std::string temp) : temp_(std::move(temp)) {}
  std::string GetSpecialFolder(int which) override {
    if (which == platform::TemporaryFolder) return temp_;
    return posix::PosixFileSystem::GetSpecialFolder(which);
  }

 private:
  std::string temp_;
};

std::shared_ptr<om::Item> FindIn(const std::shared_ptr<om::Folder>& folder,
                                 const std::string& entryId, int depth) {
  if (!folder || depth > 32) return nullptr;
  if (auto items = folder->Items()) {
    auto walk = items->Enumerate();
    while (auto item = walk->Next()) {
      if (item->EntryID() == entryId) return item;
    }
  }
  if (auto folders = folder->Folders()) {
    for (std::int64_t i = 1; i <= folders->Count(); ++i) {
      if (auto found = FindIn(folders->Item(i), entryId, depth + 1)) return found;
    }
  }
  return nullptr;
}

}  // namespace

AddinEnvironment::AddinEnvironment() {
  Build(Options{});
}

AddinEnvironment::AddinEnvironment(Options options) {
  Build(std::move(options));
}

void AddinEnvironment::Build(Options options) {
  std::filesystem::create_directories(Documents());
  std::filesystem::create_directories(TempFolder());
  shell.SetSpecialFolder(platform::CSIDL_PERSONAL, Documents());
  shell.SetSystemTempPath(TempFolder());
  shell.SetProgramFolder(root_ + "/Program");

  fs_ = std::make_shared<mem::FaultyFileSystem>(
      std::make_shared<EnvironmentFileSystem>(TempFolder()));
  hostapp::RegisterSafeLibrary(factory);
  platform::RegisterDictionary(factory);
  factory.Register("Scripting.FileSystemObject", [fs = fs_] { return fs; });
  factory.Register("Wscript.Shell", [w = ws] { return w; });

  services_ = std::make_unique<platform::ScopedServices>(platform::Services{
      .registry = &registry, .shell = &shell, .ui = &ui, .loop = &loop, .factory = &factory});
  modGlobal::ResetForTests();
  modMain::WireCallbacks();
  modGlobal::objOutcomeSink = outcomes_;

  if (options.makeStore) {
    store_ = options.makeStore(root_);
  } else {
    memory_ = std::make_shared<mem::MemoryStore>();
    store_ = memory_;
    options.createMail = [m = memory_] { return m->CreateMailItem(); };
  }
  host_ = std::make_shared<hostapp::HostApplication>(store_, options.hostVersion,
                                                     options.createMail, &factory);
  modGlobal::objOutlook = host_;
  modGlobal::objNameSpace = store_;
  modFileSystem::InitializeFileSystem();
  modGlobal::objSettings = std::make_shared<cSettings>();
  if (options.readSettings) modGlobal::objSettings->ReadSettings();
}

AddinEnvironment::~AddinEnvironment() {
  // Add-in objects go while the services they may call still exist.
  modGlobal::ResetForTests();
  host_.reset();
  store_.reset();
  memory_.reset();
  services_.reset();
}

std::string AddinEnvironment::MakeFolder(const std::string& name) const {
  std::string path = root_ + "/" + name;
  std::filesystem::create_directories(path);
  return path;
}

mem::MemoryStore& AddinEnvironment::mem() {
  if (!memory_) {
    ADD_FAILURE() << "the environment's store is not a memory store";
    throw std::logic_error("no memory store");
  }
  return *memory_;
}

cSettings& AddinEnvironment::settings() {
  if (!modGlobal::objSettings) modGlobal::objSettings = std::make_shared<cSettings>();
  return *modGlobal::objSettings;
}

void AddinEnvironment::SetSetting(const std::string& valueName, const std::string& text) {
  registry.SetText(platform::Hive::CurrentUser,
                   modRegistryEntry::RegistryKeyPath(kRegistryAppName, ""), valueName, text);
  settings().ReadSettings();
}

std::string AddinEnvironment::GetSetting(const std::string& valueName) const {
  return registry
      .GetText(platform::Hive::CurrentUser, modRegistryEntry::RegistryKeyPath(kRegistryAppName, ""),
               valueName)
      .value_or("");
}

void AddinEnvironment::UseAttachmentFolder(const std::string& path) {
  SetSetting("AttachmentFolderPath", path);
  SetSetting("AttachmentFolderOption", "1");
}

void AddinEnvironment::UsePerFolderAttachmentFolder(const std::shared_ptr<om::Folder>& hostFolder,
                                                    const std::string& path) {
  WriteAttachmentFolderPathToRegistry(hostFolder->FolderPath(), path);
  SetSetting("AttachmentFolderOption", "0");
}

std::shared_ptr<om::Folder> AddinEnvironment::Inbox() {
  return store_->GetDefaultFolder(om::olFolderInbox);
}

std::shared_ptr<om::Item> AddinEnvironment::AddMail(const mem::MailSpec& mailSpec,
                                                    std::shared_ptr<om::Folder> folder) {
  return mem().AddMail(folder ? folder : Inbox(), mailSpec);
}

std::shared_ptr<om::Item> AddinEnvironment::Reload(const std::shared_ptr<om::Item>& item) {
  std::string id = item->EntryID();
  if (memory_) return memory_->FindByEntryId(id);
  auto folders = store_->Folders();
  for (std::int64_t i = 1; i <= folders->Count(); ++i) {
    if (auto found = FindIn(folders->Item(i), id, 0)) return found;
  }
  return nullptr;
}

std::shared_ptr<hostapp::HostExplorer> AddinEnvironment::OpenExplorer(
    std::shared_ptr<om::Folder> folder, std::vector<std::shared_ptr<om::Item>> selection) {
  auto explorer = host_->OpenExplorer(folder ? folder : Inbox());
  explorer->SetSelection(std::move(selection));
  return explorer;
}

std::shared_ptr<hostapp::HostInspector> AddinEnvironment::OpenInspector(
    const std::shared_ptr<om::Item>& item) {
  return host_->OpenInspector(item);
}

std::vector<std::string> AddinEnvironment::MessageTexts() const {
  std::vector<std::string> texts;
  for (const auto& box : ui.MessageBoxes()) texts.push_back(box.prompt);
  return texts;
}

ItemOutcome& AddinEnvironment::LastOutcome() {
  if (outcomes_->items.empty()) {
    ADD_FAILURE() << "the engine reported no outcome";
    throw std::logic_error("no outcome");
  }
  return outcomes_->items.back();
}

std::vector<std::string> AddinEnvironment::ListFiles(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string AddinEnvironment::ReadFile(const std::string& path) {
  return ReadAll(path);
}

void AddinEnvironment::WriteFile(const std::string& path, const std::string& bytes) {
  std::filesystem::path p(path);
  if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path());
  WriteAll(path, bytes);
}

bool AddinEnvironment::Exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

std::string AddinEnvironment::FileSha256(const std::string& path) {
  return Sha256(ReadFile(path));
}

bool AddinTest::Processed(const std::shared_ptr<om::Item>& item) {
  auto fresh = env.Reload(item);
  return fresh && IsProcessed(fresh);
}

bool AddinTest::HasAttachment(const std::shared_ptr<om::Item>& item, const std::string& name) {
  auto fresh = env.Reload(item);
  if (!fresh) return false;
  for (const auto& a : fresh->Attachments()->All())
    if (a->FileName() == name) return true;
  return false;
}

mem::MailSpec AddinTest::MailAbout(const std::string& subject, bool withFile) {
  mem::MailSpec mailSpec;
  mailSpec.subject = subject;
  mailSpec.htmlBody = "<html><body><p>" + subject + "</p></body></html>";
  if (withFile) mailSpec.attachments.push_back({subject + ".pdf", "%PDF-" + subject, "", false});
  return mailSpec;
}

}  // namespace stow::testing
