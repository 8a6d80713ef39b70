#include "support/modFileSystem.h"

#include <cstdint>
#include <optional>
#include <random>

#include "platform/com_error.h"
#include "platform/services.h"
#include "platform/shell.h"
#include "platform/ui.h"
#include "support/modErroHandling.h"
#include "support/modGlobal.h"
#include "support/modOutlookHelpers.h"
#include "support/product.h"

namespace stow::modFileSystem {

namespace {

// Window styles of the shell object's Run.
constexpr int kNormalWindow = 1;
constexpr int kMinimizedWindow = 2;

ComPtr CreateByFactory(const std::string& progId) {
  auto* factory = platform::Platform().factory;
  if (factory == nullptr) {
    Raise(errnum::kCannotCreateObject, "Stowbright", "ActiveX component can't create object");
  }
  return factory->Create(progId);
}

// Creates an object of type T by identifier; nothing on failure, keeping the error.
template <class T>
std::shared_ptr<T> TryCreate(const std::string& progId, std::optional<ComError>& error) {
  try {
    auto object = ComCast<T>(CreateByFactory(progId));
    if (!object) Raise(errnum::kTypeMismatch, "Stowbright", "Type mismatch");
    return object;
  } catch (...) {
    error = CurrentError();
    return nullptr;
  }
}

// Creation with one repair attempt per process, then a report under label.
template <class T>
std::shared_ptr<T> CreateWithRepair(const std::string& progId, bool& repaired, const char* label) {
  std::optional<ComError> error;
  auto object = TryCreate<T>(progId, error);
  if (object) return object;
  if (!repaired) {
    repaired = true;
    RepairScriptingRuntime();
    object = TryCreate<T>(progId, error);
    if (object) return object;
  }
  if (error) {
    modErroHandling::HandleError(error->Description(), error->Number(), error->Line(), label,
                                 error->Source());
  }
  return nullptr;
}

bool IsSeparator(char c) {
  return c == '/' || c == '\\';
}

std::string ToUpperAscii(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

}  // namespace

void InitializeFileSystem() {
  if (modGlobal::objFSO) return;
  modGlobal::objFSO = CreateWithRepair<platform::FileSystemObject>(
      "Scripting.FileSystemObject", modGlobal::blnFileSystemRepaired, "FileModule.Initialize");
}

std::shared_ptr<platform::Dictionary> CreateDictionary() {
  auto dictionary = CreateWithRepair<platform::Dictionary>(
      "Scripting.Dictionary", modGlobal::blnDictionaryRepaired, "Scripting.Initialize");
  if (dictionary) {
    IgnoreErrors([&] { dictionary->SetCompareMode(platform::Dictionary::kTextCompare); });
  }
  return dictionary;
}

void RepairScriptingRuntime() {
  IgnoreErrors([] {
    if (auto ws = modOutlookCode::GetWS())
      ws->Run("regsvr32 scrrun.dll /s", kMinimizedWindow, false);
  });
}

std::string TemporaryPath() {
  return Trap<std::string>("FileModule.TemporaryPath", "", [] {
    InitializeFileSystem();
    std::string path;
    if (auto fso = modGlobal::objFSO) {
      path =
          ValueOr(std::string(), [&] { return fso->GetSpecialFolder(platform::TemporaryFolder); });
    }
    if (path.empty()) return GetSystemTempPath();
    return path;
  });
}

std::string GetSystemTempPath() {
  auto* shell = platform::Platform().shell;
  if (shell == nullptr) return "";
  std::string path = ValueOr(std::string(), [&] { return shell->SystemTempPath(); });
  std::size_t nul = path.find('\0');
  if (nul != std::string::npos) path.resize(nul);
  return path;
}

void ShellOpenFile(const std::string& path) {
  IgnoreErrors([&] {
    if (auto* shell = platform::Platform().shell) shell->ShellOpen(path);
  });
}

void RunApp(const std::string& target, const std::string& arguments, const std::string& folder) {
  Trap("FileModule.RunApp", [&] {
    auto ws = modOutlookCode::GetWS();
    std::string upper = ToUpperAscii(target);
    if (upper.rfind("HTTP", 0) == 0 || upper.rfind("MAIL", 0) == 0) {
      // The shell object hands an address to the desktop's opener itself; trying the
      // opener again after it failed would only fail twice.
      if (ws)
        IgnoreErrors([&] { ws->Run(target, kNormalWindow, false); });
      else
        ShellOpenFile(target);
      return;
    }

    std::string path = JoinPath(folder, target + ".exe");
    InitializeFileSystem();
    auto& fso = Required(modGlobal::objFSO);
    if (folder.empty() || !fso.FileExists(path)) {
      std::string programFolder =
          platform::Platform().shell ? platform::Platform().shell->ProgramFolder() : "";
      path = JoinPath(programFolder, target + ".exe");
    }
    if (!fso.FileExists(path)) return;

    std::string command = "\"" + path + "\" " + arguments;
    try {
      if (ws) {
        ws->Run(command, kNormalWindow, false);
      } else {
        ShellOpenFile(path);
      }
    } catch (...) {
      ComError e = CurrentError();
      if (auto* ui = platform::Platform().ui) {
        ui->MsgBox("Exception occured when running the file " + path + "\r\n" + e.Description(),
                   ui::vbCritical, product::kTitle);
      }
    }
  });
}

double GetRandomNumber(std::int32_t low, std::int32_t high) {
  std::int64_t span = static_cast<std::int64_t>(high) - static_cast<std::int64_t>(low);
  if (span > INT32_MAX || span < INT32_MIN) Raise(errnum::kOverflow, "Stowbright", "Overflow");
  if (span <= 0) return static_cast<double>(low);
  std::uniform_int_distribution<std::int64_t> pick(low, static_cast<std::int64_t>(high) - 1);
  return static_cast<double>(pick(modGlobal::objRandom));
}

std::string StripTrailingSeparator(const std::string& path) {
  if (!path.empty() && IsSeparator(path.back())) return path.substr(0, path.size() - 1);
  return path;
}

std::string TextAfterFirstSeparator(const std::string& path) {
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (IsSeparator(path[i])) return path.substr(i + 1);
  }
  return "";
}

std::string GetDotExtension(const std::string& fileName) {
  std::size_t dot = fileName.rfind('.');
  if (dot == std::string::npos) return fileName;
  std::string ext = fileName.substr(dot + 1);
  if (ext.empty()) return "";
  return "." + ext;
}

std::string CleanFileName(const std::string& name) {
  std::string clean;
  clean.reserve(name.size());
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == ':') {
      clean += '-';
    } else if (c == '?' || c == '/' || c == '\\' || c == '*' || c == '<' || c == '>' || c == '|' ||
               c == '"') {
      continue;
    } else if (u < 0x20 || u == 0x7F) {
      // Control characters (NUL above all) cannot be part of a file name.
      continue;
    } else {
      clean += c;
    }
  }
  // "." and ".." name the folder itself or its parent, never a new file.
  if (clean.empty() || clean == "." || clean == "..") {
    clean = std::to_string(static_cast<std::int64_t>(GetRandomNumber(100000, 999999)));
  }
  return clean;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  return StripTrailingSeparator(folder) + kPathSeparator + name;
}

}  // namespace stow::modFileSystem
