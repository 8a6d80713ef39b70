#include "support/fAbout.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/com_error.h"
#include "platform/file_system.h"
#include "platform/services.h"
#include "platform/ui.h"
#include "support/modErroHandling.h"
#include "support/modFileSystem.h"
#include "support/modGlobal.h"
#include "support/modOutlookHelpers.h"
#include "support/product.h"

namespace stow {

std::string GetRegistryValueText(platform::Hive hive, const std::string& keyPath,
                                 const std::string& valueName) {
  return ValueOr(std::string(), [&] {
    auto& registry = Required(platform::Platform().registry);
    platform::RegKey key = 0;
    if (registry.OpenKey(hive, keyPath, platform::KEY_READ, &key) != platform::syserr::kSuccess)
      return std::string();
    std::uint32_t type = 0;
    std::string data;
    long rc = registry.QueryValue(key, valueName, &type, &data);
    registry.CloseKey(key);
    if (rc != platform::syserr::kSuccess) return std::string();
    if (type == platform::REG_SZ || type == platform::REG_EXPAND_SZ) {
      std::string text = platform::Utf16BytesToUtf8(data);
      // A terminating NUL written by another program is not part of the text.
      while (!text.empty() && text.back() == '\0') text.pop_back();
      return text;
    }
    if (type == platform::REG_DWORD && data.size() >= 4) {
      std::uint32_t value = 0;
      std::memcpy(&value, data.data(), 4);
      return std::to_string(value);
    }
    return std::string();
  });
}

fAbout::fAbout()
    : ui::Form("fAbout"),
      Label1(Add<ui::Label>("Label1")),
      lblBuild(Add<ui::Label>("lblBuild")),
      Picture1(Add<ui::PictureBox>("Picture1")),
      Label5(Add<ui::Label>("Label5")),
      cmdSystemInfo(Add<ui::CommandButton>("cmdSystemInfo")),
      cmdOK(Add<ui::CommandButton>("cmdOK")) {
  Caption = "About";
  Label1.Caption = product::kTitle;
  Label5.Caption =
      "This program is distributed in the hope that it will be useful, but without any "
      "warranty. Keep copies of important attachments until you have checked that the "
      "detached files are where you expect them.";
  cmdSystemInfo.Caption = "System Info";
  cmdOK.Caption = "OK";
  onSystemInfo_ = cmdSystemInfo.Click.Connect([this] { cmdSystemInfo_Click(); });
  onOK_ = cmdOK.Click.Connect([this] { cmdOK_Click(); });
}

void fAbout::OnLoad() {
  lblBuild.Caption = "Build " + modErroHandling::GetAppVersion();
}

std::string fAbout::FindSystemInfoTool() {
  std::string path = GetRegistryValueText(platform::Hive::LocalMachine, kMsInfoKey, "PATH");
  if (!path.empty()) return path;
  std::string folder =
      GetRegistryValueText(platform::Hive::LocalMachine, kSharedToolsKey, "MSINFO");
  if (folder.empty()) return "";
  std::string candidate = modFileSystem::JoinPath(folder, "MSINFO32.EXE");
  bool exists = ValueOr(false, [&] { return Required(modGlobal::objFSO).FileExists(candidate); });
  return exists ? candidate : "";
}

void fAbout::cmdSystemInfo_Click() {
  std::string path = FindSystemInfoTool();
  bool started = false;
  if (!path.empty()) {
    started = IgnoreErrors([&] {
                Required(modOutlookCode::GetWS()).Run("\"" + path + "\"", 1, false);
              }) == 0;
  }
  if (!started) {
    IgnoreErrors([] {
      Required(platform::Platform().ui)
          .MsgBox("System Information Is Unavailable At This Time", ui::vbOKOnly, "");
    });
  }
}

void fAbout::cmdOK_Click() {
  Unload();
}

}  // namespace stow
