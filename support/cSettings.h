#pragma once
// Every option of the add-in, held in memory and stored as text values under
// HKEY_CURRENT_USER\Software\Quillmere\KZO. One instance lives in modGlobal::objSettings
// while the add-in is loaded; the settings pages change it and call SaveSettings.

#include <cstdint>
#include <memory>
#include <string>

#include "support/cSingleList.h"

namespace stow {

// The application name every value of the add-in is stored under.
inline constexpr const char* kRegistryAppName = "KZO";

class cSettings {
 public:
  // Monitored mail folders and mailboxes (one per line when stored). Created on first use.
  std::shared_ptr<cSingleList> EmailFolders();
  void SetEmailFolders(std::shared_ptr<cSingleList> list) { emailFolders_ = std::move(list); }
  // Extensions, without the dot, of attachments never detached. Created on first use.
  std::shared_ptr<cSingleList> AttachmentExtensions();
  void SetAttachmentExtensions(std::shared_ptr<cSingleList> list) {
    attachmentExtensions_ = std::move(list);
  }

  std::string AttachmentFolderPath;
  // 0 received time, 1 subject, 2 running number, 3 random number, 4 attachment name.
  std::int32_t AttachmentNamingOption = 0;
  // 0 full path, 1 attachment name only.
  std::int32_t AttachmentDisplayOption = 0;
  // 0 top, 1 bottom.
  std::int32_t AttachmentLocationOption = 0;
  bool TreatInlineImagesAsAttachments = false;
  // The two start-up flags keep the integer stored ("1" or "0"), as their check boxes do.
  std::int16_t StartUpSentItems = 0;
  std::int16_t StartUpItemMonitoredFolders = 0;
  // 0 one folder per host folder, 1 the global folder.
  std::int32_t AttachmentFolderOption = 0;
  // 0 detach, 1 delete attachments, 2 none.
  std::int32_t SentItemsOption = 0;
  bool DeleteItemPrompt = false;
  bool DeleteItemsPrompt = false;
  bool EmbedMacPath = false;
  bool EmbedHTTPPath = false;
  std::string HTTPAddress;
  bool MacHTTPOnAutoDetachment = false;

  // Loads every option; on first use writes the defaults first. A value that cannot
  // be read leaves its option as it was. Returns true.
  bool ReadSettings();
  // Writes the defaults (and creates the default attachment folder).
  void subInitialize();
  // Writes every option; false when any write failed (the others are still written).
  bool SaveSettings();
  // The next running number for file names, stored at once; distinct across
  // processes sharing the store.
  std::int32_t GetIncrementalNumber();
  // The number GetIncrementalNumber would give next, left unused.
  std::int32_t PeekIncrementalNumber() const;

 private:
  std::shared_ptr<cSingleList> emailFolders_;
  std::shared_ptr<cSingleList> attachmentExtensions_;
};

// The default attachment folder: the user's Documents folder + "/My Attachments",
// created when missing and create is set. "" when there is no Documents folder or it
// failed (reported as "fncGetKZOFilesFolder").
std::string fncGetKZOFilesFolder(bool create);

}  // namespace stow
