#include "support/modSafeItem.h"

#include <cctype>

#include "platform/com_error.h"
#include "platform/services.h"
#include "platform/ui.h"
#include "support/modGlobal.h"
#include "support/product.h"

namespace stow::modSafeItem {

namespace {

struct ClassEntry {
  const char* messageClassPart;
  const char* progId;
};

// Searched in order; the first part the message class contains wins.
constexpr ClassEntry kClassTable[] = {
    {"IPM.NOTE", "QLXLib.QLXMailItem"},
    {"IPM.POST", "QLXLib.QLXPostItem"},
    {"IPM.OLE.CLASS.{00061055-0000-0000-C000-000000000046}", "QLXLib.QLXAppointmentItem"},
    {"IPM.APPOINTMENT", "QLXLib.QLXAppointmentItem"},
    {"IPM.MEETING", "QLXLib.QLXMeetingItem"},
    {"IPM.TASK", "QLXLib.QLXTaskItem"},
    {"IPM.SCHEDULE", "QLXLib.QLXMeetingItem"},
    {"IPM.JOURNAL", "QLXLib.QLXJournalItem"},
    {"IPM.CONTACT", "QLXLib.QLXContactItem"},
};

ComPtr Create(const std::string& progId) {
  auto* factory = platform::Platform().factory;
  if (factory == nullptr) {
    Raise(errnum::kCannotCreateObject, "Stowbright", "ActiveX component can't create object");
  }
  return factory->Create(progId);
}

}  // namespace

bool GetSafeUtils() {
  if (modGlobal::blnSafeLibraryMissing) return false;
  if (modGlobal::objSafeUtils) return true;
  try {
    auto utils = ComCast<platform::SafeUtils>(Create("QLXLib.QLXMAPIUtils"));
    if (!utils)
      Raise(errnum::kCannotCreateObject, "Stowbright", "ActiveX component can't create object");
    utils->SetAuthKey(platform::kSafeLibraryAuthKey);
    modGlobal::objSafeUtils = std::move(utils);
    return true;
  } catch (...) {
    modGlobal::blnSafeLibraryMissing = true;
    if (auto* ui = platform::Platform().ui) {
      IgnoreErrors([&] {
        ui->MsgBox(
            "A library file is missing!\r\nPlease re-install the application using the setup.exe",
            ui::vbCritical, product::kTitle);
      });
    }
    return false;
  }
}

std::string SafeItemClassFor(const std::string& messageClass) {
  std::string upper = messageClass;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const ClassEntry& entry : kClassTable) {
    if (upper.find(entry.messageClassPart) != std::string::npos) return entry.progId;
  }
  return "";
}

std::shared_ptr<platform::SafeItem> GetSafeItem(const std::shared_ptr<om::Item>& item) {
  if (!item) return nullptr;
  return ValueOr(std::shared_ptr<platform::SafeItem>(),
                 [&]() -> std::shared_ptr<platform::SafeItem> {
                   std::string progId = SafeItemClassFor(item->MessageClass());
                   if (progId.empty()) return nullptr;
                   auto safe = ComCast<platform::SafeItem>(Create(progId));
                   if (!safe) return nullptr;
                   // The library wants the key before it accepts the item, and again after.
                   safe->SetAuthKey(platform::kSafeLibraryAuthKey);
                   safe->SetItem(item);
                   safe->SetAuthKey(platform::kSafeLibraryAuthKey);
                   return safe;
                 });
}

void CleanupSafeUtils() {
  if (auto utils = modGlobal::objSafeUtils) IgnoreErrors([&] { utils->Cleanup(); });
  modGlobal::objSafeUtils.reset();
}

}  // namespace stow::modSafeItem
