// The connection class's ribbon members: each forwards to modRibbon.

#include "host/RozozizeraRoreravo.h"
#include "platform/office.h"
#include "support/modErroHandling.h"
#include "support/modGlobal.h"
#include "surfaces/modRibbon.h"

namespace stow {

std::string RozozizeraRoreravo::IRibbonExtensibility_GetCustomUI(const std::string& RibbonID) {
  return modRibbon::GetCustomUI(RibbonID);
}

std::string RozozizeraRoreravo::fncBuildUI(const std::string& strItemType) {
  return modRibbon::fncBuildUI(strItemType);
}

std::string RozozizeraRoreravo::GetContextMenus() {
  return modRibbon::GetContextMenus();
}

std::string RozozizeraRoreravo::GetMultipleItemsContextMenu() {
  return modRibbon::GetMultipleItemsContextMenu();
}

std::string RozozizeraRoreravo::GetAttachmentFolderCaption(const IRibbonControl& objControl) {
  (void)objControl;
  return modRibbon::GetAttachmentFolderCaption();
}

bool RozozizeraRoreravo::GetAttachmentFolderVisible(const IRibbonControl& objControl) {
  (void)objControl;
  return modRibbon::GetAttachmentFolderVisible();
}

std::string RozozizeraRoreravo::GetScreenTipForAttachmentFolder(const IRibbonControl& objControl) {
  (void)objControl;
  return modRibbon::GetScreenTipForAttachmentFolder();
}

std::string RozozizeraRoreravo::GetStandardXML() {
  return modRibbon::GetStandardXML();
}

std::string RozozizeraRoreravo::GetContentXML(const IRibbonControl& Control) {
  return modRibbon::GetContentXML(Control.Id());
}

void RozozizeraRoreravo::SubExecuteAction(const IRibbonControl& ribbonControl) {
  std::string id;
  if (!Trap("SubExecuteAction", [&] { id = ribbonControl.Id(); })) return;
  modRibbon::SubExecuteAction(id);
}

void RozozizeraRoreravo::OnLoad(std::shared_ptr<IRibbonUI> ribbonUI) {
  Trap("OnLoad", [&] { modGlobal::objRibbonUI = std::move(ribbonUI); });
}

}  // namespace stow
