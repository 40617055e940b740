// The schema of the storage database "storage.sqlite", its version and the
// migration of older versions.
//
// The version is the database's user_version. Version 3 keeps what a job
// stored: the blocks each archive file holds (where in its pack file), the
// blocks each archive file references through hits, and each job's tree.
// Older versions held counts only, so migrating one keeps its jobs as
// history (not restorable) and forgets its archive files; every CLDB is then
// recreated once, since none of their records names data that exists.
// Version 4 records what each job was run for (a backup or a prune). A
// database of a newer version is refused and left as it was.
#pragma once

#include <sqlite3.h>

#include <string>

namespace cldb {

constexpr int kStorageSchemaVersion = 4;

// Brings a freshly opened connection to a usable database of the current
// schema: WAL, foreign keys, created or migrated inside one write
// transaction. A database of the current schema is not written at all.
bool SetUpSchema(sqlite3* db, unsigned int busyTimeoutMs, std::string& error);
// For a read-only connection: true when the database is of the current
// schema, which it only reads, never migrates.
bool CheckCurrentSchema(sqlite3* db, std::string& error);

}  // namespace cldb
