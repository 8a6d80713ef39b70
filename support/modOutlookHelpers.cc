#include "support/modOutlookHelpers.h"

#include <vector>

#include "platform/com_error.h"
#include "platform/object_model.h"
#include "platform/services.h"
#include "platform/ui.h"
#include "support/modErroHandling.h"
#include "support/modGlobal.h"
#include "support/modOutlookCode.h"
#include "support/product.h"

namespace stow::modOutlookCode {

namespace {

// The class name of the host's main windows.
constexpr const char* kHostWindowClass = "rctrl_renwnd32";

ComPtr CreateBySystem(const std::string& progId) {
  return ValueOr(ComPtr(), [&]() -> ComPtr {
    auto* factory = platform::Platform().factory;
    return factory ? factory->Create(progId) : nullptr;
  });
}

ComPtr CreateByHost(const std::string& progId) {
  auto app = modGlobal::objOutlook;
  if (!app) return nullptr;
  return ValueOr(ComPtr(), [&] { return app->CreateObject(progId); });
}

std::shared_ptr<platform::WshShell> CreateShell() {
  return ComCast<platform::WshShell>(CreateObjectEx("Wscript.Shell", false));
}

std::string Trim(const std::string& text) {
  const char* blanks = " \t\r\n";
  std::size_t begin = text.find_first_not_of(blanks);
  if (begin == std::string::npos) return "";
  std::size_t end = text.find_last_not_of(blanks);
  return text.substr(begin, end - begin + 1);
}

std::vector<std::string> SplitAtBackslash(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    std::size_t at = text.find('\\', start);
    if (at == std::string::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, at - start));
    start = at + 1;
  }
}

std::shared_ptr<om::NameSpace> CurrentNameSpace() {
  if (modGlobal::objNameSpace) return modGlobal::objNameSpace;
  auto app = modGlobal::objOutlook;
  if (!app) return nullptr;
  return ValueOr(std::shared_ptr<om::NameSpace>(), [&] { return app->GetNamespace("MAPI"); });
}

}  // namespace

ComPtr CreateObjectEx(const std::string& progId, bool preferHost) {
  ComPtr object = preferHost ? CreateByHost(progId) : CreateBySystem(progId);
  if (!object) object = preferHost ? CreateBySystem(progId) : CreateByHost(progId);
  return object;
}

std::shared_ptr<platform::WshShell> GetWS() {
  return Trap("Scripting.GetWS", std::shared_ptr<platform::WshShell>(), [&] {
    auto ws = CreateShell();
    if (ws) return ws;
    // The shell object is the only way this platform runs a command, so the
    // registration repair ("regsvr32 wshom.ocx /s") has nothing to run it with;
    // a second attempt still covers a factory that was briefly unavailable.
    return CreateShell();
  });
}

std::string GetFullFolderPath(const std::shared_ptr<om::Folder>& folder,
                              const std::shared_ptr<om::NameSpace>& nameSpace) {
  if (!folder) return "";
  std::string path = ValueOr(std::string(), [&] { return folder->Name(); });

  std::vector<std::string> topNames;
  IgnoreErrors([&] {
    auto folders = Required(nameSpace).Folders();
    std::int64_t count = Required(folders).Count();
    for (std::int64_t i = 1; i <= count; ++i) {
      IgnoreErrors([&] { topNames.push_back(Required(folders->Item(i)).Name()); });
    }
  });

  std::shared_ptr<om::Folder> current = folder;
  // A store is never deeper than this; a parent chain that loops must still end.
  for (int depth = 0; depth < 1000 && current; ++depth) {
    auto parent = ValueOr(std::shared_ptr<om::Folder>(), [&] { return current->Parent(); });
    if (!parent) break;
    std::string name;
    if (IgnoreErrors([&] { name = parent->Name(); }) != 0) break;
    bool isTop = false;
    for (const std::string& top : topNames) {
      if (top == name) isTop = true;
    }
    if (isTop) {
      path = "\\\\" + name + "\\" + path;
      break;
    }
    path = name + "\\" + path;
    current = parent;
  }
  return path;
}

