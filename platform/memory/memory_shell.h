#pragma once
// Shell and "Wscript.Shell" doubles for tests (platform/shell.h): they record what
// the add-in asked for and answer with what the test set.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/com_error.h"
#include "platform/shell.h"

namespace stow::mem {

class MemoryShell : public platform::Shell {
 public:
  // Records the path or address; answers with SetShellOpenResult (default true).
  bool ShellOpen(const std::string& pathOrAddress) override;
  // What SetSpecialFolder set for the id; empty otherwise.
  std::string SpecialFolderPath(int csidl) override;
  std::string SystemTempPath() override { return tempPath_; }
  std::string ProgramFolder() override { return programFolder_; }

  void SetShellOpenResult(bool ok) { openResult_ = ok; }
  void SetSpecialFolder(int csidl, std::string path) { specialFolders_[csidl] = std::move(path); }
  void SetSystemTempPath(std::string path) { tempPath_ = std::move(path); }
  void SetProgramFolder(std::string path) { programFolder_ = std::move(path); }

  const std::vector<std::string>& Opened() const { return opened_; }
  void ClearOpened() { opened_.clear(); }

 private:
  bool openResult_ = true;
  std::map<int, std::string> specialFolders_;
  std::string tempPath_ = "/tmp";
  std::string programFolder_ = "/opt/stowbright";
  std::vector<std::string> opened_;
};

struct RunCall {
  std::string command;
  int windowStyle = 0;
  bool wait = false;
};

class MemoryWshShell : public platform::WshShell {
 public:
  // Records the call; raises the failure set with FailWith, else returns the exit
  // code set with SetExitCode when waiting (default 0) and 0 when not.
  int Run(const std::string& command, int windowStyle, bool wait) override;

  void SetExitCode(int code) { exitCode_ = code; }
  // Every later Run raises this error (the call is still recorded) until cleared.
  void FailWith(std::int32_t number, std::string description) {
    failure_ = ComError(number, "Wscript.Shell", std::move(description));
  }
  void ClearFailure() { failure_.reset(); }

  const std::vector<RunCall>& Calls() const { return calls_; }
  std::vector<std::string> Commands() const;

 private:
  int exitCode_ = 0;
  std::optional<ComError> failure_;
  std::vector<RunCall> calls_;
};

}  // namespace stow::mem
