// Direct SQL on a storage database, behind the storage side's back: for
// tests that read what it recorded or plant what it should refuse.
#pragma once

#include <sqlite3.h>

#include <string>

namespace cldbtest {

// Runs `sql` on the database at `path` behind the backend's back; returns the
// first column of the last row ("" for none or on failure).
inline std::string RawSql(const std::string& path, const std::string& sql) {
  auto keep = [](void* out, int, char** columns, char**) {
    *static_cast<std::string*>(out) = columns[0] ? columns[0] : "";
    return 0;
  };
  std::string value;
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) == SQLITE_OK)
    sqlite3_exec(db, sql.c_str(), keep, &value, nullptr);
  sqlite3_close(db);
  return value;
}

}  // namespace cldbtest
