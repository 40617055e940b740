#include "storage/Database.h"

#include <climits>

#include "storage/Schema.h"

namespace cldb {

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
                                         std::string& error) {
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX |
                                     SQLITE_OPEN_NOFOLLOW,
                                 nullptr);
  // The object owns the connection from here on, also when opening failed.
  std::unique_ptr<Database> database(new Database(db));
  if (rc != SQLITE_OK) {
    error = sqlite3_errmsg(db);
    return nullptr;
  }
  const unsigned int timeoutMs = std::min<unsigned int>(busyTimeoutMs, INT_MAX);
  sqlite3_busy_timeout(db, static_cast<int>(timeoutMs));
  if (!SetUpSchema(db, timeoutMs, error)) return nullptr;
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
