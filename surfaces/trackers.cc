#include "surfaces/trackers.h"

#include <algorithm>
#include <cctype>
#include <string>

#include "commands/commandRunner.h"
#include "engine/processEmail.h"
#include "engine/userProperties.h"
#include "platform/com_error.h"
#include "support/modErroHandling.h"
#include "support/modGlobal.h"
#include "support/shutdown.h"
#include "surfaces/cAttachFilesTB.h"
#include "surfaces/cStandardTB.h"
#include "surfaces/modRibbon.h"

namespace stow {

using modGlobal::colExplorers;
using modGlobal::objInspectors;
using modGlobal::objOutlook;

namespace {

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

// Adds under key; when the key is taken, the earlier member makes way for the new one.
template <class T>
void AddReplacing(platform::KeyedCollection<T>& collection, std::shared_ptr<T> member,
                  const std::string& key) {
  if (IgnoreErrors([&] { collection.Add(member, key); }) != 0) {
    collection.Remove(key);
    collection.Add(member, key);
  }
}

}  // namespace

// ---- cExplorer ----

cExplorer::~cExplorer() {
  IgnoreErrors([&] { toolbar_.reset(); });
  onFolderSwitch_.Disconnect();
  onClose_.Disconnect();
  onQuit_.Disconnect();
  explorer_.reset();
  app_.reset();
}

void cExplorer::set_oueCurrExplorer(std::shared_ptr<om::Explorer> explorer) {
  onFolderSwitch_.Disconnect();
  onClose_.Disconnect();
  explorer_ = std::move(explorer);
  if (!explorer_) return;
  onFolderSwitch_ = explorer_->FolderSwitch().Connect([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->oueCurrExplorer_FolderSwitch();
  });
  onClose_ = explorer_->CloseEvent().Connect([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->oueCurrExplorer_Close();
  });
}

void cExplorer::set_ouaMonitorApp(std::shared_ptr<om::Application> app) {
  onQuit_.Disconnect();
  app_ = std::move(app);
  if (!app_) return;
  onQuit_ = app_->QuitEvent().Connect([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->ouaMonitorApp_Quit();
  });
}

void cExplorer::subTrackRequiredFolder() {
  Trap("Explorer.SwitchFolders", [&] {
    IgnoreErrors([&] {
      if (toolbar_) toolbar_->subRemoveButtons();
    });
    toolbar_.reset();
    modGlobal::strCurrentAttachmentFolder.clear();
    std::shared_ptr<om::Folder> folder;
    IgnoreErrors([&] { folder = Required(Required(objOutlook).ActiveExplorer()).CurrentFolder(); });
    if (folder) {
      int type = folder->DefaultItemType();
      if (type == om::olMailItem || type == om::olPostItem) {
        toolbar_ = std::make_shared<cStandardTB>();
        toolbar_->ouaMonitorApp = objOutlook;
        toolbar_->set_oueCurrExplorer(explorer_);
        toolbar_->subAddButtons();
        modGlobal::strCurrentAttachmentFolder = toolbar_->UniqueAttachmentFolderPath;
      }
    }
  });
  // The attachment-folder button's label, screentip and visibility depend on the
  // folder now on screen.
  modRibbon::InvalidateRibbonControl("cmdAttachmentFolder");
  modRibbon::InvalidateRibbonControl("sepMailFolder");
}

void cExplorer::oueCurrExplorer_FolderSwitch() {
  subTrackRequiredFolder();
}

void cExplorer::oueCurrExplorer_Close() {
  auto self = shared_from_this();
  IgnoreErrors([&] { Required(colExplorers).Remove(strRemoveTag); });
  IgnoreErrors([] { modMain::subShutDownOutlook(); });
}

void cExplorer::ouaMonitorApp_Quit() {
  auto self = shared_from_this();
  IgnoreErrors([] { modMain::subKillObjects(); });
}

// ---- cExplorersEvent ----

std::shared_ptr<cExplorersEvent> cExplorersEvent::Create() {
  std::shared_ptr<cExplorersEvent> events(new cExplorersEvent());
  IgnoreErrors([] {
    objInspectors = std::make_shared<cInspectors>();
    objInspectors->set_ouisInspectors(Required(objOutlook).Inspectors());
  });
  IgnoreErrors([] { colExplorers = std::make_shared<platform::KeyedCollection<cExplorer>>(); });
  return events;
}

cExplorersEvent::~cExplorersEvent() {
  onNewExplorer_.Disconnect();
  oueCurrExplorer.reset();
  explorers_.reset();
  // Releasing the wrappers ends their windows' events and their command bars.
  IgnoreErrors([] { colExplorers.reset(); });
}

void cExplorersEvent::set_oExplorers(std::shared_ptr<om::Explorers> explorers) {
  onNewExplorer_.Disconnect();
  explorers_ = std::move(explorers);
  if (!explorers_) return;
  onNewExplorer_ = explorers_->NewExplorer().Connect(
      [weak = weak_from_this()](std::shared_ptr<om::Explorer> explorer) {
        if (auto self = weak.lock()) self->oExplorers_NewExplorer(explorer);
      });
}

void cExplorersEvent::oExplorers_NewExplorer(const std::shared_ptr<om::Explorer>& explorer) {
  auto self = shared_from_this();
  Trap("Explorers.NewExplorer", [&] {
    oueCurrExplorer = explorer;
    LoadHelplarkMenu();
  });
}

std::string cExplorersEvent::NextExplorerKey(std::int64_t explorerCount) {
  std::int64_t number = explorerCount;
  auto key = [&] { return std::to_string(number) + "EXPLORER"; };
  while (colExplorers && colExplorers->Contains(key())) ++number;
  return key();
}

void cExplorersEvent::LoadHelplarkMenu() {
  Trap("Explorers.Initialize", [&] {
    auto wrapper = std::make_shared<cExplorer>();
    IgnoreErrors([&] {
      wrapper->set_oueCurrExplorer(oueCurrExplorer);
      wrapper->set_ouaMonitorApp(objOutlook);
    });
    IgnoreErrors([&] { wrapper->subTrackRequiredFolder(); });
    IgnoreErrors([&] {
      // The count alone can repeat a key still held by an open window once an
      // earlier one has closed, so the number moves on to the next free one.
      std::int64_t count = Required(Required(objOutlook).Explorers()).Count();
      wrapper->strRemoveTag = NextExplorerKey(count);
      Required(colExplorers).Add(wrapper, wrapper->strRemoveTag);
    });
  });
}

// ---- cInspectors ----

cInspectors::cInspectors()
    : colInspectorsTB(std::make_shared<platform::KeyedCollection<cStandardTB>>()),
      colInspectorsComposeTB(std::make_shared<platform::KeyedCollection<cAttachFilesTB>>()) {}

cInspectors::~cInspectors() {
  onNewInspector_.Disconnect();
  inspectors_.reset();
  colInspectorsTB.reset();
  colInspectorsComposeTB.reset();
}

void cInspectors::set_ouisInspectors(std::shared_ptr<om::Inspectors> inspectors) {
  onNewInspector_.Disconnect();
  inspectors_ = std::move(inspectors);
  if (!inspectors_) return;
  onNewInspector_ = inspectors_->NewInspector().Connect(
      [weak = weak_from_this()](std::shared_ptr<om::Inspector> inspector) {
        if (auto self = weak.lock()) self->ouisInspectors_NewInspector(inspector);
      });
}

void cInspectors::ouisInspectors_NewInspector(const std::shared_ptr<om::Inspector>& inspector) {
  auto self = shared_from_this();
  Trap("Inspectors.NewInspector", [&] {
    auto item = Required(inspector).CurrentItem();
    std::string messageClass = Upper(Required(item).MessageClass());
    if (messageClass.find("IPM.NOTE") == std::string::npos &&
        messageClass.find("IPM.POST") == std::string::npos) {
      return;
    }
    std::string entryId = item->EntryID();
    if (!entryId.empty()) {
      auto bar = std::make_shared<cStandardTB>();
      bar->set_oueCurrInspector(inspector);
      bar->subAddButtons();
      AddReplacing(Required(colInspectorsTB), bar, entryId);
      return;
    }
    std::string conversationIndex = item->ConversationIndex();
    if (conversationIndex.empty() || item->ConversationTopic().empty()) return;
    auto bar = std::make_shared<cAttachFilesTB>();
    bar->set_oueCurrInspector(inspector);
    bar->GetRandomID();
    bar->subAddButtons();
    if (auto original = GetCurrentSelectedItem()) {
      bar->strConversationIndex = conversationIndex;
      bar->strAttachments = ToText(
          GetUserDefinedFieldValue(original, kRecordsProperty, FieldKind::kText, std::string()));
    }
    AddReplacing(Required(colInspectorsComposeTB), bar, std::to_string(bar->ID));
  });
}

}  // namespace stow
