#include "commands/commandRunner.h"

#include <cstdint>
#include <functional>

#include "commands/fStripAttachments.h"
#include "engine/deleteItem.h"
#include "engine/processEmail.h"
#include "engine/reattach.h"
#include "engine/userProperties.h"
#include "platform/com_error.h"
#include "platform/services.h"
#include "platform/ui.h"
#include "settings/frmAttachmentFolder.h"
#include "support/attachmentFolders.h"
#include "support/cSettings.h"
#include "support/modErroHandling.h"
#include "support/modGlobal.h"
#include "support/modOutlookHelpers.h"
#include "support/product.h"

namespace stow {

using modGlobal::objOutlook;

namespace {

using ItemAction = std::function<void(const std::shared_ptr<om::Item>&)>;

std::shared_ptr<om::Window> ActiveWindow() {
  return ValueOr(std::shared_ptr<om::Window>(), [] { return Required(objOutlook).ActiveWindow(); });
}

bool IsExplorer(const std::shared_ptr<om::Window>& w) {
  return ValueOr(false, [&] { return w->TypeName() == "Explorer"; });
}
bool IsInspector(const std::shared_ptr<om::Window>& w) {
  return ValueOr(false, [&] { return w->TypeName() == "Inspector"; });
}

std::string FolderName(const std::function<std::shared_ptr<om::Folder>()>& folder) {
  return ValueOr(std::string(), [&] { return Required(folder()).Name(); });
}

// A fresh batch window, shown modeless and labelled; the caller sets its switches.
std::shared_ptr<fStripAttachments> OpenBatchWindow(const std::string& folderName) {
  auto window = fStripAttachments::Create();
  window->Show(false);
  window->lblProcessing.Caption = kInitiatingText;
  window->lblFolder.Caption = folderName;
  return window;
}

// The frame every selection command shares: the inspector's item or one selected
// item goes to oneItem; several items go to a batch window set up by configure.
void RunOnSelection(const ItemAction& oneItem,
                    const std::function<void(fStripAttachments&)>& configure) {
  auto window = ActiveWindow();
  if (!window) return;
  if (IsInspector(window)) {
    auto inspector = std::dynamic_pointer_cast<om::Inspector>(window);
    oneItem(Required(inspector).CurrentItem());
    return;
  }
  if (!IsExplorer(window)) return;
  auto explorer = std::dynamic_pointer_cast<om::Explorer>(window);
  auto selection =
      ValueOr(std::shared_ptr<om::Selection>(), [&] { return Required(explorer).Selection(); });
  std::int64_t count = selection ? ValueOr<std::int64_t>(0, [&] { return selection->Count(); }) : 0;
  if (count <= 0) return;
  if (count == 1) {
    oneItem(selection->Item(1));
    return;
  }
  auto batch = OpenBatchWindow(FolderName([&] { return explorer->CurrentFolder(); }));
  batch->objSelection = selection;
  configure(*batch);
  batch->LoadBatchOperation();
}

// The frame of the folder routines.
void RunOnFolder(const std::shared_ptr<om::Folder>& folder, bool skipProcessed,
                 const ItemAction& oneItem,
                 const std::function<void(fStripAttachments&)>& configure) {
  if (!folder) return;
  std::int64_t count = Required(folder->Items()).Count();
  if (count < 1) return;
  if (count == 1) {
    auto item = ValueOr(std::shared_ptr<om::Item>(), [&] { return folder->Items()->Item(1); });
    if (!item) return;
    if (skipProcessed && IsProcessed(item)) return;
    oneItem(item);
    return;
  }
  auto batch = OpenBatchWindow(FolderName([&] { return folder; }));
  batch->objFolder = folder;
  batch->blnAllItemsInFolder = true;
  configure(*batch);
  batch->LoadBatchOperation();
}

}  // namespace

void StripAttachments() {
  Trap("Toolbar.StripAttachments", [] {
    RunOnSelection([](const auto& item) { ProcessEmail(item, false, "", false); },
                   [](fStripAttachments& w) { w.blnDetach = true; });
  });
}

void StripAttachmentsToACustomFolder() {
  Trap("Toolbar.StripAttachmentsToACustomFolder", [] {
    RunOnSelection([](const auto& item) { ProcessEmail(item, false, "", true); },
                   [](fStripAttachments& w) {
                     w.blnDetach = true;
                     w.blnAskForFolder = true;
                   });
  });
}

void AttachFiles() {
  Trap("Toolbar.AttachFiles", [] {
    RunOnSelection([](const auto& item) { ReAttachFiles(item, false, ""); },
                   [](fStripAttachments& w) { w.blnDetach = false; });
  });
}

void DeleteItemFiles() {
  Trap("Toolbar.DeleteItemFiles", [] {
    auto window = ActiveWindow();
    if (!window) return;
    if (IsInspector(window)) {
      auto inspector = std::dynamic_pointer_cast<om::Inspector>(window);
      DeleteItemAndFiles(Required(inspector).CurrentItem(), true);
      return;
    }
    if (!IsExplorer(window)) return;
    auto explorer = std::dynamic_pointer_cast<om::Explorer>(window);
    auto selection =
        ValueOr(std::shared_ptr<om::Selection>(), [&] { return Required(explorer).Selection(); });
    if (!selection) return;
    std::int64_t count = ValueOr<std::int64_t>(0, [&] { return selection->Count(); });
    if (count <= 0) return;
    if (count == 1) {
      DeleteItemAndFiles(selection->Item(1), true);
      return;
    }
    if (Required(modGlobal::objSettings).DeleteItemsPrompt) {
      int answer = Required(platform::Platform().ui)
                       .MsgBox(
                           "Are you sure you want to delete the selected emails and their "
                           "associated files permanently?",
                           ui::vbYesNo | ui::vbInformation, product::kTitle);
      if (answer != ui::vbYes) return;
    }
    for (const auto& item : selection->All()) {
      if (auto* loop = platform::Platform().loop) loop->DoEvents();
      // No batch window to cancel: a stop the user asked for ends the loop between items.
      if (modGlobal::fnStopRequested && modGlobal::fnStopRequested()) return;
      DeleteItemAndFiles(item, false);
    }
  });
}

void StripAttachmentsFromAllItemsInFolder(const std::shared_ptr<om::Folder>& folder,
                                          bool skipProcessed, bool showFolderMessage) {
  Trap("Toolbar.StripAttachmentsFromAllItemsInFolder", [&] {
    RunOnFolder(
        folder, skipProcessed, [](const auto& item) { ProcessEmail(item, false, "", false); },
        [&](fStripAttachments& w) {
          w.blnDetach = true;
          w.blnSkipProcessed = skipProcessed;
          w.blnShowFolderMessage = showFolderMessage;
        });
  });
}

void AttachFilesOnAllItemsInFolder(const std::shared_ptr<om::Folder>& folder) {
  Trap("Toolbar.AttachFilesOnAllItemsInFolder", [&] {
    RunOnFolder(
        folder, false, [](const auto& item) { ReAttachFiles(item, false, ""); },
        [](fStripAttachments& w) { w.blnDetach = false; });
  });
}

void RemoveAttachmentsFromAllItemsInFolder(const std::shared_ptr<om::Folder>& folder,
                                           bool skipProcessed) {
  Trap("Toolbar.RemoveAttachmentsFromAllItemsInFolder", [&] {
    RunOnFolder(
        folder, skipProcessed, [](const auto& item) { subDeleteAttachments(item); },
        [&](fStripAttachments& w) {
          w.blnSkipProcessed = skipProcessed;
          w.blnRemoveAttachments = true;
        });
  });
}

void RemoveLinks() {
  Trap("Main.RemoveLinks", [] {
    auto item = GetCurrentSelectedItem();
    if (!item) return;
    std::string records =
        ToText(GetUserDefinedFieldValue(item, kRecordsProperty, FieldKind::kText, std::string()));
    if (!records.empty()) subRemoveFilesLinks(item, records, true, false);
  });
}

void SetSeparateFolderPathForAttachment() {
  Trap("Toolbar.SetSeparateFolderPathForAttachment", [] {
    std::string folderPath = modOutlookCode::GetCurrentFolderPath();
    std::string stored = ReadAttachmentFolderPathFromRegistry(folderPath);
    auto dialog = std::make_unique<frmAttachmentFolder>();
    dialog->txtAttachmentFolderPath.SetText(stored);
    dialog->Show(true);
    IgnoreErrors([&] { dialog->Unload(); });
  });
}

std::shared_ptr<om::Item> GetCurrentSelectedItem() {
  return Trap("Inspectors.GetCurrentSelectedItem", std::shared_ptr<om::Item>(), [] {
    std::shared_ptr<om::Item> item;
    auto window = ActiveWindow();
    if (!window) return item;
    if (IsExplorer(window)) {
      auto explorer = std::dynamic_pointer_cast<om::Explorer>(window);
      auto selection =
          ValueOr(std::shared_ptr<om::Selection>(), [&] { return Required(explorer).Selection(); });
      if (selection && ValueOr<std::int64_t>(0, [&] { return selection->Count(); }) >= 1) {
        item = selection->Item(1);
      }
    } else if (IsInspector(window)) {
      item = Required(std::dynamic_pointer_cast<om::Inspector>(window)).CurrentItem();
    }
    return item;
  });
}

}  // namespace stow
