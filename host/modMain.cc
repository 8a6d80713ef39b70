#include "host/modMain.h"

#include <memory>

#include "monitoring/monitoring.h"
#include "platform/com_error.h"
#include "support/cSettings.h"
#include "support/modErroHandling.h"
#include "support/modFileSystem.h"
#include "support/modGlobal.h"
#include "support/modOutlookCode.h"
#include "support/modSafeItem.h"
#include "surfaces/trackers.h"

namespace stow::modMain {

using namespace modGlobal;

void WireCallbacks() {
  fnMonitorMailFolders = subMonitorMailFolders;
  fnMonitorSentItemsFolder = MonitorSentItemsFolder;
}

void ReadKZOSettings() {
  Trap("Main.ReadKZOSettings", [] {
    modFileSystem::InitializeFileSystem();
    objSettings = std::make_shared<cSettings>();
    objSettings->ReadSettings();
  });
}

void StartingPoint() {
  Trap("Main.StartingPoint", [] {
    modSafeItem::GetSafeUtils();
    objExplorersEvent = cExplorersEvent::Create();
    int calendar = om::olFolderCalendar;
    modOutlookCode::subCheckOutlookAccess(calendar);
    ReadKZOSettings();
    // The explorers event object may have gone if a message box above let the host
    // quit; Required then reports it like any call on Nothing.
    Required(objExplorersEvent).set_oExplorers(Required(objOutlook).Explorers());
    if (objOutlook && Required(objOutlook->Explorers()).Count() >= 1) {
      objExplorersEvent->oueCurrExplorer = objOutlook->ActiveExplorer();
      objExplorersEvent->LoadHelplarkMenu();
    }
    if (Required(objSettings).EmailFolders()->Count() >= 1) subMonitorMailFolders(false);
    if (Required(objSettings).SentItemsOption != 2) MonitorSentItemsFolder(false);
  });
}

}  // namespace stow::modMain
