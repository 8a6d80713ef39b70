#pragma once
// The connection class: the one object the host creates to load the add-in, and
// through which it reports connection, start-up complete, shut-down and
// disconnection. The ribbon's requests come to this class as well.

#include <memory>
#include <string>

#include "platform/com_object.h"
#include "platform/object_model.h"
#include "platform/value.h"

namespace stow {

class IRibbonUI;
class IRibbonControl;

class RozozizeraRoreravo {
 public:
  RozozizeraRoreravo() = default;
  // The add-in's termination: the clean-up once more.
  virtual ~RozozizeraRoreravo();
  RozozizeraRoreravo(const RozozizeraRoreravo&) = delete;
  RozozizeraRoreravo& operator=(const RozozizeraRoreravo&) = delete;

  // Keeps the host in objOutlook and reads the settings. The other arguments are the
  // host's and are not used.
  void AddinInstance_OnConnection(const std::shared_ptr<om::Application>& Application,
                                  int ConnectMode, const ComPtr& AddInInst, const Value& custom);
  // The host has finished starting: the add-in starts tracking and monitoring.
  void AddinInstance_OnStartupComplete(const Value& custom);
  void AddinInstance_OnBeginShutdown(const Value& custom);
  void AddinInstance_OnDisconnection(int RemoveMode, const Value& custom);
  void AddinInstance_Terminate();

  // The ribbon's requests and callbacks (host/ribbon.cc). The controls passed in
  // are the ribbon's; only their Id is read.
  std::string IRibbonExtensibility_GetCustomUI(const std::string& RibbonID);
  std::string fncBuildUI(const std::string& strItemType);
  std::string GetContextMenus();
  std::string GetMultipleItemsContextMenu();
  std::string GetAttachmentFolderCaption(const IRibbonControl& objControl);
  bool GetAttachmentFolderVisible(const IRibbonControl& objControl);
  std::string GetScreenTipForAttachmentFolder(const IRibbonControl& objControl);
  std::string GetStandardXML();
  std::string GetContentXML(const IRibbonControl& Control);
  void SubExecuteAction(const IRibbonControl& ribbonControl);
  void OnLoad(std::shared_ptr<IRibbonUI> ribbonUI);
};

}  // namespace stow
