#include "platform/sqlite/sqlite_registry.h"

#include <glib.h>

#include <filesystem>
#include <utility>
#include <vector>

#include "platform/com_error.h"

namespace stow::sqlite {
namespace {

using platform::Hive;
using platform::RegKey;
namespace syserr = platform::syserr;

// System codes for failures the registry contract has no name for.
constexpr long kOutOfMemory = 14;
constexpr long kDiskFull = 112;
constexpr long kRegistryCorrupt = 1015;
constexpr long kIoDevice = 1117;
constexpr long kInternalError = 1359;

// Access bits a handle needs to read and to change values.
constexpr std::uint32_t kKeyQueryValue = 0x0001;
constexpr std::uint32_t kKeySetValue = 0x0002;

long SystemCode(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
      return syserr::kSuccess;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return syserr::kBusy;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_CANTOPEN:
      return syserr::kAccessDenied;
    case SQLITE_FULL:
      return kDiskFull;
    case SQLITE_NOMEM:
      return kOutOfMemory;
    case SQLITE_IOERR:
      return kIoDevice;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return kRegistryCorrupt;
    default:
      return kInternalError;
  }
}

std::string Fold(const std::string& s) {
  return platform::FoldRegistryName(s);
}
std::vector<std::string> Components(const std::string& path) {
  return platform::KeyPathComponents(path);
}
std::string Join(const std::vector<std::string>& parts, std::size_t count) {
  return platform::JoinKeyPath(parts, count);
}

// HRESULT form of a system code, for the errors this class raises.
std::int32_t HResult(long code) {
  return static_cast<std::int32_t>(0x80070000u | (static_cast<std::uint32_t>(code) & 0xFFFFu));
}

// One prepared statement, finalised on scope exit.
class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
  ~Stmt() { sqlite3_finalize(stmt_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  bool Ok() const { return rc_ == SQLITE_OK; }
  int PrepareResult() const { return rc_; }
  Stmt& Bind(int i, std::int64_t v) {
    sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  Stmt& Bind(int i, const std::string& text) {
    sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Stmt& BindBlob(int i, const std::string& bytes) {
    // A zero-length blob must still be a blob, not NULL.
    if (bytes.empty())
      sqlite3_bind_zeroblob(stmt_, i, 0);
    else
      sqlite3_bind_blob(stmt_, i, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
    return *this;
  }
  int Step() { return sqlite3_step(stmt_); }
  std::int64_t Int(int col) { return sqlite3_column_int64(stmt_, col); }
  std::string Blob(int col) {
    const void* p = sqlite3_column_blob(stmt_, col);
    int n = sqlite3_column_bytes(stmt_, col);
    return p ? std::string(static_cast<const char*>(p), static_cast<std::size_t>(n))
             : std::string();
  }
  std::string Text(int col) {
    const unsigned char* p = sqlite3_column_text(stmt_, col);
    int n = sqlite3_column_bytes(stmt_, col);
    return p ? std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n))
             : std::string();
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  int rc_;
};

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS reg_keys("
    "  hive INTEGER NOT NULL, folded TEXT NOT NULL, path TEXT NOT NULL,"
    "  PRIMARY KEY(hive, folded)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS reg_values("
    "  hive INTEGER NOT NULL, key TEXT NOT NULL, folded TEXT NOT NULL, name TEXT NOT NULL,"
    "  type INTEGER NOT NULL, data BLOB NOT NULL,"
    "  PRIMARY KEY(hive, key, folded)) WITHOUT ROWID;";

}  // namespace

SqliteRegistry::SqliteRegistry(const std::string& file, std::chrono::milliseconds busyTimeout)
    : file_(file) {
  const std::string source = "SqliteRegistry";
  std::filesystem::path parent = std::filesystem::path(file).parent_path();
  if (!parent.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(parent, ec);
    if (ec)
      throw ComError(errnum::kPathNotFound, source,
                     "Could not create the folder of the settings store " + parent.string() + ": " +
                         ec.message());
  }
  int rc = sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  auto fail = [&](const std::string& what) {
    std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
    long code = SystemCode(rc);
    sqlite3_close_v2(db_);
    db_ = nullptr;
    throw ComError(HResult(code), source, what + " " + file + ": " + message);
  };
  if (rc != SQLITE_OK) fail("Could not open the settings store");
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, static_cast<int>(busyTimeout.count()));
  {
    // Switching to WAL needs a moment alone with the file; the busy timeout covers it.
    Stmt wal(db_, "PRAGMA journal_mode=WAL");
    rc = wal.Ok() ? wal.Step() : wal.PrepareResult();
    if (rc != SQLITE_ROW) fail("Could not open the settings store");
    if (wal.Text(0) != "wal") {
      rc = SQLITE_CANTOPEN;
      fail("The settings store cannot use a write-ahead log");
    }
  }
  // Each commit reaches the disk before the call returns: a number handed out by the
  // running counter must not come back after a power failure.
  if ((rc = Exec("PRAGMA synchronous=FULL")) != SQLITE_OK)
    fail("Could not open the settings store");
  // A store already set up needs no write lock to be opened, so a process can open it
  // while another one holds it in Exclusive.
  {
    Stmt tables(db_, "SELECT count(*) FROM sqlite_master WHERE name IN ('reg_keys', 'reg_values')");
    rc = tables.Ok() ? tables.Step() : tables.PrepareResult();
    if (rc != SQLITE_ROW) fail("Could not read the settings store");
    if (tables.Int(0) == 2) return;
  }
  if ((rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr)) != SQLITE_OK)
    fail("Could not open the settings store");
  rc = sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    fail("Could not prepare the settings store");
  }
}

SqliteRegistry::~SqliteRegistry() {
  sqlite3_close_v2(db_);
}

long SqliteRegistry::Exec(const char* sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
}

template <class F>
long SqliteRegistry::Write(F&& write) {
  if (exclusiveDepth_ > 0) return write();
  int rc = Exec("BEGIN IMMEDIATE");
  if (rc != SQLITE_OK) return SystemCode(rc);
  long result = write();
  if (result == syserr::kSuccess) {
    rc = Exec("COMMIT");
    if (rc == SQLITE_OK) return syserr::kSuccess;
    result = SystemCode(rc);
  }
  Exec("ROLLBACK");
  return result;
}

const SqliteRegistry::Handle* SqliteRegistry::Find(RegKey key) const {
  auto it = handles_.find(key);
  return it == handles_.end() ? nullptr : &it->second;
}

RegKey SqliteRegistry::NewHandle(Hive hive, std::string folded, std::uint32_t access) {
  RegKey key = nextHandle_++;
  handles_.emplace(key, Handle{hive, std::move(folded), access});
  return key;
}

long SqliteRegistry::CreateKey(Hive hive, const std::string& path, RegKey* key) {
  if (!key) return syserr::kInvalidHandle;
  *key = 0;
  std::vector<std::string> parts = Components(path);
  long result = Write([&]() -> long {
    // The key and every missing parent; existing ones keep the case they were made with.
    for (std::size_t n = 1; n <= parts.size(); ++n) {
      std::string display = Join(parts, n);
      Stmt insert(db_, "INSERT OR IGNORE INTO reg_keys(hive, folded, path) VALUES(?, ?, ?)");
      if (!insert.Ok()) return SystemCode(insert.PrepareResult());
      insert.Bind(1, static_cast<std::int64_t>(hive)).Bind(2, Fold(display)).Bind(3, display);
      int rc = insert.Step();
      if (rc != SQLITE_DONE) return SystemCode(rc);
    }
    return syserr::kSuccess;
  });
  if (result != syserr::kSuccess) return result;
  *key = NewHandle(hive, Fold(Join(parts, parts.size())), platform::KEY_ALL_ACCESS);
  return syserr::kSuccess;
}

long SqliteRegistry::OpenKey(Hive hive, const std::string& path, std::uint32_t access,
                             RegKey* key) {
  if (!key) return syserr::kInvalidHandle;
  *key = 0;
  std::vector<std::string> parts = Components(path);
  std::string folded = Fold(Join(parts, parts.size()));
  if (!folded.empty()) {
    Stmt find(db_, "SELECT 1 FROM reg_keys WHERE hive = ? AND folded = ?");
    if (!find.Ok()) return SystemCode(find.PrepareResult());
    find.Bind(1, static_cast<std::int64_t>(hive)).Bind(2, folded);
    int rc = find.Step();
    if (rc == SQLITE_DONE) return syserr::kFileNotFound;
    if (rc != SQLITE_ROW) return SystemCode(rc);
  }
  *key = NewHandle(hive, std::move(folded), access);
  return syserr::kSuccess;
}

long SqliteRegistry::CloseKey(RegKey key) {
  return handles_.erase(key) ? syserr::kSuccess : syserr::kInvalidHandle;
}

long SqliteRegistry::SetValue(RegKey key, const std::string& name, std::uint32_t type,
                              const std::string& data) {
  const Handle* h = Find(key);
  if (!h) return syserr::kInvalidHandle;
  if (!(h->access & kKeySetValue)) return syserr::kAccessDenied;
  return Write([&]() -> long {
    Stmt upsert(
        db_,
        "INSERT INTO reg_values(hive, key, folded, name, type, data) VALUES(?, ?, ?, ?, ?, ?)"
        " ON CONFLICT(hive, key, folded) DO UPDATE SET type = excluded.type,"
        " data = excluded.data");
    if (!upsert.Ok()) return SystemCode(upsert.PrepareResult());
    upsert.Bind(1, static_cast<std::int64_t>(h->hive))
        .Bind(2, h->key)
        .Bind(3, Fold(name))
        .Bind(4, name)
        .Bind(5, static_cast<std::int64_t>(type))
        .BindBlob(6, data);
    int rc = upsert.Step();
    return rc == SQLITE_DONE ? syserr::kSuccess : SystemCode(rc);
  });
}

long SqliteRegistry::QueryValue(RegKey key, const std::string& name, std::uint32_t* type,
                                std::string* data) {
  const Handle* h = Find(key);
  if (!h) return syserr::kInvalidHandle;
  if (!(h->access & kKeyQueryValue)) return syserr::kAccessDenied;
  Stmt find(db_, "SELECT type, data FROM reg_values WHERE hive = ? AND key = ? AND folded = ?");
  if (!find.Ok()) return SystemCode(find.PrepareResult());
  find.Bind(1, static_cast<std::int64_t>(h->hive)).Bind(2, h->key).Bind(3, Fold(name));
  int rc = find.Step();
  if (rc == SQLITE_DONE) return syserr::kFileNotFound;
  if (rc != SQLITE_ROW) return SystemCode(rc);
  if (type) *type = static_cast<std::uint32_t>(find.Int(0));
  if (data) *data = find.Blob(1);
  return syserr::kSuccess;
}

long SqliteRegistry::DeleteValue(RegKey key, const std::string& name) {
  const Handle* h = Find(key);
  if (!h) return syserr::kInvalidHandle;
  if (!(h->access & kKeySetValue)) return syserr::kAccessDenied;
  return Write([&]() -> long {
    Stmt del(db_, "DELETE FROM reg_values WHERE hive = ? AND key = ? AND folded = ?");
    if (!del.Ok()) return SystemCode(del.PrepareResult());
    del.Bind(1, static_cast<std::int64_t>(h->hive)).Bind(2, h->key).Bind(3, Fold(name));
    int rc = del.Step();
    if (rc != SQLITE_DONE) return SystemCode(rc);
    return sqlite3_changes(db_) ? syserr::kSuccess : syserr::kFileNotFound;
  });
}

void SqliteRegistry::Exclusive(const std::function<void()>& body) {
  if (exclusiveDepth_ > 0) {
    ++exclusiveDepth_;
    try {
      body();
    } catch (...) {
      --exclusiveDepth_;
      throw;
    }
    --exclusiveDepth_;
    return;
  }
  int rc = Exec("BEGIN IMMEDIATE");
  if (rc != SQLITE_OK)
    throw ComError(
        HResult(SystemCode(rc)), "SqliteRegistry",
        "The settings store is in use by another program: " + std::string(sqlite3_errmsg(db_)));
  exclusiveDepth_ = 1;
  std::exception_ptr failure;
  try {
    body();
  } catch (...) {
    failure = std::current_exception();
  }
  exclusiveDepth_ = 0;
  // What body wrote was reported as written, so it is kept even when body failed later.
  rc = Exec("COMMIT");
  if (rc != SQLITE_OK) {
    std::string message = sqlite3_errmsg(db_);
    Exec("ROLLBACK");
    if (failure) std::rethrow_exception(failure);
    throw ComError(HResult(SystemCode(rc)), "SqliteRegistry",
                   "Could not save the settings store: " + message);
  }
  if (failure) std::rethrow_exception(failure);
}

bool SqliteRegistry::CheckIntegrity() {
  Stmt check(db_, "PRAGMA integrity_check");
  if (!check.Ok() || check.Step() != SQLITE_ROW) return false;
  return check.Text(0) == "ok";
}

}  // namespace stow::sqlite
