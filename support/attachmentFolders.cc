#include "support/attachmentFolders.h"

#include "platform/com_error.h"
#include "support/cSettings.h"
#include "support/modErroHandling.h"
#include "support/modRegistryEntry.h"

namespace stow {

std::string AttachmentFolderValueName(const std::string& folderPath) {
  std::string name = folderPath;
  for (char& c : name)
    if (c == '\\') c = '.';
  return name;
}

std::string ReadAttachmentFolderPathFromRegistry(const std::string& folderPath) {
  return Trap<std::string>("ReadAttachmentFolderPathFromRegistry", "", [&] {
    std::string name = AttachmentFolderValueName(folderPath);
    // A missing, unreadable or wrongly typed value means no folder was chosen.
    return ValueOr(std::string(), [&] {
      return modRegistryEntry::ReadRegistryValue(kRegistryAppName, "", name, "");
    });
  });
}

std::string GetAttachmentFolderPathFromRegistry(const std::string& folderPath) {
  return Trap<std::string>("mMain.GetAttachmentFolderPathFromRegistry", "",
                           [&] { return ReadAttachmentFolderPathFromRegistry(folderPath); });
}

void WriteAttachmentFolderPathToRegistry(const std::string& folderPath, const std::string& value) {
  Trap("WriteAttachmentFolderPathToRegistry", [&] {
    std::string name = AttachmentFolderValueName(folderPath);
    IgnoreErrors([&] { modRegistryEntry::WriteRegistryValue(kRegistryAppName, "", name, value); });
  });
}

}  // namespace stow
