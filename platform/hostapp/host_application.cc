#include "platform/hostapp/host_application.h"

#include <glib.h>

#include <algorithm>

#include "platform/hostapp/hooks.h"
#include "platform/office.h"

namespace stow::hostapp {

namespace {

constexpr const char* kSource = "Host Application";

[[noreturn]] void WindowGone() {
  Raise(errnum::kObjectGone, kSource, "The window has been closed.");
}

// The application whose handlers are installed in the store hooks, so that a
// second application's destruction does not remove the first one's handlers.
HostApplication* g_hooksOwner = nullptr;

class HostSelection : public om::Selection {
 public:
  explicit HostSelection(std::vector<std::shared_ptr<om::Item>> items) : items_(std::move(items)) {}
  std::int64_t Count() override { return static_cast<std::int64_t>(items_.size()); }
  std::shared_ptr<om::Item> Item(std::int64_t index) override {
    if (index < 1 || index > Count()) {
      Raise(errnum::kSubscriptOutOfRange, kSource, "Array index out of bounds.");
    }
    return items_[static_cast<std::size_t>(index - 1)];
  }
  std::vector<std::shared_ptr<om::Item>> All() override { return items_; }

 private:
  std::vector<std::shared_ptr<om::Item>> items_;
};

}  // namespace

// ---- HostExplorer ----

HostExplorer::HostExplorer(HostApplication* app, std::shared_ptr<om::Folder> folder)
    : app_(app), folder_(std::move(folder)) {}

void HostExplorer::Alive() const {
  if (gone_) WindowGone();
}

std::shared_ptr<office::CommandBars> HostExplorer::CommandBars() {
  Alive();
  if (!commandBars_) commandBars_ = std::make_shared<office::CommandBars>();
  return commandBars_;
}

std::string HostExplorer::Caption() {
  Alive();
  return folder_->Name() + " - Microsoft Outlook";
}

void HostExplorer::Activate() {
  Alive();
  app_->Show(this);
}

std::shared_ptr<om::Folder> HostExplorer::CurrentFolder() {
  Alive();
  return folder_;
}

std::shared_ptr<om::Selection> HostExplorer::Selection() {
  Alive();
  return std::make_shared<HostSelection>(selection_);
}

void HostExplorer::SelectFolder(const std::shared_ptr<om::Folder>& folder) {
  Alive();
  if (folder == nullptr) Raise(errnum::kObjectRequired, kSource, "Object required");
  folder_ = folder;
  selection_.clear();
  folderSwitch_.Raise();
}

void HostExplorer::Display() {
  Alive();
  app_->Show(this);
}

void HostExplorer::Close() {
  Alive();
  app_->CloseWindow(this);
}

void HostExplorer::SetSelection(std::vector<std::shared_ptr<om::Item>> items) {
  Alive();
  selection_ = std::move(items);
}

// ---- HostInspector ----

HostInspector::HostInspector(HostApplication* app, std::shared_ptr<om::Item> item)
    : app_(app), item_(std::move(item)) {}

void HostInspector::Alive() const {
  if (gone_) WindowGone();
}

std::shared_ptr<office::CommandBars> HostInspector::CommandBars() {
  Alive();
  if (!commandBars_) commandBars_ = std::make_shared<office::CommandBars>();
  return commandBars_;
}

std::string HostInspector::Caption() {
  Alive();
  std::string subject = ValueOr(std::string(), [&] { return item_->Subject(); });
  return (subject.empty() ? std::string("Untitled") : subject) + " - Message (HTML)";
}

void HostInspector::Activate() {
  Alive();
  app_->BringToTop(this);
}

std::shared_ptr<om::Item> HostInspector::CurrentItem() {
  Alive();
  return item_;
}

void HostInspector::Close(int saveMode) {
  Alive();
  if (saveMode == om::olSave) item_->Save();
  app_->CloseWindow(this);
}

// ---- collections ----

class HostApplication::ExplorersView : public om::Explorers {
 public:
  explicit ExplorersView(HostApplication* app) : app_(app) {}
  std::int64_t Count() override { return static_cast<std::int64_t>(app_->explorers_.size()); }
  std::shared_ptr<om::Explorer> Item(std::int64_t index) override {
    if (index < 1 || index > Count()) {
      Raise(errnum::kSubscriptOutOfRange, kSource, "Array index out of bounds.");
    }
    return app_->explorers_[static_cast<std::size_t>(index - 1)];
  }
  std::shared_ptr<om::Explorer> Add(const std::shared_ptr<om::Folder>& folder, int) override {
    return app_->AddExplorer(folder, false);
  }
  Event<std::shared_ptr<om::Explorer>>& NewExplorer() override { return newExplorer_; }

