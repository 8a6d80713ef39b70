#include "support/modGlobal.h"

namespace stow::modGlobal {

std::shared_ptr<om::Application> objOutlook;
std::shared_ptr<om::NameSpace> objNameSpace;
std::shared_ptr<cSettings> objSettings;
std::shared_ptr<platform::FileSystemObject> objFSO;
std::shared_ptr<cExplorersEvent> objExplorersEvent;
std::shared_ptr<cInspectors> objInspectors;
std::shared_ptr<platform::KeyedCollection<cExplorer>> colExplorers;
std::shared_ptr<IRibbonUI> objRibbonUI;
std::string strCurrentAttachmentFolder;
std::int16_t intSettingsPage = 0;
std::shared_ptr<platform::SafeUtils> objSafeUtils;
std::int16_t intOutlookVersion = 0;
std::shared_ptr<frmErrorReport> objErrorReport;
std::shared_ptr<platform::KeyedCollection<cMonitoredFolder>> colMonitoredFolders;
std::shared_ptr<cMonitoredSentItemsFolder> oMonitoredSentItems;
std::shared_ptr<OutcomeSink> objOutcomeSink;
std::function<void(bool)> fnMonitorMailFolders;
std::function<void(bool)> fnMonitorSentItemsFolder;

void ResetForTests() {
  colMonitoredFolders.reset();
  oMonitoredSentItems.reset();
  objOutcomeSink.reset();
  fnMonitorMailFolders = nullptr;
  fnMonitorSentItemsFolder = nullptr;
  objRibbonUI.reset();
  objInspectors.reset();
  objExplorersEvent.reset();
  colExplorers.reset();
  objSettings.reset();
  objSafeUtils.reset();
  objFSO.reset();
  objOutlook.reset();
  objNameSpace.reset();
  objErrorReport.reset();
  strCurrentAttachmentFolder.clear();
  intSettingsPage = 0;
  intOutlookVersion = 0;
}

}  // namespace stow::modGlobal
