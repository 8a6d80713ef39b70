#include "engine/naming.h"

#include <cctype>
#include <cstdio>

#include "engine/savedFiles.h"
#include "platform/com_error.h"
#include "platform/services.h"
#include "support/attachmentFolders.h"
#include "support/cSettings.h"
#include "support/modErroHandling.h"
#include "support/modFileSystem.h"
#include "support/modGlobal.h"
#include "support/product.h"

namespace stow {

namespace {

constexpr const char* kHostWindowClass = "rctrl_renwnd32";

std::string FormatReceivedTime(const DateTime& t) {
  if (!t.Valid()) return "";
  char text[32];
  std::snprintf(text, sizeof text, "%04d.%02d.%02d_%02d.%02d.%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

// Five digits, or their placeholder in a preview.
std::string RandomText(const NamePreview* preview) {
  return preview ? kRandomPlaceholder : std::to_string(GetRandomLong(10000, 99999));
}

}  // namespace

std::int32_t GetRandomLong(std::int32_t low, std::int32_t high) {
  return static_cast<std::int32_t>(modFileSystem::GetRandomNumber(low, high));
}

std::string GetExtensionName(const std::string& fileName, bool withDot) {
  return Trap<std::string>("mMain.GetExtensionName", "", [&]() -> std::string {
    std::size_t dot = fileName.rfind('.');
    if (dot == std::string::npos) return "";
    std::string ext = fileName.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return withDot ? "." + ext : ext;
  });
}

std::string GetAttachmentName(const std::shared_ptr<om::Item>& item,
                              const std::string& attachmentFileName, bool withPrefix,
                              bool unreadableName, NamePreview* preview) {
  return Trap<std::string>("mMain.GetAttachmentName", "", [&]() -> std::string {
    std::string prefix = withPrefix ? RandomText(preview) + "_" : "";
    std::string name;
    if (unreadableName) {
      name =
          "NAME_UNRETRIEVABLE_" + RandomText(preview) + GetExtensionName(attachmentFileName, true);
    } else {
      auto& settings = Required(modGlobal::objSettings);
      switch (settings.AttachmentNamingOption) {
        case 0: {
          std::string time = ValueOr(
              std::string(), [&] { return FormatReceivedTime(Required(item).ReceivedTime()); });
          name = time.empty() ? "TIME_UNRETRIEVABLE_" + prefix + attachmentFileName
                              : time + "_" + prefix + attachmentFileName;
          break;
        }
        case 1: {
          std::string subject;
          if (IgnoreErrors([&] { subject = Required(item).Subject(); }) != 0) {
            name = "TIME_UNRETRIEVABLE_" + prefix + attachmentFileName;
          } else {
            name = subject + "_" + prefix + attachmentFileName;
          }
          break;
        }
        case 2:
          name = std::to_string(preview ? settings.PeekIncrementalNumber() +
                                              preview->runningNumbersTaken++
                                        : settings.GetIncrementalNumber()) +
                 prefix + GetExtensionName(attachmentFileName, true);
          break;
        case 3:
          name = RandomText(preview) + prefix + GetExtensionName(attachmentFileName, true);
          break;
        case 4:
          name = prefix + attachmentFileName;
          break;
        default:
          name = "";
      }
    }
    return modFileSystem::CleanFileName(name);
  });
}

std::string GetAttachmentFolderPathSetByUser(const std::shared_ptr<om::Folder>& folder) {
  return Trap<std::string>("mMain.GetAttachmentFolderPathSetByUser", "", [&]() -> std::string {
    std::shared_ptr<om::Folder> target = folder;
    if (!target) {
      IgnoreErrors([&] {
        target = Required(Required(modGlobal::objOutlook).ActiveExplorer()).CurrentFolder();
      });
    }
    auto& settings = Required(modGlobal::objSettings);
    switch (settings.AttachmentFolderOption) {
      case 0: {
        std::string folderPath = target ? target->FolderPath() : "";
        return GetAttachmentFolderPathFromRegistry(folderPath);
      }
      case 1:
        return settings.AttachmentFolderPath;
      default:
        return "";
    }
  });
}

std::string BrowseForFolder(ui::WindowHandle owner, const std::string& title) {
  auto* ui = platform::Platform().ui;
  if (ui == nullptr) return "";
  std::string path = ui->BrowseForFolder(owner, title);
  std::size_t nul = path.find('\0');
  if (nul != std::string::npos) path.resize(nul);
  return RefuseUnrecordableFolder(path) ? "" : path;
}

bool RefuseUnrecordableFolder(const std::string& path) {
  if (!HoldsRecordSeparator(path)) return false;
  std::string shown = path;
  for (char& c : shown)
    if (c == '\t' || c == '\r' || c == '\n') c = '?';
  if (auto* ui = platform::Platform().ui) {
    IgnoreErrors([&] {
      ui->MsgBox("The folder '" + shown +
                     "' cannot be used for attachments: its path holds a tab or a line break.",
                 ui::vbCritical, product::kTitle);
    });
  }
  return true;
}

std::string fncAskForFolderPath() {
  return Trap<std::string>("mMain.fncAskForFolderPath", "", [&] {
    ui::WindowHandle owner = 0;
    IgnoreErrors([&] {
      auto& app = Required(modGlobal::objOutlook);
      auto window = app.ActiveWindow();
      if (!window) return;
      std::string caption;
      if (window->TypeName() == "Explorer") {
        caption = Required(app.ActiveExplorer()).Caption();
      } else if (window->TypeName() == "Inspector") {
        caption = Required(app.ActiveInspector()).Caption();
      } else {
        return;
      }
      if (auto* ui = platform::Platform().ui) owner = ui->FindWindow(kHostWindowClass, caption);
    });
    return BrowseForFolder(owner, "Select a file folder to save the attachments to");
  });
}

}  // namespace stow
