#include "engine/deleteItem.h"

#include <vector>

#include "engine/cProcessedAttachments.h"
#include "engine/outcome.h"
#include "engine/processEmail.h"
#include "engine/savedFiles.h"
#include "engine/userProperties.h"
#include "platform/com_error.h"
#include "platform/services.h"
#include "platform/ui.h"
#include "support/cSettings.h"
#include "support/modErroHandling.h"
#include "support/modFileSystem.h"
#include "support/modGlobal.h"
#include "support/modSafeItem.h"
#include "support/product.h"

namespace stow {

void DeleteItemAndFiles(const std::shared_ptr<om::Item>& item, bool askFirst) {
  OutcomeReport report("delete", item);
  Trap("mMain.DeleteItemAndFiles", [&] {
    if (!item) return;
    if (askFirst && Required(modGlobal::objSettings).DeleteItemPrompt) {
      auto* ui = platform::Platform().ui;
      int answer = ui ? ui->MsgBox(
                            "Are you sure you want to delete the selected email and its "
                            "associated files permanently?",
                            ui::vbYesNo | ui::vbInformation, product::kTitle)
                      : ui::vbNo;
      if (answer != ui::vbYes) {
        report.Leave(ItemOutcome::Left::kDeclined, "the question was answered No");
        return;
      }
    }

    std::vector<std::string> files;
    std::string text =
        ToText(GetUserDefinedFieldValue(item, kRecordsProperty, FieldKind::kText, Value("")));
    if (!text.empty()) {
      cProcessedAttachments records;
      records.FromString(text);
      for (const auto& record : records.Records()) files.push_back(record->AttachmentPath);
    }

    std::string entryId = ValueOr(std::string(), [&] { return item->EntryID(); });
    IgnoreErrors([&] { CloseInspector(entryId); });
    // Permanently, as the question says: a copy in Deleted Items would still link to
    // the files. The item goes first: when it cannot be deleted it keeps its files,
    // so its links still lead somewhere.
    std::string why;
    if (IgnoreErrors([&] { item->DeletePermanently(); }, why) != 0) {
      report.Fail("the item", "cannot be deleted, so its files stay: " + why);
      return;
    }
    report->itemChanged = true;

    if (files.empty()) return;
    modFileSystem::InitializeFileSystem();
    auto fso = modGlobal::objFSO;
    if (!fso) return;
    // To the trash, not deleted: a copy of the mail elsewhere may still link to a
    // file, and a mistaken delete can be undone.
    for (const std::string& path : files) {
      if (!ValueOr(false, [&] { return fso->FileExists(path); })) continue;
      std::string stays = TrashSavedFile(*fso, path);
      if (stays.empty())
        report->trashed.push_back(path);
      else
        report.Fail(path, "stays where it is: " + stays);
    }
  });
}

void CloseInspector(const std::string& entryId) {
  Trap("Toolbar.CloseInspector", [&] {
    auto inspectors = Required(modGlobal::objOutlook).Inspectors();
    if (!inspectors || inspectors->Count() == 0) return;
    std::int64_t count = inspectors->Count();
    for (std::int64_t i = 1; i <= count; ++i) {
      auto inspector = inspectors->Item(i);
      if (!inspector) continue;
      auto current = inspector->CurrentItem();
      if (current && current->EntryID() == entryId) {
        inspector->Close(om::olDiscard);
        return;
      }
    }
  });
}

void subDeleteAttachments(const std::shared_ptr<om::Item>& item) {
  OutcomeReport report("remove-attachments", item);
  Trap("mMain.subDeleteAttachments", [&] {
    std::string messageClass =
        ValueOr(std::string(), [&] { return Required(item).MessageClass(); });
    if (IsSignedOrEncrypted(messageClass)) {
      report.Leave(ItemOutcome::Left::kSignedOrEncrypted,
                   "it is signed or encrypted (" + messageClass + "): left as it is");
      return;
    }
    std::shared_ptr<platform::SafeItem> safe;
    IgnoreErrors([&] { safe = modSafeItem::GetSafeItem(item); });
    if (!safe) return;
    auto attachments = safe->Attachments();
    if (!attachments) return;
    bool deleted = false;
    for (const auto& attachment : attachments->All()) {
      attachment->Delete();
      deleted = true;
    }
    // A deleted attachment leaves the stored item only when the item is saved; without
    // the save the mail would keep every attachment although it was "cleared".
    if (deleted) Required(item).Save();
    report->itemChanged = deleted;
  });
}

}  // namespace stow
