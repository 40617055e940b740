#include "storage/Database.h"

#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstring>

#include "storage/Schema.h"

namespace cldb {
namespace {

// "file:" URI of `path` with immutable=1; characters outside the unreserved
// set and '/' percent-encoded.
std::string ImmutableUri(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string uri = "file:";
  for (const unsigned char c : path) {
    if (std::isalnum(c) || std::strchr("/-._~", c) != nullptr) {
      uri += static_cast<char>(c);
    } else {
      uri += '%';
      uri += kHex[c >> 4];
      uri += kHex[c & 15];
    }
  }
  return uri + "?immutable=1";
}

}  // namespace

std::string Query::Text(int column) const {
  const unsigned char* text = sqlite3_column_text(statement_, column);
  return text ? reinterpret_cast<const char*>(text) : "";
}

std::string_view Query::Bytes(int column) const {
  const void* bytes = sqlite3_column_blob(statement_, column);
  const int size = sqlite3_column_bytes(statement_, column);
  return bytes ? std::string_view(static_cast<const char*>(bytes), static_cast<size_t>(size))
               : std::string_view();
}

std::unique_ptr<Database> Database::Open(const std::string& path, unsigned int busyTimeoutMs,
                                         std::string& error, bool readOnly) {
  sqlite3* db = nullptr;
  int flags = SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
  std::string name = path;
  if (!readOnly) {
    flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  } else if (access((path + "-wal").c_str(), F_OK) == 0) {
    flags |= SQLITE_OPEN_READONLY;
  } else {
    // Without a write-ahead log no connection has the database open: it is
    // read as it lies, so that the reader leaves no -wal or -shm file behind.
    // A writer that starts and checkpoints during the read may show it a mix
    // of two states: a read-only open serves estimates, never decisions.
    flags |= SQLITE_OPEN_READONLY | SQLITE_OPEN_URI;
    name = ImmutableUri(path);
  }
  const int rc = sqlite3_open_v2(name.c_str(), &db, flags, nullptr);
  // The object owns the connection from here on, also when opening failed.
  std::unique_ptr<Database> database(new Database(db));
  if (rc != SQLITE_OK) {
    error = sqlite3_errmsg(db);
    return nullptr;
  }
  const unsigned int timeoutMs = std::min<unsigned int>(busyTimeoutMs, INT_MAX);
  sqlite3_busy_timeout(db, static_cast<int>(timeoutMs));
  if (!(readOnly ? CheckCurrentSchema(db, error) : SetUpSchema(db, timeoutMs, error)))
    return nullptr;
  return database;
}

Database::~Database() {
  for (auto& [sql, statement] : statements_) sqlite3_finalize(statement);
  sqlite3_close(db_);
}

sqlite3_stmt* Database::Statement(const char* sql) {
  auto found = statements_.find(sql);
  if (found != statements_.end()) return found->second;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
      SQLITE_OK) {
    FailSqlite();
    return nullptr;
  }
  statements_.emplace(sql, statement);
  return statement;
}

int Database::Fail(const std::string& message) {
  error_ = message;
  return -1;
}

int Database::FailSqlite() { return Fail(sqlite3_errmsg(db_)); }

}  // namespace cldb
