#pragma once
// Redrawing a control of the loaded ribbon. It needs only the ribbon's handle in the
// globals, so it lives beside them: the settings pages and the window trackers
// redraw the ribbon without reaching up to the ribbon's own module.

#include <string>

namespace stow::modRibbon {

// Asks a loaded ribbon to redraw one control; nothing without a ribbon.
void InvalidateRibbonControl(const std::string& id);

}  // namespace stow::modRibbon
