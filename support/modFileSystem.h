#pragma once
// File and path routines shared by the engine and the commands: the shared
// file-system object and its one-time repair, the shared dictionary factory, the
// temporary folder, running a program or opening an address, random numbers, and
// the name and path clean-ups the file naming relies on.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/dictionary.h"

namespace stow::modFileSystem {

// Makes sure modGlobal::objFSO holds the file-system object. A first failure runs
// RepairScriptingRuntime and tries once more; a failure after that is reported
// ("FileModule.Initialize") and objFSO stays empty.
void InitializeFileSystem();

// A new text-compare dictionary, or nothing when the runtime cannot make one (one
// repair attempt per process, then reported under "Scripting.Initialize").
std::shared_ptr<platform::Dictionary> CreateDictionary();

// Starts "regsvr32 scrrun.dll /s" minimized, without waiting; errors ignored.
void RepairScriptingRuntime();

// The temporary folder (may end with a separator), or the system's temporary path.
std::string TemporaryPath();
// The operating system's temporary path, or "".
std::string GetSystemTempPath();

// Opens an "http..." or "mail..." target with its handler; otherwise runs
// folder/target.exe with the arguments when that program exists.
void RunApp(const std::string& target, const std::string& arguments, const std::string& folder);
// Hands a path or address to the shell's open verb; errors ignored.
void ShellOpenFile(const std::string& path);

// A whole number at least low and below high (low when high <= low). Raises 6
// (overflow) when high - low does not fit a 32-bit integer.
double GetRandomNumber(std::int32_t low, std::int32_t high);

// Drops one trailing "\" or "/".
std::string StripTrailingSeparator(const std::string& path);
// The text after the first "\" or "/", "" when there is none.
std::string TextAfterFirstSeparator(const std::string& path);
// ".ext" of the last dot; the whole name when there is no dot; "" for a final dot.
std::string GetDotExtension(const std::string& fileName);
// The name without the characters a file name cannot hold (":" becomes "-").
// An empty result, ".", or ".." becomes a random six-digit number.
std::string CleanFileName(const std::string& name);
// folder (one trailing separator removed) + "/" + name.
std::string JoinPath(const std::string& folder, const std::string& name);

// The platform's path separator.
inline constexpr char kPathSeparator = '/';

}  // namespace stow::modFileSystem
