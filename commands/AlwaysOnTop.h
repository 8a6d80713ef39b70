#pragma once
// Keeping a form above every other window.

#include "platform/forms.h"

namespace stow::AlwaysOnTop {

// Places the form's window on top of all others (onTop) or back among them, without
// activating it.
void SetAlwaysOnTop(ui::Form& form, bool onTop);

}  // namespace stow::AlwaysOnTop
