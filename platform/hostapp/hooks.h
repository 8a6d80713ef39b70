#pragma once
// What a store needs from the host application that owns the windows: opening an
// item in an inspector (Item::Display) and the host's folder picker
// (NameSpace::PickFolder). The host application installs the handlers; a store
// used without one gets no window and no folder.

#include <functional>
#include <memory>

#include "platform/object_model.h"

namespace stow::hostapp {

using DisplayHandler = std::function<void(const std::shared_ptr<om::Item>&)>;
using PickFolderHandler = std::function<std::shared_ptr<om::Folder>()>;

void SetDisplayHandler(DisplayHandler handler);
void DisplayItem(const std::shared_ptr<om::Item>& item);

void SetPickFolderHandler(PickFolderHandler handler);
std::shared_ptr<om::Folder> PickFolder();

}  // namespace stow::hostapp
