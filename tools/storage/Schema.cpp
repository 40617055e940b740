#include "storage/Schema.h"

#include <climits>
#include <cstdint>
#include <random>

namespace cldb {
namespace {

// The tables as version 2 left them, without its archive files. STRICT
// tables refuse a value of the wrong type, so a sum that overflowed into a
// floating-point value can never be stored.
const char kBase[] = R"sql(
CREATE TABLE meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL) STRICT;
CREATE TABLE copies(
  copy_id INTEGER PRIMARY KEY,
  name TEXT,
  clean INTEGER NOT NULL DEFAULT 0,
  offline INTEGER NOT NULL DEFAULT 0) STRICT;
CREATE TABLE jobs(
  job_id INTEGER PRIMARY KEY CHECK (job_id BETWEEN 1 AND 4294967295),
  app_id INTEGER NOT NULL,
  copy_id INTEGER NOT NULL,
  start_time INTEGER NOT NULL,
  end_time INTEGER,
  status INTEGER) STRICT;
CREATE TABLE recopied(
  copy_id INTEGER NOT NULL,
  afile_id INTEGER NOT NULL,
  PRIMARY KEY (copy_id, afile_id)) STRICT, WITHOUT ROWID;
CREATE TABLE least_afiles(
  cldb_id INTEGER PRIMARY KEY,
  job_id INTEGER NOT NULL,
  afile_id INTEGER NOT NULL,
  report_time INTEGER NOT NULL) STRICT;
INSERT INTO meta VALUES ('next_job_id', 1), ('next_afile_id', 1);
)sql";

// The dirty flag of each client CLDB, one per client and copy (version 2).
const char kClientCldbs[] = R"sql(
CREATE TABLE client_cldbs(
  app_id INTEGER NOT NULL,
  copy_id INTEGER NOT NULL,
  dirty INTEGER NOT NULL,
  PRIMARY KEY (app_id, copy_id)) STRICT, WITHOUT ROWID;
)sql";

// Version 3: what jobs store and reference.
//  - jobs: the CLDB a job ran on (aux: an auxiliary copy's), its block size,
//    and whether it is live: restorable, its archive files valid. A job
//    that failed or died leaves the live set, a dropped one the table.
//  - afiles: an archive file outlives its job while its pack holds data a
//    live archive file needs (live 0: retired). One that references a block
//    no pack holds any more is broken: never valid again. A lost one (its
//    pack gone) of a live job is broken and holds no block; what it held
//    became references, which its job's tree still needs. pack_gen names
//    the pack file (garbage collection rewrites it under the next
//    generation), pack_end is the length of what is recorded of it.
//  - stored: where each block an archive file holds lies in its pack.
//  - refs: the blocks an archive file references through hits; with what
//    it stores, every block a CLDB record naming the file may answer for.
//  - entries: each job's tree (kind 0 folder, 1 file, 2 symbolic link);
//    data is a file's block digests in order, or a link's target.
const char kVersion3[] = R"sql(
ALTER TABLE jobs ADD COLUMN aux INTEGER NOT NULL DEFAULT 0;
ALTER TABLE jobs ADD COLUMN block_size INTEGER NOT NULL DEFAULT 0;
ALTER TABLE jobs ADD COLUMN live INTEGER NOT NULL DEFAULT 1;
CREATE TABLE afiles(
  afile_id INTEGER PRIMARY KEY CHECK (afile_id BETWEEN 1 AND 2147483647),
  job_id INTEGER NOT NULL,
  app_id INTEGER NOT NULL,
  copy_id INTEGER NOT NULL,
  create_time INTEGER NOT NULL,
  live INTEGER NOT NULL DEFAULT 1,
  broken INTEGER NOT NULL DEFAULT 0,
  lost INTEGER NOT NULL DEFAULT 0,
  pack_gen INTEGER NOT NULL DEFAULT 0,
  pack_end INTEGER NOT NULL DEFAULT 0,
  blocks INTEGER NOT NULL DEFAULT 0,
  bytes INTEGER NOT NULL DEFAULT 0) STRICT;
CREATE INDEX afiles_by_client ON afiles(app_id, copy_id, afile_id);
CREATE INDEX afiles_by_job ON afiles(job_id);
CREATE TABLE stored(
  digest BLOB NOT NULL,
  size INTEGER NOT NULL,
  afile_id INTEGER NOT NULL,
  offset INTEGER NOT NULL,
  length INTEGER NOT NULL,
  PRIMARY KEY (digest, size, afile_id)) STRICT, WITHOUT ROWID;
CREATE INDEX stored_by_afile ON stored(afile_id, offset);
CREATE TABLE refs(
  digest BLOB NOT NULL,
  size INTEGER NOT NULL,
  afile_id INTEGER NOT NULL,
  PRIMARY KEY (digest, size, afile_id)) STRICT, WITHOUT ROWID;
CREATE TABLE entries(
  job_id INTEGER NOT NULL,
  path BLOB NOT NULL,
  kind INTEGER NOT NULL,
  mode INTEGER NOT NULL,
  mtime INTEGER NOT NULL,
  size INTEGER NOT NULL,
  data BLOB NOT NULL,
  PRIMARY KEY (job_id, path)) STRICT, WITHOUT ROWID;
)sql";

// Version 4: the kind of each job, 0 a backup, 1 a prune.
const char kVersion4[] = R"sql(
ALTER TABLE jobs ADD COLUMN kind INTEGER NOT NULL DEFAULT 0;
PRAGMA user_version = 4;
)sql";

