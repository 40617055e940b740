// Database: the storage side's SQLite connection, shared by the parts of the
// storage side (jobs and archive files, the blocks of a job, restore,
// verify, garbage collection).
//
// Statements are prepared on first use and kept; a statement's SQL must have
// static storage (a literal), since it is its own key. One mutex serialises
// every use of the connection: a caller takes Lock() for the whole of what
// it does, helpers below expect it held. Every change runs inside
// Transaction(true, ...), which takes the write lock at its start (BEGIN
// IMMEDIATE), so read-modify-write sequences never interleave with another
// process's. Errors are recorded (Fail, FailSqlite) and read with Error().
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>

namespace cldb {

// Bytes bound as a BLOB.
struct Blob {
  const void* data;
  size_t size;
};

// One use of a prepared statement: binds its arguments (integers, strings
// as text, Blobs), steps it, and resets it when it goes out of scope.
class Query {
 public:
  template <typename... Args>
  explicit Query(sqlite3_stmt* statement, const Args&... args) : statement_(statement) {
    int index = 0;
    (Bind(++index, args), ...);
  }
  ~Query() {
    if (statement_ == nullptr) return;
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() {
    if (statement_ == nullptr) return SQLITE_MISUSE;
    return bindStatus_ != SQLITE_OK ? bindStatus_ : sqlite3_step(statement_);
  }
  int64_t Int(int column) const { return sqlite3_column_int64(statement_, column); }
  bool IsNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
  std::string Text(int column) const;
  // The bytes of a BLOB (or text) column; valid until the next Step.
  std::string_view Bytes(int column) const;

 private:
  template <typename T>
  void Bind(int index, const T& value) {
    int rc;
    if constexpr (std::is_same_v<T, Blob>) {
      rc = sqlite3_bind_blob64(statement_, index, value.data, value.size, SQLITE_STATIC);
    } else if constexpr (std::is_integral_v<T>) {
      // An unsigned 64-bit value above 2^63-1 keeps its bits and reads back the same.
      rc = sqlite3_bind_int64(statement_, index, static_cast<sqlite3_int64>(value));
    } else {
      const std::string& text = value;
      rc = sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                             SQLITE_TRANSIENT);
    }
    if (bindStatus_ == SQLITE_OK) bindStatus_ = rc;
  }

  sqlite3_stmt* statement_;
  int bindStatus_ = SQLITE_OK;
};

class Database {
 public:
  // Opens (creating when missing) the database at `path` and brings it to
  // the current schema (Schema.h). nullptr with `error` set on failure.
  // A read-only open creates nothing (not even the -wal and -shm files of a
  // database no one has open) and accepts only a database of the current
  // schema; every change through it fails. What it reads is for estimates:
  // a writer that starts meanwhile may show it a mix of two states.
  static std::unique_ptr<Database> Open(const std::string& path, unsigned int busyTimeoutMs,
                                        std::string& error, bool readOnly = false);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  std::unique_lock<std::mutex> Lock() const { return std::unique_lock<std::mutex>(mutex_); }

  // ---- with Lock() held ----
  // The prepared statement of `sql`; nullptr (error recorded) when it does
  // not prepare, which Query turns into SQLITE_MISUSE.
  sqlite3_stmt* Statement(const char* sql);
  // Runs a statement that returns no row: 0, or -1 with the error recorded.
  template <typename... Args>
  int Run(const char* sql, const Args&... args) {
    Query query(Statement(sql), args...);
    const int rc = query.Step();
    return rc == SQLITE_DONE || rc == SQLITE_ROW ? 0 : FailSqlite();
  }
  // Reads the first column of the statement's first row into `value`;
  // `found` says whether there was one. 0 or -1.
  template <typename... Args>
  int ReadInt(const char* sql, int64_t& value, bool& found, const Args&... args) {
    Query query(Statement(sql), args...);
    const int rc = query.Step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return FailSqlite();
    found = rc == SQLITE_ROW;
    value = found ? query.Int(0) : 0;
    return 0;
  }
  // Runs `body` inside a write transaction (BEGIN IMMEDIATE), or a read
  // transaction when `write` is false; commits when it returns 0, else rolls
  // back and returns what it returned.
  template <typename Body>
  int Transaction(bool write, Body body) {
    if (Run(write ? "BEGIN IMMEDIATE" : "BEGIN") != 0) return -1;
    const int rc = body();
    if (rc == 0 && Run("COMMIT") == 0) return 0;
    const std::string error = error_;
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    error_ = error;
    return rc == 0 ? -1 : rc;
  }
  // Rows changed by the last statement.
  int64_t Changes() const { return sqlite3_changes64(db_); }

  int Fail(const std::string& message);  // records `message`, returns -1
  int FailSqlite();                      // records the connection's message
  const std::string& Error() const { return error_; }
  // For callers that record an error of their own kind.
  std::string& MutableError() { return error_; }

 private:
  explicit Database(sqlite3* db) : db_(db) {}

  mutable std::mutex mutex_;
  sqlite3* db_;
  std::unordered_map<std::string_view, sqlite3_stmt*> statements_;
  std::string error_;
};

}  // namespace cldb
