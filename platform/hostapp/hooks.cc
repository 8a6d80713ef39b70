#include "platform/hostapp/hooks.h"

namespace stow::hostapp {

namespace {
DisplayHandler& Display() {
  static DisplayHandler handler;
  return handler;
}
PickFolderHandler& Picker() {
  static PickFolderHandler handler;
  return handler;
}
}  // namespace

void SetDisplayHandler(DisplayHandler handler) {
  Display() = std::move(handler);
}

void DisplayItem(const std::shared_ptr<om::Item>& item) {
  if (Display()) Display()(item);
}

void SetPickFolderHandler(PickFolderHandler handler) {
  Picker() = std::move(handler);
}

std::shared_ptr<om::Folder> PickFolder() {
  return Picker() ? Picker()() : nullptr;
}

}  // namespace stow::hostapp