// Version 3 did not record a job's kind. A prune stores nothing and
// records no tree, so a job that did neither is taken for one: at worst a
// backup that failed before it stored anything shows as a prune.
const char kGuessPrunes[] = R"sql(
UPDATE jobs SET kind = 1 WHERE block_size = 0
  AND NOT EXISTS (SELECT 1 FROM afiles a WHERE a.job_id = jobs.job_id)
  AND NOT EXISTS (SELECT 1 FROM entries e WHERE e.job_id = jobs.job_id);
)sql";

// Version 1 kept one dirty flag per client, which a job of any copy cleared,
// and cleared no flag when archive files were dropped.
const char kMigrateFrom1[] = R"sql(
DROP TABLE clients;
UPDATE copies SET clean = 0;
)sql";

// Versions before 3 stored no block: their archive files can serve nothing,
// so every CLDB that may name one is recreated and no old job is restorable.
const char kMigrateFrom2[] = R"sql(
DROP TABLE afiles;
UPDATE client_cldbs SET dirty = 1;
UPDATE copies SET clean = 0;
)sql";
const char kRetireOldJobs[] = "UPDATE jobs SET live = 0;";

bool ExecScript(sqlite3* db, const std::string& sql, std::string& error) {
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  error = sqlite3_errmsg(db);
  return false;
}

bool QueryInt(sqlite3* db, const char* sql, int64_t& value, std::string& error) {
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(statement);
  if (rc == SQLITE_ROW) value = sqlite3_column_int64(statement, 0);
  if (rc != SQLITE_ROW) error = sqlite3_errmsg(db);
  sqlite3_finalize(statement);
  return rc == SQLITE_ROW;
}

bool CheckSchemaVersion(int64_t version, std::string& error) {
  if (version >= 0 && version <= kStorageSchemaVersion) return true;
  error = "schema version " + std::to_string(version) + " is not known to this program (it knows " +
          std::to_string(kStorageSchemaVersion) + "): the store was written by a newer version";
  return false;
}

unsigned long long RandomHubcellId() {
  std::random_device random;
  unsigned long long id = (static_cast<unsigned long long>(random()) << 32) | random();
  id &= LLONG_MAX;  // stored as a positive SQLite integer
  return id ? id : 1;
}

// Creates the schema in an empty database. Run inside the write transaction
// so that of several processes opening a new database only one creates it.
bool CreateSchema(sqlite3* db, std::string& error) {
  int64_t tables = 0;
  if (!QueryInt(db, "SELECT count(*) FROM sqlite_schema", tables, error)) return false;
  if (tables != 0) {
    error = "holds tables but no schema version: not a storage database";
    return false;
  }
  return ExecScript(db,
                    std::string(kBase) + kClientCldbs + kVersion3 + kVersion4 +
                        "INSERT INTO meta VALUES ('hubcell_id', " +
                        std::to_string(RandomHubcellId()) + ");",
                    error);
}

// Brings a database of an older schema to the current one; run inside the
// write transaction.
bool Migrate(sqlite3* db, int64_t version, std::string& error) {
  if (version == 0) return CreateSchema(db, error);
  std::string script;
  if (version == 1) script += std::string(kMigrateFrom1) + kClientCldbs;
  if (version <= 2) script += std::string(kMigrateFrom2) + kVersion3 + kRetireOldJobs;
  script += kVersion4;
  if (version == 3) script += kGuessPrunes;
  return ExecScript(db, script, error);
}

// Processes that open a new database together all switch it to WAL, and the
// switch reports a busy database at once instead of calling the busy
// handler; so it is retried for as long as the busy time-out allows.
bool EnableWal(sqlite3* db, unsigned int busyTimeoutMs, std::string& error) {
  sqlite3_stmt* mode = nullptr;
  bool wal =
      sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &mode, nullptr) == SQLITE_OK &&
      sqlite3_step(mode) == SQLITE_ROW &&
      sqlite3_stricmp(reinterpret_cast<const char*>(sqlite3_column_text(mode, 0)), "wal") == 0;
  sqlite3_finalize(mode);
  if (wal) return true;
  const int kPauseMs = 5;
  for (unsigned int waited = 0;; waited += kPauseMs) {
    int rc = sqlite3_exec(db, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) return true;
    if ((rc & 0xFF) != SQLITE_BUSY || waited >= busyTimeoutMs) {
      error = sqlite3_errmsg(db);
      return false;
    }
    sqlite3_sleep(kPauseMs);
  }
}

}  // namespace

// The version is checked before anything is written, so a newer database is
// left exactly as it was found. `synchronous` stays FULL: a committed id
// allocation or block record must survive a power loss.
bool SetUpSchema(sqlite3* db, unsigned int busyTimeoutMs, std::string& error) {
  int64_t version = 0;
  if (!QueryInt(db, "PRAGMA user_version", version, error) || !CheckSchemaVersion(version, error) ||
      !EnableWal(db, busyTimeoutMs, error) || !ExecScript(db, "PRAGMA foreign_keys = ON", error))
    return false;
  if (version == kStorageSchemaVersion) return true;
  // Another process may have set the database up since the first look.
  if (!ExecScript(db, "BEGIN IMMEDIATE", error)) return false;
  bool ok = QueryInt(db, "PRAGMA user_version", version, error) &&
            CheckSchemaVersion(version, error) &&
            (version == kStorageSchemaVersion || Migrate(db, version, error)) &&
            ExecScript(db, "COMMIT", error);
  if (!ok && !sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  return ok;
}

bool CheckCurrentSchema(sqlite3* db, std::string& error) {
  int64_t version = 0;
  if (!QueryInt(db, "PRAGMA user_version", version, error)) return false;
  if (version == kStorageSchemaVersion) return true;
  error = "schema version " + std::to_string(version) + " is not the current one (" +
          std::to_string(kStorageSchemaVersion) + ")";
  return false;
}

}  // namespace cldb