 private:
  HostApplication* app_;
  Event<std::shared_ptr<om::Explorer>> newExplorer_;
};

class HostApplication::InspectorsView : public om::Inspectors {
 public:
  explicit InspectorsView(HostApplication* app) : app_(app) {}
  std::int64_t Count() override { return static_cast<std::int64_t>(app_->inspectors_.size()); }
  std::shared_ptr<om::Inspector> Item(std::int64_t index) override {
    if (index < 1 || index > Count()) {
      Raise(errnum::kSubscriptOutOfRange, kSource, "Array index out of bounds.");
    }
    return app_->inspectors_[static_cast<std::size_t>(index - 1)];
  }
  Event<std::shared_ptr<om::Inspector>>& NewInspector() override { return newInspector_; }

 private:
  HostApplication* app_;
  Event<std::shared_ptr<om::Inspector>> newInspector_;
};

// ---- HostApplication ----

HostApplication::HostApplication(std::shared_ptr<om::NameSpace> nameSpace, std::string version,
                                 MailCreator createMail, platform::ObjectFactory* factory)
    : nameSpace_(std::move(nameSpace)),
      version_(std::move(version)),
      createMail_(std::move(createMail)),
      factory_(factory),
      explorersView_(std::make_shared<ExplorersView>(this)),
      inspectorsView_(std::make_shared<InspectorsView>(this)) {
  g_hooksOwner = this;
  SetDisplayHandler([this](const std::shared_ptr<om::Item>& item) { OpenInspector(item); });
  SetPickFolderHandler([this]() {
    ++pickCount_;
    return pickAnswer_;
  });
}

HostApplication::~HostApplication() {
  if (g_hooksOwner == this) {
    g_hooksOwner = nullptr;
    SetDisplayHandler(nullptr);
    SetPickFolderHandler(nullptr);
  }
}

std::shared_ptr<om::NameSpace> HostApplication::GetNamespace(const std::string& type) {
  if (g_ascii_strcasecmp(type.c_str(), "MAPI") != 0) {
    Raise(errnum::kInvalidProcedureCall, kSource, "Invalid procedure call or argument");
  }
  return nameSpace_;
}

std::shared_ptr<om::Item> HostApplication::CreateItem(int itemType) {
  if (itemType != om::olMailItem || !createMail_) {
    Raise(errnum::kInvalidProcedureCall, kSource, "Invalid procedure call or argument");
  }
  auto item = createMail_();
  if (item == nullptr) Raise(errnum::kFail, kSource, "The item could not be created.");
  return item;
}

std::shared_ptr<om::Window> HostApplication::ActiveWindow() {
  if (failActiveWindow_ != 0) Raise(failActiveWindow_, kSource, "The operation failed.");
  if (noActiveWindow_ || stack_.empty()) return nullptr;
  return stack_.back();
}

std::shared_ptr<om::Explorer> HostApplication::ActiveExplorer() {
  if (failActiveExplorer_ != 0) Raise(failActiveExplorer_, kSource, "The operation failed.");
  for (auto it = stack_.rbegin(); it != stack_.rend(); ++it) {
    if (auto e = std::dynamic_pointer_cast<om::Explorer>(*it)) return e;
  }
  return nullptr;
}

std::shared_ptr<om::Inspector> HostApplication::ActiveInspector() {
  if (failActiveInspector_ != 0) Raise(failActiveInspector_, kSource, "The operation failed.");
  for (auto it = stack_.rbegin(); it != stack_.rend(); ++it) {
    if (auto i = std::dynamic_pointer_cast<om::Inspector>(*it)) return i;
  }
  return nullptr;
}

std::shared_ptr<om::Explorers> HostApplication::Explorers() {
  return explorersView_;
}

std::shared_ptr<om::Inspectors> HostApplication::Inspectors() {
  return inspectorsView_;
}

ComPtr HostApplication::CreateObject(const std::string& progId) {
  if (factory_ == nullptr) {
    Raise(errnum::kCannotCreateObject, kSource, "ActiveX component can't create object");
  }
  return factory_->Create(progId);
}

void HostApplication::Quit() {
  quitCalled_ = true;
  quit_.Raise();
  stack_.clear();
  explorers_.clear();
  inspectors_.clear();
}

std::shared_ptr<HostExplorer> HostApplication::AddExplorer(
    const std::shared_ptr<om::Folder>& folder, bool shown) {
  if (folder == nullptr) Raise(errnum::kObjectRequired, kSource, "Object required");
  auto explorer = std::make_shared<HostExplorer>(this, folder);
  explorers_.push_back(explorer);
  explorersView_->NewExplorer().Raise(explorer);
  if (shown) Show(explorer.get());
  return explorer;
}

std::shared_ptr<HostExplorer> HostApplication::OpenExplorer(
    const std::shared_ptr<om::Folder>& folder) {
  return AddExplorer(folder, true);
}

std::shared_ptr<HostInspector> HostApplication::OpenInspector(
    const std::shared_ptr<om::Item>& item) {
  if (item == nullptr) Raise(errnum::kObjectRequired, kSource, "Object required");
  auto inspector = std::make_shared<HostInspector>(this, item);
  inspectors_.push_back(inspector);
  inspectorsView_->NewInspector().Raise(inspector);
  // A NewInspector handler may have closed the window already.
  if (std::find(inspectors_.begin(), inspectors_.end(), inspector) != inspectors_.end()) {
    BringToTop(inspector.get());
  }
  return inspector;
}

void HostApplication::SetActiveWindow(const std::shared_ptr<om::Window>& window) {
  if (window == nullptr) {
    noActiveWindow_ = true;
    return;
  }
  if (auto* e = dynamic_cast<HostExplorer*>(window.get())) {
    Show(e);
  } else {
    BringToTop(window.get());
  }
}

void HostApplication::BringToTop(om::Window* window) {
  auto held = Find(window);
  if (held == nullptr) WindowGone();
  std::erase(stack_, held);
  stack_.push_back(held);
  noActiveWindow_ = false;
}

void HostApplication::Show(HostExplorer* explorer) {
  explorer->visible_ = true;
  BringToTop(explorer);
}

std::shared_ptr<om::Window> HostApplication::Find(om::Window* window) const {
  for (auto& e : explorers_) {
    if (e.get() == window) return e;
  }
  for (auto& i : inspectors_) {
    if (i.get() == window) return i;
  }
  return nullptr;
}

void HostApplication::CloseWindow(const std::shared_ptr<om::Window>& window) {
  CloseWindow(window.get());
}

void HostApplication::CloseWindow(om::Window* window) {
  auto held = Find(window);
  if (held == nullptr) return;
  std::erase(stack_, held);
  std::erase_if(explorers_, [&](const auto& e) { return e.get() == window; });
  std::erase_if(inspectors_, [&](const auto& i) { return i.get() == window; });
  if (auto* e = dynamic_cast<HostExplorer*>(window)) {
    e->close_.Raise();
  } else if (auto* i = dynamic_cast<HostInspector*>(window)) {
    i->close_.Raise();
  }
}

void HostApplication::MakeWindowGone(const std::shared_ptr<om::Window>& window) {
  if (auto* e = dynamic_cast<HostExplorer*>(window.get())) e->MakeGone();
  if (auto* i = dynamic_cast<HostInspector*>(window.get())) i->MakeGone();
}

}  // namespace stow::hostapp
