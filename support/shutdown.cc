#include "support/shutdown.h"

#include <memory>

#include "platform/com_error.h"
#include "platform/services.h"
#include "platform/ui.h"
#include "support/frmErrorReport.h"
#include "support/modErroHandling.h"
#include "support/modGlobal.h"
#include "support/modSafeItem.h"

namespace stow::modMain {

using namespace modGlobal;

void subKillObjects() {
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