std::shared_ptr<om::Folder> GetFolderFromPath(const std::string& path, bool showMessage) {
  if (Trim(path).empty()) return nullptr;
  std::shared_ptr<om::Folder> folder;
  IgnoreErrors([&] {
    auto nameSpace = CurrentNameSpace();
    auto& ns = Required(nameSpace);
    std::vector<std::string> parts = SplitAtBackslash(path);
    if (parts.size() > 1) {
      if (parts.size() < 3) return;
      auto current = Required(ns.Folders()).Item(parts[2]);
      for (std::size_t i = 3; i < parts.size() && current; ++i) {
        // A trailing "\" names no further folder.
        if (parts[i].empty() && i + 1 == parts.size()) break;
        current = Required(current->Folders()).Item(parts[i]);
      }
      folder = current;
    } else {
      auto recipient = ns.CreateRecipient(parts[0]);
      IgnoreErrors([&] { Required(recipient).Resolve(); });
      folder = ns.GetSharedDefaultFolder(recipient, om::olFolderInbox);
    }
  });
  if (!folder && showMessage) {
    if (auto* ui = platform::Platform().ui) {
      IgnoreErrors([&] {
        ui->MsgBox(
            "Cannot access the specified path!\r\nPlease make sure it exists and you have the "
            "appropriate permission!",
            ui::vbCritical, product::kTitle);
      });
    }
  }
  return folder;
}

std::shared_ptr<om::Folder> PickOutlookFolder(ui::Form* owner) {
  std::shared_ptr<om::Folder> picked;
  IgnoreErrors([&] {
    if (!modGlobal::objOutlook) {
      int folderKind = om::olFolderInbox;
      subStartOutlook(folderKind);
    }
    auto app = modGlobal::objOutlook;
    auto* ui = platform::Platform().ui;
    IgnoreErrors([&] {
      auto explorer = Required(app).ActiveExplorer();
      std::string caption = Required(explorer).Caption();
      if (ui) {
        ui::WindowHandle window = ui->FindWindow(kHostWindowClass, caption);
        if (window != 0) ui->BringToFront(window);
      }
    });
    auto nameSpace = CurrentNameSpace();
    picked = Required(nameSpace).PickFolder();
    if (owner != nullptr && ui != nullptr && owner->Loaded()) {
      IgnoreErrors([&] {
        // Raising the form above the host's window again, without changing
        // whether it stays on top.
        bool wasTopmost = ui->IsTopmost(*owner);
        ui->SetTopmost(*owner, true);
        if (!wasTopmost) ui->SetTopmost(*owner, false);
      });
    }
  });
  return picked;
}

std::string GetFolderType(const std::string& entry) {
  if (Trim(entry).empty()) return "";
  return entry.find('\\') == std::string::npos ? "MailBox" : "Folder";
}

std::string GetCurrentFolderPath() {
  std::string path;
  IgnoreErrors([&] {
    auto& app = Required(modGlobal::objOutlook);
    std::shared_ptr<om::Folder> folder;
    if (IsActiveWindowOfInspector()) {
      auto inspector = app.ActiveInspector();
      folder = Required(Required(inspector).CurrentItem()).Parent();
    } else {
      folder = Required(app.ActiveExplorer()).CurrentFolder();
    }
    if (folder) path = folder->FolderPath();
  });
  return path;
}

bool IsActiveWindowOfInspector() {
  return Trap("OOM.IsActiveWindowOfInspector", false, [&] {
    auto app = modGlobal::objOutlook;
    if (!app) return false;
    auto window = ValueOr(std::shared_ptr<om::Window>(), [&] { return app->ActiveWindow(); });
    return window && window->TypeName() == "Inspector";
  });
}

void ShowFormModal(ui::Form& form) {
  IgnoreErrors([&] { form.Show(true); });
}

}  // namespace stow::modOutlookCode
