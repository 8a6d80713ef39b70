#include "app/dispatch.h"

#include <functional>
#include <map>

#include "app/app_error.h"
#include "commands/commandRunner.h"
#include "commands/copyAttachments.h"
#include "engine/deleteItem.h"
#include "engine/processEmail.h"
#include "engine/reattach.h"
#include "host/modGlobal.h"
#include "platform/com_error.h"

namespace stow::app {

namespace {

std::shared_ptr<om::Item> InspectorItem() {
  auto app = modGlobal::objOutlook;
  if (!app) return nullptr;
  return ValueOr(std::shared_ptr<om::Item>(), [&]() -> std::shared_ptr<om::Item> {
    auto inspector = app->ActiveInspector();
    return inspector ? inspector->CurrentItem() : nullptr;
  });
}

std::shared_ptr<om::Folder> ExplorerFolder() {
  auto app = modGlobal::objOutlook;
  if (!app) return nullptr;
  return ValueOr(std::shared_ptr<om::Folder>(), [&]() -> std::shared_ptr<om::Folder> {
    auto explorer = app->ActiveExplorer();
    return explorer ? explorer->CurrentFolder() : nullptr;
  });
}

using Action = std::function<void()>;

const std::map<std::string, Action>& Table() {
  static const std::map<std::string, Action> table = [] {
    std::map<std::string, Action> t;
    auto each = [&](const std::string& stem, Action a) {
      t[stem] = a;
      t[stem + "Context"] = a;
      t[stem + "ContextMulti"] = a;
    };
    each("cmdStripAttachments", [] { StripAttachments(); });
    each("cmdReInstateAttachments", [] { AttachFiles(); });
    each("cmdRemoveLinks", [] { RemoveLinks(); });
    each("cmdDeleteItems", [] { DeleteItemFiles(); });
    each("cmdCopyAttachmentsToFolder", [] { CopyAttachmentsToFileFolder(); });
    each("cmdDetachToACustomFolder", [] { StripAttachmentsToACustomFolder(); });
    t["cmdStripAttachmentsFolder"] = [] {
      if (auto folder = ExplorerFolder()) StripAttachmentsFromAllItemsInFolder(folder, false, true);
    };
    t["cmdReInstateAttachmentsFolder"] = [] {
      if (auto folder = ExplorerFolder()) AttachFilesOnAllItemsInFolder(folder);
    };
    t["cmdDetach"] = [] {
      if (auto item = InspectorItem()) ProcessEmail(item, false, "", false);
    };
    t["cmdReAttach"] = [] {
      if (auto item = InspectorItem()) ReAttachFiles(item, false, "");
    };
    t["cmdDelete"] = [] {
      if (auto item = InspectorItem()) DeleteItemAndFiles(item, true);
    };
    t["cmdAttachmentFolder"] = [] { SetSeparateFolderPathForAttachment(); };
    // The compose commands, the settings pages, help and the about box belong to
    // parts of the add-in this build does not have yet.
    for (const char* id : {"cmdReAttachCompose", "cmdRemoveLinksCompose"})
      t[id] = [id] { NotAvailable(std::string("the compose command ") + id); };
    for (const char* id : {"cmdSettingsFolders", "cmdSettingsAttachments", "cmdSettingsExtension"})
      t[id] = [] { NotAvailable("the settings dialog"); };
    for (const char* id : {"cmdHelpTopics", "cmdVideoTour", "cmdProductPage"})
      t[id] = [id] { NotAvailable(std::string("the help command ") + id); };
    t["cmdAbout"] = [] { NotAvailable("the about box"); };
    return t;
  }();
  return table;
}

}  // namespace

bool KnownControl(const std::string& controlId) {
  return Table().count(controlId) > 0;
}

void ExecuteControl(const std::string& controlId) {
  auto it = Table().find(controlId);
  if (it == Table().end())
    throw AppError(exitcode::kUsage, "unknown control id '" + controlId + "'");
  it->second();
}

}  // namespace stow::app
