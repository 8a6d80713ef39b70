#pragma once
// The settings store of the real program: both hives in one SQLite file, shared by
// every process of the user (the watcher and the commands run at the same time).
//
// - The file is in WAL mode, so readers never wait for a writer, and every write is
//   one transaction: a process killed in the middle of a write leaves the earlier
//   value or the new one, never a mix.
// - A writer that finds the file locked waits up to the busy timeout, then gets
//   kBusy.
// - Key paths and value names keep the case they were created with and are found
//   again in any case (Unicode case folding). Empty path components are ignored, so
//   "Software\\A" and "\\Software\\A\\" name the same key.
// - A handle opened with KEY_READ cannot write (kAccessDenied).
//
// One object serves one thread. After fork() a child must open its own object on the
// same file: SQLite connections do not cross fork.

#include <sqlite3.h>

#include <chrono>
#include <map>
#include <string>

#include "platform/registry.h"

namespace stow::sqlite {

class SqliteRegistry : public platform::Registry {
 public:
  // Opens (creating when missing) the store at `file`, and the folders above it.
  // Raises ComError when the file cannot be opened or is not a settings store.
  explicit SqliteRegistry(const std::string& file,
                          std::chrono::milliseconds busyTimeout = std::chrono::seconds(30));
  ~SqliteRegistry() override;
  SqliteRegistry(const SqliteRegistry&) = delete;
  SqliteRegistry& operator=(const SqliteRegistry&) = delete;

  long CreateKey(platform::Hive hive, const std::string& path, platform::RegKey* key) override;
  long OpenKey(platform::Hive hive, const std::string& path, std::uint32_t access,
               platform::RegKey* key) override;
  long CloseKey(platform::RegKey key) override;
  long SetValue(platform::RegKey key, const std::string& name, std::uint32_t type,
                const std::string& data) override;
  long QueryValue(platform::RegKey key, const std::string& name, std::uint32_t* type,
                  std::string* data) override;
  long DeleteValue(platform::RegKey key, const std::string& name) override;
  // Holds one write transaction (BEGIN IMMEDIATE) open while body runs; nested calls
  // join the outer one. Everything body writes is committed together, also when
  // body throws (the exception is then passed on). Raises ComError when the store
  // stays locked past the busy timeout or the commit fails.
  void Exclusive(const std::function<void()>& body) override;

  const std::string& File() const { return file_; }
  // Handles currently open (tests check that callers close what they open).
  std::size_t OpenHandleCount() const { return handles_.size(); }
  // SQLite's own consistency check of the file; true when it reports "ok".
  bool CheckIntegrity();

 private:
  struct Handle {
    platform::Hive hive;
    std::string key;  // folded, normalised path
    std::uint32_t access;
  };

  long Exec(const char* sql);
  // Runs write inside a transaction of its own, unless Exclusive already holds one.
  template <class F>
  long Write(F&& write);
  const Handle* Find(platform::RegKey key) const;
  platform::RegKey NewHandle(platform::Hive hive, std::string folded, std::uint32_t access);

  std::string file_;
  sqlite3* db_ = nullptr;
  std::map<platform::RegKey, Handle> handles_;
  platform::RegKey nextHandle_ = 1;
  int exclusiveDepth_ = 0;
};

}  // namespace stow::sqlite
