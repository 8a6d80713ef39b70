#pragma once
// The safe item library from the add-in's side: its utility object (one per
// process, in modGlobal::objSafeUtils), the item wrappers, and the clean-up.

#include <memory>
#include <string>

#include "platform/object_model.h"
#include "platform/safe_item.h"

namespace stow::modSafeItem {

// True when the utility object exists, creating and authorising it on first use.
// When the library cannot be created, tells the user once ("A library file is
// missing!") and returns false at once from then on, for the rest of the process
// (modGlobal::blnSafeLibraryMissing).
bool GetSafeUtils();

// The library class that wraps an item of this message class, "" when none does.
std::string SafeItemClassFor(const std::string& messageClass);

// The item wrapped by the library, authorised and bound to item; nothing for no
// item, an item class the library does not wrap, or a failure.
std::shared_ptr<platform::SafeItem> GetSafeItem(const std::shared_ptr<om::Item>& item);

// Calls Cleanup on the utility object, if there is one, and releases it; errors
// ignored. The next GetSafeUtils creates it again.
void CleanupSafeUtils();

}  // namespace stow::modSafeItem
