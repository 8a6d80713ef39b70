#include "commands/copyAttachments.h"

#include <cstdint>

#include "commands/commandRunner.h"
#include "commands/fStripAttachments.h"
#include "engine/naming.h"
#include "engine/outcome.h"
#include "platform/com_error.h"
#include "platform/services.h"
#include "platform/shell.h"
#include "support/modErroHandling.h"
#include "support/modFileSystem.h"
#include "support/modGlobal.h"
#include "support/modSafeItem.h"

namespace stow {

using modGlobal::objFSO;
using modGlobal::objOutlook;

namespace {

std::string Trim(const std::string& s) {
  auto first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  auto last = s.find_last_not_of(" \t");
  return s.substr(first, last - first + 1);
}

std::string RemoveAll(std::string text, const std::string& what) {
  if (what.empty()) return text;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at)) {
    text.erase(at, what.size());
  }
  return text;
}

// name's base, "_", a random number from 1000 to 9998, and its extension.
std::string NumberedName(const std::string& name) {
  std::string extension = modFileSystem::GetDotExtension(name);
  std::string base = RemoveAll(name, extension);
  auto number = static_cast<std::int64_t>(modFileSystem::GetRandomNumber(1000, 9999));
  return base + "_" + std::to_string(number) + extension;
}

}  // namespace

void CopyAttachmentsToFileFolder() {
  Trap("Main.CopyAttachmentsToFileFolder", [] {
    auto window =
        ValueOr(std::shared_ptr<om::Window>(), [] { return Required(objOutlook).ActiveWindow(); });
    if (!window) return;
    std::string path = fncAskForFolderPath();
    if (path.empty() || !Required(objFSO).FolderExists(path)) return;
    std::string type = ValueOr(std::string(), [&] { return window->TypeName(); });
    if (type == "Inspector") {
      auto inspector = std::dynamic_pointer_cast<om::Inspector>(window);
      SaveAttachmentsToFolder(Required(inspector).CurrentItem(), path, true, true);
      return;
    }
    if (type != "Explorer") return;
    auto explorer = std::dynamic_pointer_cast<om::Explorer>(window);
    auto selection =
        ValueOr(std::shared_ptr<om::Selection>(), [&] { return Required(explorer).Selection(); });
    std::int64_t count =
        selection ? ValueOr<std::int64_t>(0, [&] { return selection->Count(); }) : 0;
    if (count <= 0) return;
    if (count == 1) {
      SaveAttachmentsToFolder(selection->Item(1), path, true, true);
      return;
    }
    auto batch = fStripAttachments::Create();
    batch->Show(false);
    batch->objSelection = selection;
    batch->blnDetach = true;
    batch->blnCopyToFolder = true;
    batch->strCopyFolderPath = path;
    batch->lblProcessing.Caption = kInitiatingText;
    batch->lblFolder.Caption =
        ValueOr(std::string(), [&] { return Required(explorer->CurrentFolder()).Name(); });
    batch->LoadBatchOperation();
  });
}

std::string SaveAttachmentsToFolder(const std::shared_ptr<om::Item>& item,
                                    const std::string& folderPath, bool skipInline,
                                    bool skipHidden) {
  OutcomeReport report("copy", item);
  return Trap("Main.SaveAttachmentsToFolder", std::string(), [&] {
    if (Required(Required(item).Attachments()).Count() == 0) return std::string();
    if (!Required(objFSO).FolderExists(folderPath)) return std::string();
    auto safe = modSafeItem::GetSafeItem(item);
    if (!safe) return std::string();
    auto attachments = safe->Attachments();
    if (attachments && attachments->Count() >= 1) {
      bool pending = false;
      auto step = [&](auto&& body) {
        if (IgnoreErrors(body) != 0) pending = true;
      };
      for (const auto& attachment : attachments->All()) {
        if (pending) break;
        bool isInline = false;
        bool isHidden = false;
        if (skipInline) {
          step([&] {
            isInline = !Trim(ToText(attachment->Field(om::PR_ATTACH_CONTENT_ID))).empty();
          });
        }
        if (skipHidden) {
          step([&] {
            Value hidden = attachment->Field(om::PR_ATTACHMENT_HIDDEN);
            isHidden = !IsEmpty(hidden) && ToBool(hidden);
          });
        }
        std::string name;
        step([&] { name = attachment->FileName(); });
        if ((skipInline && isInline) || (skipHidden && isHidden)) {
          if (!isHidden) report->kept.push_back({name, "an inline image of the body"});
          continue;
        }
        if (name.empty()) continue;
        // The name comes from the message: separators or ".." in it must not take the
        // file out of the folder the user chose.
        name = modFileSystem::CleanFileName(name);
        std::string target = modFileSystem::JoinPath(folderPath, name);
        if (objFSO->FileExists(target)) {
          if (IgnoreErrors([&] { objFSO->DeleteFile(target, true); }) != 0) {
            // Another file that cannot be replaced must not be overwritten either, so
            // the numbered name is drawn again while it is taken.
            for (int attempt = 0; attempt < 100; ++attempt) {
              target = modFileSystem::JoinPath(folderPath, NumberedName(name));
              if (!objFSO->FileExists(target)) break;
            }
          }
        }
        std::string why;
        if (IgnoreErrors([&] { attachment->SaveAsFile(target); }, why) == 0)
          report->saved.push_back(
              {target, name, ValueOr<std::int64_t>(-1, [&] { return objFSO->FileSize(target); })});
        else
          report.Fail(name, "cannot be copied to " + target + ": " + why);
        pending = false;
      }
    }
    // One flush makes the names of every copy just written durable.
    IgnoreErrors([&] { objFSO->SyncFolder(folderPath); });
    return folderPath;
  });
}

std::string GetSpecialFolderPath(int folderId, int flags) {
  (void)flags;
  return ValueOr(std::string(), [&] {
    auto* shell = platform::Platform().shell;
    return shell ? shell->SpecialFolderPath(folderId) : std::string();
  });
}

}  // namespace stow
