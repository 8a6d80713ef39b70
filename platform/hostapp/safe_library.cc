#include "platform/hostapp/safe_library.h"

#include "platform/com_error.h"
#include "platform/posix/posix_file_system.h"
#include "platform/posix/posix_shell.h"

namespace stow::hostapp {

namespace {

constexpr const char* kSource = "QLXLib";

AddressBookHandler& GlobalAddressBook() {
  static AddressBookHandler handler;
  return handler;
}

[[noreturn]] void RaiseNotAuthorised() {
  throw ComError(kSafeLibraryNotAuthorised, kSource,
                 "The library was not given its access code (AuthKey)");
}

}  // namespace

void SafeItemImpl::SetAuthKey(const std::string& key) {
  authorised_ = key == platform::kSafeLibraryAuthKey;
}

void SafeItemImpl::RequireAuthorised() const {
  if (!authorised_) RaiseNotAuthorised();
}

om::Item& SafeItemImpl::RequireItem() {
  RequireAuthorised();
  if (!item_) throw ComError(errnum::kObjectRequired, kSource, "Object required");
  return *item_;
}

void SafeItemImpl::SetItem(const std::shared_ptr<om::Item>& item) {
  RequireAuthorised();
  item_ = item;
}

std::shared_ptr<om::Item> SafeItemImpl::Item() {
  RequireAuthorised();
  return item_;
}

std::string SafeItemImpl::HTMLBody() {
  return RequireItem().HTMLBody();
}

std::string SafeItemImpl::Body() {
  return RequireItem().Body();
}

std::shared_ptr<om::Attachments> SafeItemImpl::Attachments() {
  return RequireItem().Attachments();
}

void SetAddressBookHandler(AddressBookHandler handler) {
  GlobalAddressBook() = std::move(handler);
}

void SafeUtilsImpl::SetAuthKey(const std::string& key) {
  authorised_ = key == platform::kSafeLibraryAuthKey;
}

void SafeUtilsImpl::RequireAuthorised() const {
  if (!authorised_) RaiseNotAuthorised();
}

std::vector<platform::AddressEntry> SafeUtilsImpl::AddressBook(
    const platform::AddressBookOptions& options) {
  RequireAuthorised();
  const AddressBookHandler& handler = handler_ ? handler_ : GlobalAddressBook();
  if (!handler) return {};
  return handler(options);
}

void SafeUtilsImpl::Cleanup() {
  RequireAuthorised();
  ++cleanups_;
}

const std::vector<std::string>& SafeItemProgIds() {
  static const std::vector<std::string> ids = {"QLXLib.QLXMailItem",        "QLXLib.QLXPostItem",
                                               "QLXLib.QLXAppointmentItem", "QLXLib.QLXMeetingItem",
                                               "QLXLib.QLXTaskItem",        "QLXLib.QLXJournalItem",
                                               "QLXLib.QLXContactItem"};
  return ids;
}

void RegisterSafeLibrary(platform::ObjectFactory& factory) {
  factory.Register(kSafeUtilsProgId, [] { return std::make_shared<SafeUtilsImpl>(); });
  for (const std::string& id : SafeItemProgIds())
    factory.Register(id, [id] { return std::make_shared<SafeItemImpl>(id); });
}

void RegisterScriptingRuntime(platform::ObjectFactory& factory,
                              std::function<ComPtr()> fileSystemCreator) {
  if (!fileSystemCreator)
    fileSystemCreator = [] { return std::make_shared<posix::PosixFileSystem>(); };
  factory.Register("Scripting.FileSystemObject", std::move(fileSystemCreator));
  factory.Register("Wscript.Shell", [] { return std::make_shared<posix::PosixWshShell>(); });
}

}  // namespace stow::hostapp
