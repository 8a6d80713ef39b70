#include "support/ribbonRefresh.h"

#include "platform/office.h"
#include "support/modGlobal.h"

namespace stow::modRibbon {

void InvalidateRibbonControl(const std::string& id) {
  if (auto ribbon = modGlobal::objRibbonUI) ribbon->InvalidateControl(id);
}

}  // namespace stow::modRibbon
