#pragma once
// The safe item library on Linux. On this platform the host's items have no
// security prompts to get around, so the wrappers forward to the item they wrap;
// what they keep is the library's contract: nothing works before the access code
// was given, and the objects are reached by programmatic identifier.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/object_factory.h"
#include "platform/safe_item.h"

namespace stow::hostapp {

// Raised by every member of a wrapper used before AuthKey was set to the access code.
inline constexpr std::int32_t kSafeLibraryNotAuthorised = static_cast<std::int32_t>(0x80070005u);

class SafeItemImpl : public platform::SafeItem {
 public:
  // kind: the programmatic identifier it was created by ("QLXLib.QLXMailItem"...).
  explicit SafeItemImpl(std::string kind = "QLXLib.QLXMailItem") : kind_(std::move(kind)) {}

  // The access code authorises the wrapper; any other text takes the authority away.
  void SetAuthKey(const std::string& key) override;
  void SetItem(const std::shared_ptr<om::Item>& item) override;
  std::shared_ptr<om::Item> Item() override;
  // The wrapped item's bodies and attachments; raise 424 when no item was set.
  std::string HTMLBody() override;
  std::string Body() override;
  std::shared_ptr<om::Attachments> Attachments() override;

  const std::string& Kind() const { return kind_; }
  bool Authorised() const { return authorised_; }

 private:
  void RequireAuthorised() const;
  om::Item& RequireItem();
  std::string kind_;
  bool authorised_ = false;
  std::shared_ptr<om::Item> item_;
};

// The mailbox picker behind SafeUtils::AddressBook: the entries chosen in a picker
// shown so, empty when cancelled.
using AddressBookHandler =
    std::function<std::vector<platform::AddressEntry>(const platform::AddressBookOptions&)>;

// The process-wide picker every SafeUtilsImpl made by the factory uses (the host
// program installs one that asks the user; tests install their answers). Without
// one, the picker is cancelled.
void SetAddressBookHandler(AddressBookHandler handler);

class SafeUtilsImpl : public platform::SafeUtils {
 public:
  void SetAuthKey(const std::string& key) override;
  // This object's handler when set, else the process-wide one.
  std::vector<platform::AddressEntry> AddressBook(
      const platform::AddressBookOptions& options) override;
  // Releases what the library holds; the object stays usable.
  void Cleanup() override;

  void SetAddressBookHandler(AddressBookHandler handler) { handler_ = std::move(handler); }
  bool Authorised() const { return authorised_; }
  int CleanupCount() const { return cleanups_; }

 private:
  void RequireAuthorised() const;
  bool authorised_ = false;
  AddressBookHandler handler_;
  int cleanups_ = 0;
};

// The seven item identifiers of the library.
const std::vector<std::string>& SafeItemProgIds();
inline constexpr const char* kSafeUtilsProgId = "QLXLib.QLXMAPIUtils";

// Registers "QLXLib.QLXMAPIUtils" and the seven item identifiers.
void RegisterSafeLibrary(platform::ObjectFactory& factory);

// Registers "Scripting.FileSystemObject" (made by fileSystemCreator; a
// posix::PosixFileSystem when it is empty) and "Wscript.Shell" (posix::PosixWshShell).
void RegisterScriptingRuntime(platform::ObjectFactory& factory,
                              std::function<ComPtr()> fileSystemCreator);

}  // namespace stow::hostapp
