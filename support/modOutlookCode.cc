#include "support/modOutlookCode.h"

#include <optional>
#include <string>

#include "platform/com_error.h"
#include "platform/object_model.h"
#include "platform/services.h"
#include "platform/ui.h"
#include "platform/value.h"
#include "support/modErroHandling.h"
#include "support/modGlobal.h"
#include "support/product.h"
#include "support/shutdown.h"

namespace stow::modOutlookCode {

namespace {

using modGlobal::objNameSpace;
using modGlobal::objOutlook;

// Tried in turn after the host's own application class.
constexpr const char* kNumberedHostIds[] = {
    "Outlook.Application.14", "Outlook.Application.12", "Outlook.Application.11",
    "Outlook.Application.10", "Outlook.Application.9",  "Outlook.Application",
};

int MsgBox(const std::string& prompt, int style, const std::string& title) {
  auto* ui = platform::Platform().ui;
  if (ui == nullptr) return ui::vbOK;
  return ValueOr(static_cast<int>(ui::vbOK), [&] { return ui->MsgBox(prompt, style, title); });
}

// Creates the host by identifier into objOutlook; on failure keeps the error.
bool TryCreateHost(const char* progId, std::optional<ComError>& lastError) {
  try {
    auto* factory = platform::Platform().factory;
    if (factory == nullptr) {
      Raise(errnum::kCannotCreateObject, "Stowbright", "ActiveX component can't create object");
    }
    auto app = ComCast<om::Application>(factory->Create(progId));
    if (!app) Raise(errnum::kTypeMismatch, "Stowbright", "Type mismatch");
    objOutlook = std::move(app);
    return true;
  } catch (...) {
    lastError = CurrentError();
    return false;
  }
}

void KillObjects() {
  IgnoreErrors([] { modMain::subKillObjects(); });
}

std::int16_t ToInteger(const std::string& text) {
  auto n = ParseInteger(text);
  if (!n) Raise(errnum::kTypeMismatch, "Stowbright", "Type mismatch");
  if (*n < INT16_MIN || *n > INT16_MAX) Raise(errnum::kOverflow, "Stowbright", "Overflow");
  return static_cast<std::int16_t>(*n);
}

}  // namespace

void subStartOutlook(int& folderKind) {
  if (!objOutlook) {
    std::optional<ComError> lastError;
    bool created = TryCreateHost("Outlook.Application", lastError);
    for (const char* id : kNumberedHostIds) {
      if (created) break;
      created = TryCreateHost(id, lastError);
    }
    if (!created) {
      MsgBox("Error trying to start Outlook!", ui::vbOKOnly, "");
      KillObjects();
    }
    if (!objOutlook) {
      std::string details = lastError ? std::to_string(lastError->Number()) + " " +
                                            lastError->Description() + "\r\n" +
                                            std::to_string(lastError->Line())
                                      : std::string("0 \r\n0");
      MsgBox("Outlook 2003 or later required to use this application!\r\n" + details,
             ui::vbCritical, product::kTitle);
      KillObjects();
    } else {
      std::int16_t version = GetVersion();
      if (version < 11) {
        MsgBox(
            "Outlook 2003 or later required to use this application!\r\n" + std::to_string(version),
            ui::vbCritical, product::kTitle);
        KillObjects();
      }
    }
  }
  if (objOutlook) {
    IgnoreErrors([&] { objNameSpace = objOutlook->GetNamespace("MAPI"); });
  }
  if (objOutlook) {
    IgnoreErrors([&] {
      if (objOutlook->ActiveExplorer()) return;
      auto explorers = objOutlook->Explorers();
      if (Required(explorers).Count() == 0) {
        explorers->Add(Required(objNameSpace).GetDefaultFolder(folderKind), 0);
      }
      Required(explorers->Item(1)).Activate();
    });
  }
}

void subCheckOutlookAccess(int& folderKind) {
  if (!objOutlook) {
    int inbox = om::olFolderInbox;
    subStartOutlook(inbox);
  }
  std::optional<ComError> pending;
  auto step = [&](auto&& body) {
    try {
      body();
    } catch (...) {
      pending = CurrentError();
    }
  };
  if (!objNameSpace) {
    step([&] { objNameSpace = Required(objOutlook).GetNamespace("MAPI"); });
  }
  step([&] {
    auto explorers = Required(objOutlook).Explorers();
    if (Required(explorers).Count() == 0) {
      auto folder = Required(objNameSpace).GetDefaultFolder(folderKind);
      Required(explorers->Add(folder, 0)).Display();
    }
  });
  if (pending) {
    MsgBox("Can't access Outlook API!\r\nNot adequate permission over the folder/items!\r\n" +
               std::to_string(pending->Number()) + "\r\n" + pending->Description() + "\r\n" +
               std::to_string(pending->Line()),
           ui::vbCritical, product::kTitle);
  }
}

std::int16_t GetVersion() {
  return Trap("GetVersion", static_cast<std::int16_t>(0), [&] {
    if (modGlobal::intOutlookVersion == 0) {
      if (!objOutlook) {
        int inbox = om::olFolderInbox;
        subStartOutlook(inbox);
      }
      std::string version = Required(objOutlook).Version();
      std::size_t dot = version.find('.');
      if (dot == std::string::npos) {
        Raise(errnum::kInvalidProcedureCall, "Stowbright", "Invalid procedure call or argument");
      }
      modGlobal::intOutlookVersion = ToInteger(version.substr(0, dot));
    }
    return modGlobal::intOutlookVersion;
  });
}

}  // namespace stow::modOutlookCode
