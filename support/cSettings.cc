#include "support/cSettings.h"

#include <charconv>
#include <limits>
#include <optional>

#include "platform/com_error.h"
#include "platform/services.h"
#include "platform/shell.h"
#include "support/modErroHandling.h"
#include "support/modFileSystem.h"
#include "support/modGlobal.h"
#include "support/modRegistryEntry.h"

namespace stow {
namespace {

constexpr const char* kFolderListSeparator = "\r\n";
constexpr const char* kExtensionListSeparator = ",";

// Reads one value; nullopt when the read failed (the option then keeps its value).
std::optional<std::string> Read(const char* name) {
  std::optional<std::string> text;
  IgnoreErrors([&] { text = modRegistryEntry::ReadRegistryValue(kRegistryAppName, "", name, ""); });
  return text;
}

// Writes one value; false when it failed.
bool Write(const char* name, const std::string& text) {
  return IgnoreErrors(
             [&] { modRegistryEntry::WriteRegistryValue(kRegistryAppName, "", name, text); }) == 0;
}

// Decimal text of an integer of type T, blanks around it allowed; nullopt otherwise.
template <class T>
std::optional<T> ParseInteger(const std::string& text) {
  std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return std::nullopt;
  std::size_t last = text.find_last_not_of(' ');
  const char* begin = text.data() + first;
  const char* end = text.data() + last + 1;
  bool plus = *begin == '+';
  if (plus) ++begin;
  if (begin == end || (plus && *begin == '-')) return std::nullopt;
  T value{};
  auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

void ReadNumber(const char* name, std::int32_t& option) {
  if (auto text = Read(name))
    if (auto value = ParseInteger<std::int32_t>(*text)) option = *value;
}

// An empty text or one that is not a 16-bit integer reads as false.
void ReadFlag(const char* name, bool& option) {
  if (auto text = Read(name)) option = ParseInteger<std::int16_t>(*text).value_or(0) != 0;
}

void ReadFlag(const char* name, std::int16_t& option) {
  if (auto text = Read(name)) option = ParseInteger<std::int16_t>(*text).value_or(0);
}

// Flags are stored as the 16-bit integer they hold: true is -1.
std::string FlagText(bool flag) {
  return flag ? "-1" : "0";
}

// Runs body with the other processes' writes held off, so that a read-modify-write
// or a series of writes is not interleaved with theirs, and commits what it wrote at
// once. When the store cannot be locked the body still runs, as it would without the
// lock. False when body ran under the lock but its writes could not be committed.
template <class F>
bool Locked(F&& body) {
  platform::Registry* registry = platform::Platform().registry;
  bool ran = false;
  if (registry) {
    try {
      registry->Exclusive([&] {
        ran = true;
        body();
      });
      return true;
    } catch (...) {
    }
  }
  if (ran) return false;
  body();
  return true;
}

}  // namespace

std::shared_ptr<cSingleList> cSettings::EmailFolders() {
  if (!emailFolders_) emailFolders_ = std::make_shared<cSingleList>();
  return emailFolders_;
}

std::shared_ptr<cSingleList> cSettings::AttachmentExtensions() {
  if (!attachmentExtensions_) attachmentExtensions_ = std::make_shared<cSingleList>();
  return attachmentExtensions_;
}

bool cSettings::ReadSettings() {
  // The first-use check and the defaults go together, so that two processes starting
  // at once cannot write defaults over what the other one has just saved.
  Locked([&] {
    std::optional<std::string> naming = Read("AttachmentNamingOption");
    std::optional<std::string> display = Read("AttachmentDisplayOption");
    // Only a store that answered "empty" for both is new: a store that failed to answer
    // must not have the user's options replaced by the defaults.
    if (naming && display && naming->empty() && display->empty()) subInitialize();
  });

  if (auto text = Read("EmailFolders")) EmailFolders()->SetString(*text, kFolderListSeparator);
  if (auto text = Read("AttachmentExtensions"))
    AttachmentExtensions()->SetString(*text, kExtensionListSeparator);
  if (auto text = Read("AttachmentFolderPath")) AttachmentFolderPath = *text;

  ReadNumber("AttachmentNamingOption", AttachmentNamingOption);
  ReadNumber("AttachmentDisplayOption", AttachmentDisplayOption);
  ReadNumber("AttachmentLocationOption", AttachmentLocationOption);
  ReadNumber("AttachmentFolderOption", AttachmentFolderOption);
  ReadNumber("SentItemsOption", SentItemsOption);

  ReadFlag("TreatInlineImagesAsAttachments", TreatInlineImagesAsAttachments);
  ReadFlag("DeleteItemPrompt", DeleteItemPrompt);
  ReadFlag("DeleteItemsPrompt", DeleteItemsPrompt);
  ReadFlag("EmbedMacPath", EmbedMacPath);
  ReadFlag("EmbedHTTPPath", EmbedHTTPPath);
  if (auto text = Read("HTTPAddress")) HTTPAddress = *text;
  ReadFlag("MacHTTPOnAutoDetachment", MacHTTPOnAutoDetachment);
  ReadFlag("StartUpSentItems", StartUpSentItems);
  ReadFlag("StartUpItemMonitoredFolders", StartUpItemMonitoredFolders);
  return true;
}

void cSettings::subInitialize() {
  std::string folder = ValueOr(std::string(), [] { return fncGetKZOFilesFolder(true); });
  Write("AttachmentFolderPath", folder);
  Write("AttachmentNamingOption", "3");
  Write("AttachmentDisplayOption", "1");
  Write("AttachmentLocationOption", "0");
  Write("AttachmentFolderOption", "1");
  Write("SentItemsOption", "2");
  Write("TreatInlineImagesAsAttachments", "0");
  Write("DeleteItemPrompt", "0");
  Write("DeleteItemsPrompt", "1");
  Write("EmbedMacPath", "0");
  Write("EmbedHTTPPath", "0");
  Write("MacHTTPOnAutoDetachment", "0");
  Write("StartUpSentItems", "1");
  Write("StartUpItemMonitoredFolders", "1");

  AttachmentFolderPath = folder;
  AttachmentNamingOption = 3;
  AttachmentDisplayOption = 1;
  AttachmentLocationOption = 0;
  DeleteItemPrompt = false;
  DeleteItemsPrompt = true;
}

bool cSettings::SaveSettings() {
  bool ok = true;
  // One save is one write transaction: another process saving at the same moment
  // leaves either its options or ours, never a mix, and a crash keeps the old set.
  bool committed = Locked([&] {
    auto save = [&](const char* name, const std::string& text) { ok = Write(name, text) && ok; };
    save("EmailFolders", EmailFolders()->GetString(kFolderListSeparator));
    save("AttachmentExtensions", AttachmentExtensions()->GetString(kExtensionListSeparator));
    save("AttachmentFolderPath", AttachmentFolderPath);
    save("AttachmentNamingOption", std::to_string(AttachmentNamingOption));
    save("AttachmentDisplayOption", std::to_string(AttachmentDisplayOption));
    save("AttachmentLocationOption", std::to_string(AttachmentLocationOption));
    save("TreatInlineImagesAsAttachments", FlagText(TreatInlineImagesAsAttachments));
    save("DeleteItemPrompt", FlagText(DeleteItemPrompt));
    save("DeleteItemsPrompt", FlagText(DeleteItemsPrompt));
    save("AttachmentFolderOption", std::to_string(AttachmentFolderOption));
    save("SentItemsOption", std::to_string(SentItemsOption));
    save("StartUpSentItems", std::to_string(StartUpSentItems));
    save("StartUpItemMonitoredFolders", std::to_string(StartUpItemMonitoredFolders));
    save("EmbedMacPath", FlagText(EmbedMacPath));
    save("EmbedHTTPPath", FlagText(EmbedHTTPPath));
    save("HTTPAddress", HTTPAddress);
    save("MacHTTPOnAutoDetachment", FlagText(MacHTTPOnAutoDetachment));
  });
  return ok && committed;
}

std::int32_t cSettings::GetIncrementalNumber() {
  std::int32_t number = 0;
  // Read, add and write under one lock: two processes naming files at the same time
  // must never be handed the same number.
  Locked([&] {
    number = PeekIncrementalNumber();
    Write("IncrementalNumber", std::to_string(number));
  });
  return number;
}

std::int32_t cSettings::PeekIncrementalNumber() const {
  std::int32_t number = 0;
  if (auto text = Read("IncrementalNumber")) number = ParseInteger<std::int32_t>(*text).value_or(0);
  return number < std::numeric_limits<std::int32_t>::max() ? number + 1 : number;
}

std::string fncGetKZOFilesFolder(bool create) {
  return Trap<std::string>("fncGetKZOFilesFolder", "", [&]() -> std::string {
    platform::Shell* shell = platform::Platform().shell;
    if (!shell) Raise(errnum::kObjectVariableNotSet, "cSettings", "Object variable not set");
    std::string documents = shell->SpecialFolderPath(platform::CSIDL_PERSONAL);
    // Without a Documents folder there is no default: "/My Attachments" at the root of
    // the file system is nobody's attachment folder.
    if (documents.empty()) return "";
    std::string folder = modFileSystem::JoinPath(documents, "My Attachments");
    if (create) {
      modFileSystem::InitializeFileSystem();
      auto fso = modGlobal::objFSO;
      if (!fso) Raise(errnum::kObjectVariableNotSet, "cSettings", "Object variable not set");
      if (!fso->FolderExists(folder)) fso->CreateFolders(folder);
    }
    return folder;
  });
}

}  // namespace stow
