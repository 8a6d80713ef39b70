#include "host/modMain.h"

#include <memory>

#include "host/modGlobal.h"
#include "host/modOutlookCode.h"
#include "host/modSafeItem.h"
#include "host/trackers.h"
#include "monitoring/monitoring.h"
#include "platform/com_error.h"
#include "platform/services.h"
#include "settings/cSettings.h"
#include "support/frmErrorReport.h"
#include "support/modErroHandling.h"
#include "support/modFileSystem.h"

namespace stow::modMain {

using namespace modGlobal;

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

void subKillObjects() {
  // The monitors go first: once the settings and the host are released, a listener
  // left behind would detach new mail for an add-in that is no longer running.
  IgnoreErrors([] { colMonitoredFolders.reset(); });
  IgnoreErrors([] { oMonitoredSentItems.reset(); });
  IgnoreErrors([] { objRibbonUI.reset(); });
  IgnoreErrors([] { objInspectors.reset(); });
  IgnoreErrors([] { objExplorersEvent.reset(); });
  IgnoreErrors([] { colExplorers.reset(); });
  IgnoreErrors([] { objSettings.reset(); });
  IgnoreErrors([] { modSafeItem::CleanupSafeUtils(); });
  IgnoreErrors([] { objFSO.reset(); });
  IgnoreErrors([] { objOutlook.reset(); });
  IgnoreErrors([] { objNameSpace.reset(); });
  IgnoreErrors([] {
    if (objErrorReport && objErrorReport->Loaded()) objErrorReport->Unload();
    objErrorReport.reset();
  });
  IgnoreErrors([] {
    auto* ui = platform::Platform().ui;
    if (ui == nullptr) return;
    // Last opened first; a form that refuses to unload ends the closing rather than
    // having it tried again and again.
    std::size_t n = ui->Forms().size();
    while (n >= 1) {
      auto forms = ui->Forms();
      if (n > forms.size()) n = forms.size();
      if (n == 0) break;
      std::size_t before = forms.size();
      IgnoreErrors([&] { forms[n - 1]->Unload(); });
      if (ui->Forms().size() >= before) break;
      n = n - 1;
    }
  });
}

void subShutDownOutlook() {
  Trap("Main.subShutDownOutlook", [] {
    if (Required(Required(objOutlook).Explorers()).Count() < 1) subKillObjects();
  });
}

}  // namespace stow::modMain
