#include "commands/AlwaysOnTop.h"

#include "platform/com_error.h"
#include "platform/services.h"
#include "platform/ui.h"

namespace stow::AlwaysOnTop {

void SetAlwaysOnTop(ui::Form& form, bool onTop) {
  auto* ui = platform::Platform().ui;
  if (ui == nullptr) return;
  ui->SetTopmost(form, onTop);
}

}  // namespace stow::AlwaysOnTop
