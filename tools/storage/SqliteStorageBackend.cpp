#include "storage/SqliteStorageBackend.h"

#include <sqlite3.h>

#include <algorithm>
#include <climits>
#include <random>
#include <type_traits>

#include "platform/Clock.h"
#include "storage/RootFolder.h"

namespace {

// Schema version 2, without the client CLDB flags. STRICT tables refuse a
// value of the wrong type, so a sum that overflowed into a floating-point
// value can never be stored.
const char kSchema[] = R"sql(
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
CREATE TABLE afiles(
  afile_id INTEGER PRIMARY KEY CHECK (afile_id BETWEEN 1 AND 2147483647),
  job_id INTEGER NOT NULL REFERENCES jobs(job_id),
  app_id INTEGER NOT NULL,
  copy_id INTEGER NOT NULL,
  create_time INTEGER NOT NULL,
  blocks INTEGER NOT NULL DEFAULT 0,
  bytes INTEGER NOT NULL DEFAULT 0) STRICT;
CREATE INDEX afiles_by_client ON afiles(app_id, copy_id, afile_id);
CREATE INDEX afiles_by_job ON afiles(job_id);
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
PRAGMA user_version = 2;
)sql";

// Version 1 kept one dirty flag per client, which a job of any copy cleared,
// and cleared no flag when archive files were dropped; none of its flags can
// be told from a wrong one. So every client CLDB starts dirty again and no
// auxiliary CLDB clean: each is recreated once (the store id the tool derives
// from this database since version 2 recreates them anyway).
const char kMigrateFrom1[] = R"sql(
DROP TABLE clients;
UPDATE copies SET clean = 0;
)sql";

const char kNextJobId[] = "next_job_id";
const char kNextAFileId[] = "next_afile_id";
const char kHubcellId[] = "hubcell_id";

// Columns of the kGetCopy row.
enum CopyColumn { kCopyName, kCopyClean, kCopyOffline };

// One use of a prepared statement: binds its arguments (integers and
// strings, in order), steps it, and resets it when it goes out of scope.
class Query {
 public:
  template <typename... Args>
  explicit Query(sqlite3_stmt* statement, const Args&... args) : statement_(statement) {
    int index = 0;
    (Bind(++index, args), ...);
  }
  ~Query() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step() { return bindStatus_ != SQLITE_OK ? bindStatus_ : sqlite3_step(statement_); }
  int64_t Int(int column) const { return sqlite3_column_int64(statement_, column); }
  bool IsNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
  std::string Text(int column) const {
    const unsigned char* text = sqlite3_column_text(statement_, column);
    return text ? reinterpret_cast<const char*>(text) : "";
  }

 private:
  template <typename T>
  void Bind(int index, const T& value) {
    int rc;
    if constexpr (std::is_integral_v<T>) {
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
  if (version >= 0 && version <= SqliteStorageBackend::kSchemaVersion) return true;
  error = "schema version " + std::to_string(version) + " is not known to this program (it knows " +
          std::to_string(SqliteStorageBackend::kSchemaVersion) + ")";
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
                    std::string(kSchema) + kClientCldbs + "INSERT INTO meta VALUES ('" +
                        kHubcellId + "', " + std::to_string(RandomHubcellId()) + ");",
                    error);
}

// Brings a database of an older schema to the current one; run inside the
// write transaction.
bool Migrate(sqlite3* db, int64_t version, std::string& error) {
  if (version == 0) return CreateSchema(db, error);
  return ExecScript(db, std::string(kMigrateFrom1) + kClientCldbs, error);
}

// Processes that open a new database together all switch it to WAL, and the
// switch reports a busy database at once instead of calling the busy
// handler; so it is retried for as long as the busy time-out allows.
bool EnableWal(sqlite3* db, unsigned int busyTimeoutMs, std::string& error) {
  sqlite3_stmt* mode = nullptr;
  bool wal = sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &mode, nullptr) == SQLITE_OK &&
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

// Brings a freshly opened connection to a usable database of the current
// schema. The version is checked before anything is written, so a newer
// database is left exactly as it was found, and a current one is not written
// at all. `synchronous` stays FULL: a committed id allocation must survive a
// power loss, or the id could be handed out again.
bool SetUpDatabase(sqlite3* db, unsigned int busyTimeoutMs, std::string& error) {
  int64_t version = 0;
  if (!QueryInt(db, "PRAGMA user_version", version, error) || !CheckSchemaVersion(version, error) ||
      !EnableWal(db, busyTimeoutMs, error) || !ExecScript(db, "PRAGMA foreign_keys = ON", error))
    return false;
  if (version == SqliteStorageBackend::kSchemaVersion) return true;
  // Another process may have set the database up since the first look.
  if (!ExecScript(db, "BEGIN IMMEDIATE", error)) return false;
  bool ok = QueryInt(db, "PRAGMA user_version", version, error) &&
            CheckSchemaVersion(version, error) &&
            (version == SqliteStorageBackend::kSchemaVersion || Migrate(db, version, error)) &&
            ExecScript(db, "COMMIT", error);
  if (!ok && !sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  return ok;
}

}  // namespace

enum SqliteStorageBackend::Statement : int {
  kBeginRead,
  kBeginWrite,
  kCommit,
  kRollback,
  kGetMeta,
  kSetMeta,
  kGetClientDirty,
  kSetClientDirty,
  kSetClientDirtyAllCopies,
  kListClientCopies,
  kGetCopy,
  kSetCopyName,
  kSetCopyClean,
  kSetCopyOffline,
  kListRecopied,
  kClearRecopied,
  kAddRecopied,
  kGetLeastAFile,
  kSetLeastAFile,
  kInsertJob,
  kGetJob,
  kEndJob,
  kListJobs,
  kDeleteJob,
  kInsertAFile,
  kGetAFileTotals,
  kSetAFileTotals,
  kListAFileIds,
  kListAFiles,
  kGetAFileOwner,
  kNewerAFileExists,
  kLeastJobAFile,
  kDeleteAFile,
  kDeleteJobAFiles,
  kStatementCount
};

namespace {

// Indexed by SqliteStorageBackend::Statement.
const char* const kStatementSql[] = {
    "BEGIN",
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
    "SELECT value FROM meta WHERE key = ?1",
    "UPDATE meta SET value = ?2 WHERE key = ?1",
    "SELECT dirty FROM client_cldbs WHERE app_id = ?1 AND copy_id = ?2",
    "INSERT INTO client_cldbs(app_id, copy_id, dirty) VALUES (?1, ?2, ?3)"
    " ON CONFLICT(app_id, copy_id) DO UPDATE SET dirty = excluded.dirty",
    "UPDATE client_cldbs SET dirty = ?2 WHERE app_id = ?1",
    "SELECT copy_id FROM client_cldbs WHERE app_id = ?1",
    "SELECT name, clean, offline FROM copies WHERE copy_id = ?1",
    "INSERT INTO copies(copy_id, name) VALUES (?1, nullif(?2, ''))"
    " ON CONFLICT(copy_id) DO UPDATE SET name = excluded.name",
    "INSERT INTO copies(copy_id, clean) VALUES (?1, ?2)"
    " ON CONFLICT(copy_id) DO UPDATE SET clean = excluded.clean",
    "INSERT INTO copies(copy_id, offline) VALUES (?1, ?2)"
    " ON CONFLICT(copy_id) DO UPDATE SET offline = excluded.offline",
    "SELECT afile_id FROM recopied WHERE copy_id = ?1 ORDER BY afile_id",
    "DELETE FROM recopied WHERE copy_id = ?1",
    "INSERT OR IGNORE INTO recopied(copy_id, afile_id) VALUES (?1, ?2)",
    "SELECT afile_id, job_id FROM least_afiles WHERE cldb_id = ?1",
    "INSERT INTO least_afiles(cldb_id, job_id, afile_id, report_time) VALUES (?1, ?2, ?3, ?4)"
    " ON CONFLICT(cldb_id) DO UPDATE SET job_id = excluded.job_id,"
    " afile_id = excluded.afile_id, report_time = excluded.report_time",
    "INSERT INTO jobs(job_id, app_id, copy_id, start_time) VALUES (?1, ?2, ?3, ?4)",
    "SELECT app_id, copy_id, end_time FROM jobs WHERE job_id = ?1",
    "UPDATE jobs SET end_time = ?2, status = ?3 WHERE job_id = ?1",
    "SELECT j.job_id, j.app_id, j.copy_id, j.start_time, j.end_time, j.status,"
    " count(a.afile_id), coalesce(sum(a.blocks), 0), coalesce(sum(a.bytes), 0)"
    " FROM jobs j LEFT JOIN afiles a ON a.job_id = j.job_id"
    " GROUP BY j.job_id ORDER BY j.job_id",
    "DELETE FROM jobs WHERE job_id = ?1",
    "INSERT INTO afiles(afile_id, job_id, app_id, copy_id, create_time)"
    " VALUES (?1, ?2, ?3, ?4, ?5)",
    "SELECT blocks, bytes FROM afiles WHERE afile_id = ?1",
    "UPDATE afiles SET blocks = ?2, bytes = ?3 WHERE afile_id = ?1",
    "SELECT afile_id FROM afiles WHERE app_id = ?1 AND copy_id = ?2 AND afile_id >= ?3"
    " ORDER BY afile_id",
    "SELECT afile_id, job_id, create_time, blocks, bytes FROM afiles"
    " WHERE app_id = ?1 AND copy_id = ?2 ORDER BY afile_id",
    "SELECT app_id, copy_id FROM afiles WHERE afile_id = ?1",
    "SELECT EXISTS (SELECT 1 FROM afiles WHERE app_id = ?1 AND copy_id = ?2 AND afile_id > ?3)",
    "SELECT min(afile_id) FROM afiles WHERE job_id = ?1",
    "DELETE FROM afiles WHERE afile_id = ?1",
    "DELETE FROM afiles WHERE job_id = ?1",
};

}  // namespace

// ---- opening and closing ---------------------------------------------------

std::unique_ptr<SqliteStorageBackend> SqliteStorageBackend::Open(const std::string& rootFolder,
                                                                 std::string& error) {
  return Open(rootFolder, Options(), error);
}

std::unique_ptr<SqliteStorageBackend> SqliteStorageBackend::Open(const std::string& rootFolder,
                                                                 const Options& options,
                                                                 std::string& error) {
  const std::string problem = cldb::MakePrivateFolders(rootFolder);
  if (!problem.empty()) {
    error = "cannot create folder " + rootFolder + ": " + problem;
    return nullptr;
  }
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2((rootFolder + "/" + kFileName).c_str(), &db,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX |
                               SQLITE_OPEN_NOFOLLOW,
                           nullptr);
  // The object owns the connection from here on, also when opening failed.
  std::unique_ptr<SqliteStorageBackend> backend(new SqliteStorageBackend(db, rootFolder));
  const std::string& path = backend->Path();
  if (rc == SQLITE_OK) {
    unsigned int timeoutMs = std::min<unsigned int>(options.busyTimeoutMs, INT_MAX);
    sqlite3_busy_timeout(db, static_cast<int>(timeoutMs));
    if (SetUpDatabase(db, timeoutMs, error) && backend->Prepare(error) &&
        backend->LoadHubcellId(error))
      return backend;
  } else {
    error = sqlite3_errmsg(db);
  }
  error = path + ": " + error;
  return nullptr;
}

SqliteStorageBackend::SqliteStorageBackend(sqlite3* db, std::string rootFolder)
    : db_(db),
      root_(std::move(rootFolder)),
      path_(root_ + "/" + kFileName),
      statements_(kStatementCount, nullptr) {}

SqliteStorageBackend::~SqliteStorageBackend() {
  for (sqlite3_stmt* statement : statements_) sqlite3_finalize(statement);
  sqlite3_close(db_);
}

bool SqliteStorageBackend::Prepare(std::string& error) {
  static_assert(sizeof(kStatementSql) / sizeof(kStatementSql[0]) == kStatementCount);
  for (int i = 0; i < kStatementCount; ++i) {
    if (sqlite3_prepare_v3(db_, kStatementSql[i], -1, SQLITE_PREPARE_PERSISTENT, &statements_[i],
                           nullptr) != SQLITE_OK) {
      error = sqlite3_errmsg(db_);
      return false;
    }
  }
  return true;
}

bool SqliteStorageBackend::LoadHubcellId(std::string& error) {
  Query query(Stmt(kGetMeta), kHubcellId);
  if (query.Step() != SQLITE_ROW) {
    error = "the installation-domain id is missing";
    return false;
  }
  hubcellId_ = static_cast<unsigned long long>(query.Int(0));
  return true;
}

// ---- helpers ---------------------------------------------------------------

int SqliteStorageBackend::Fail(const std::string& message) {
  lastError_ = message;
  return -1;
}

int SqliteStorageBackend::FailSqlite() { return Fail(sqlite3_errmsg(db_)); }

template <typename... Args>
int SqliteStorageBackend::Run(Statement statement, const Args&... args) {
  Query query(Stmt(statement), args...);
  return query.Step() == SQLITE_DONE ? 0 : FailSqlite();
}

template <typename Body>
int SqliteStorageBackend::Transaction(bool write, Body body) {
  if (Run(write ? kBeginWrite : kBeginRead) != 0) return -1;
  if (body() == 0 && Run(kCommit) == 0) return 0;
  // Some errors end the transaction by themselves; the rollback must not
  // replace the message of the failure that led here.
  if (!sqlite3_get_autocommit(db_)) Query(Stmt(kRollback)).Step();
  return -1;
}

int SqliteStorageBackend::AllocateId(const char* counter, const char* what, uint32_t limit,
                                     uint32_t& id) {
  int64_t next;
  {
    Query query(Stmt(kGetMeta), counter);
    int rc = query.Step();
    if (rc != SQLITE_ROW)
      return rc == SQLITE_DONE ? Fail(std::string(counter) + " is missing") : FailSqlite();
    next = query.Int(0);
  }
  if (next < 1 || next > limit) return Fail(std::string("no ") + what + " id is left");
  if (Run(kSetMeta, counter, next + 1) != 0) return -1;
  id = static_cast<uint32_t>(next);
  return 0;
}

int SqliteStorageBackend::GetJob(uint32_t jobId, uint32_t& appId, uint32_t& copyId, bool& ended) {
  Query query(Stmt(kGetJob), jobId);
  int rc = query.Step();
  if (rc == SQLITE_DONE) return Fail("no job " + std::to_string(jobId));
  if (rc != SQLITE_ROW) return FailSqlite();
  appId = static_cast<uint32_t>(query.Int(0));
  copyId = static_cast<uint32_t>(query.Int(1));
  ended = !query.IsNull(2);
  return 0;
}

int SqliteStorageBackend::GetRunningJob(uint32_t jobId, uint32_t& appId, uint32_t& copyId) {
  bool ended = false;
  if (GetJob(jobId, appId, copyId, ended) != 0) return -1;
  return ended ? Fail("job " + std::to_string(jobId) + " has ended") : 0;
}

// Locks of CLDBs of the root, held until destruction, taken so that no job
// uses those CLDBs while the storage side changes what they may trust.
class SqliteStorageBackend::CldbLocks {
 public:
  explicit CldbLocks(const std::string& root) : root_(root) {}

  // Takes the lock of the CLDB folder `name` too: 0 once held, kInUse when
  // a job holds it, -1 when its lock file cannot be used; `error` says why.
  int Take(const std::string& name, std::string& error) {
    locks_.push_back(std::make_unique<cldb::CldbFolderLock>(root_ + "/" + name));
    if (locks_.back()->TryLock()) return 0;
    error = locks_.back()->Error();
    if (!error.empty()) return -1;
    error = "the CLDB " + name + " is in use by a running job; try again once it has ended";
    return kInUse;
  }
  // The CLDBs that may reference the archive files of (appId, copyId): the
  // client's CLDB of that copy and the copy's auxiliary CLDB.
  int TakeReferencing(uint32_t appId, uint32_t copyId, std::string& error) {
    const int rc = Take(cldb::ClientCldbFolderName(appId, copyId), error);
    return rc != 0 ? rc : Take(cldb::AuxCldbFolderName(copyId), error);
  }

 private:
  const std::string root_;
  std::vector<std::unique_ptr<cldb::CldbFolderLock>> locks_;
};

int SqliteStorageBackend::CopyFlag(uint32_t copyId, int column, bool& value) {
  Query query(Stmt(kGetCopy), copyId);
  int rc = query.Step();
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return FailSqlite();
  value = rc == SQLITE_ROW && query.Int(column) != 0;
  return 0;
}

int SqliteStorageBackend::GetAFileOwner(uint32_t afileId, uint32_t& appId, uint32_t& copyId) {
  Query query(Stmt(kGetAFileOwner), afileId);
  int rc = query.Step();
  if (rc == SQLITE_DONE) return Fail("no archive file " + std::to_string(afileId));
  if (rc != SQLITE_ROW) return FailSqlite();
  appId = static_cast<uint32_t>(query.Int(0));
  copyId = static_cast<uint32_t>(query.Int(1));
  return 0;
}

int SqliteStorageBackend::ForgetReferencesTo(uint32_t appId, uint32_t copyId, uint32_t afileId) {
  if (Run(kSetCopyClean, copyId, 0) != 0) return -1;
  bool newer;
  {
    Query query(Stmt(kNewerAFileExists), appId, copyId, afileId);
    if (query.Step() != SQLITE_ROW) return FailSqlite();
    newer = query.Int(0) != 0;
  }
  return newer ? Run(kSetClientDirty, appId, copyId, 1) : 0;
}

std::string SqliteStorageBackend::LastError() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastError_;
}

// ---- StorageBackend --------------------------------------------------------

int SqliteStorageBackend::listAfileIdByAppId(const ListAfileIdByAppIdArgs_t& args,
                                             ListAfileIdByAppIdRet_t& ret) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<int> ids;
  bool offline = false;
  int rc = Transaction(false, [&] {
    Query query(Stmt(kListAFileIds), args.appId, args.copyId, args.oldestArchFileId);
    int step;
    // The schema keeps every id at or below kMaxArchiveFileId.
    while ((step = query.Step()) == SQLITE_ROW) ids.push_back(static_cast<int>(query.Int(0)));
    if (step != SQLITE_DONE) return FailSqlite();
    return CopyFlag(args.copyId, kCopyOffline, offline);
  });
  if (rc != 0) return rc;
  ret.afileIds = std::move(ids);
  ret.retFlags = offline ? unsigned{ZELA_ANY_MOUNTPATH_OFFLINE_FLAG} : 0u;
  return 0;
}

int SqliteStorageBackend::getAgroupCopyInfo(const GetAgroupCopyInfoArgs_t& args,
                                            GetAgroupCopyInfoRet_t& ret) {
  std::lock_guard<std::mutex> lock(mutex_);
  Query query(Stmt(kGetCopy), args.copyId);
  int rc = query.Step();
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return FailSqlite();
  bool named = rc == SQLITE_ROW && !query.IsNull(kCopyName);
  ret.copyName = named ? query.Text(kCopyName) : "Copy " + std::to_string(args.copyId);
  return 0;
}

int SqliteStorageBackend::isCopyClientCacheDBClean(unsigned int /*jobId*/, unsigned int copyId,
                                                   bool& clean) {
  std::lock_guard<std::mutex> lock(mutex_);
  return CopyFlag(copyId, kCopyClean, clean);
}

int SqliteStorageBackend::setCopyClientCacheDBClean(unsigned int /*jobId*/, unsigned int copyId) {
  return MarkCopyClean(copyId, true);
}

bool SqliteStorageBackend::setCachDBLastArchFileId(unsigned int cldbId, unsigned long long jobId,
                                                   unsigned int leastAFileId) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Run(kSetLeastAFile, cldbId, jobId, leastAFileId, ZelNow32()) == 0;
}

int SqliteStorageBackend::isClientCacheDBDirty(unsigned int appId, int& dirty) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_.jobId == 0 || running_.appId != appId) {
    dirty = 1;  // which copy's CLDB is meant is unknown
    return 0;
  }
  Query query(Stmt(kGetClientDirty), appId, running_.copyId);
  int rc = query.Step();
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return FailSqlite();
  // A CLDB never recreated by a job of this database is dirty.
  dirty = rc == SQLITE_ROW ? static_cast<int>(query.Int(0)) : 1;
  return 0;
}

int SqliteStorageBackend::setClientCacheDBDirty(unsigned int appId, int dirty) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (dirty == 1) return Run(kSetClientDirtyAllCopies, appId, 1);
  if (running_.jobId == 0 || running_.appId != appId)
    return Fail("no running job of client " + std::to_string(appId) +
                " tells which copy's CLDB is meant");
  return Run(kSetClientDirty, appId, running_.copyId, dirty);
}

int SqliteStorageBackend::connectMediaManager(int /*kind*/) { return 0; }

int SqliteStorageBackend::getAFsToRecopyForCopy(unsigned int copyId,
                                                std::vector<MMAFToRecopy>& list, int& flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<MMAFToRecopy> recopied;
  bool offline = false;
  int rc = Transaction(false, [&] {
    Query query(Stmt(kListRecopied), copyId);
    int step;
    while ((step = query.Step()) == SQLITE_ROW)
      recopied.push_back({static_cast<int>(query.Int(0)), copyId});
    if (step != SQLITE_DONE) return FailSqlite();
    return CopyFlag(copyId, kCopyOffline, offline);
  });
  if (rc != 0) return rc;
  list = std::move(recopied);
  flags = offline ? static_cast<int>(ZELA_ANY_MOUNTPATH_OFFLINE_FLAG) : 0;
  return 0;
}

unsigned long long SqliteStorageBackend::getHubcellId() { return hubcellId_; }

uint32_t SqliteStorageBackend::StoreId() const {
  const uint32_t folded = static_cast<uint32_t>(hubcellId_ ^ (hubcellId_ >> 32));
  return folded != 0 ? folded : 1;
}

// ---- jobs and archive files ------------------------------------------------

int SqliteStorageBackend::BeginJob(uint32_t appId, uint32_t copyId, uint32_t& jobId) {
  std::lock_guard<std::mutex> lock(mutex_);
  uint32_t id = 0;
  int rc = Transaction(true, [&] {
    if (AllocateId(kNextJobId, "job", UINT32_MAX, id) != 0) return -1;
    return Run(kInsertJob, id, appId, copyId, ZelNow32());
  });
  if (rc != 0) return rc;
  jobId = id;
  running_ = {id, appId, copyId};
  return 0;
}

int SqliteStorageBackend::NewArchiveFile(uint32_t appId, uint32_t copyId, uint32_t jobId,
                                         uint32_t& afileId) {
  std::lock_guard<std::mutex> lock(mutex_);
  uint32_t id = 0;
  int rc = Transaction(true, [&] {
    uint32_t jobAppId = 0, jobCopyId = 0;
    if (GetRunningJob(jobId, jobAppId, jobCopyId) != 0) return -1;
    if (jobAppId != appId || jobCopyId != copyId)
      return Fail("job " + std::to_string(jobId) + " belongs to client " +
                  std::to_string(jobAppId) + " and copy " + std::to_string(jobCopyId));
    if (AllocateId(kNextAFileId, "archive-file", kMaxArchiveFileId, id) != 0) return -1;
    return Run(kInsertAFile, id, jobId, appId, copyId, ZelNow32());
  });
  if (rc == 0) afileId = id;
  return rc;
}

int SqliteStorageBackend::AddToArchiveFile(uint32_t afileId, uint64_t blocks, uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Transaction(true, [&] {
    uint64_t totalBlocks, totalBytes;
    {
      Query query(Stmt(kGetAFileTotals), afileId);
      int rc = query.Step();
      if (rc == SQLITE_DONE) return Fail("no archive file " + std::to_string(afileId));
      if (rc != SQLITE_ROW) return FailSqlite();
      totalBlocks = static_cast<uint64_t>(query.Int(0));
      totalBytes = static_cast<uint64_t>(query.Int(1));
    }
    const uint64_t max = INT64_MAX;
    if (blocks > max - totalBlocks || bytes > max - totalBytes)
      return Fail("the totals of archive file " + std::to_string(afileId) + " would overflow");
    return Run(kSetAFileTotals, afileId, totalBlocks + blocks, totalBytes + bytes);
  });
}

int SqliteStorageBackend::EndJob(uint32_t jobId, int status) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int rc = Transaction(true, [&] {
    uint32_t appId = 0, copyId = 0;
    if (GetRunningJob(jobId, appId, copyId) != 0) return -1;
    return Run(kEndJob, jobId, ZelNow32(), status);
  });
  if (running_.jobId == jobId) running_ = {};
  return rc;
}

int SqliteStorageBackend::ListJobs(std::vector<JobInfo>& jobs) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<JobInfo> found;
  Query query(Stmt(kListJobs));
  int rc;
  while ((rc = query.Step()) == SQLITE_ROW) {
    JobInfo job;
    job.jobId = static_cast<uint32_t>(query.Int(0));
    job.appId = static_cast<uint32_t>(query.Int(1));
    job.copyId = static_cast<uint32_t>(query.Int(2));
    job.startTime = static_cast<uint32_t>(query.Int(3));
    job.ended = !query.IsNull(4);
    job.endTime = static_cast<uint32_t>(query.Int(4));
    job.status = static_cast<int>(query.Int(5));
    job.archiveFiles = static_cast<uint32_t>(query.Int(6));
    job.blocks = static_cast<uint64_t>(query.Int(7));
    job.bytes = static_cast<uint64_t>(query.Int(8));
    found.push_back(job);
  }
  if (rc != SQLITE_DONE) return FailSqlite();
  jobs = std::move(found);
  return 0;
}

int SqliteStorageBackend::ListArchiveFiles(uint32_t appId, uint32_t copyId,
                                           std::vector<ArchiveFileInfo>& files) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<ArchiveFileInfo> found;
  Query query(Stmt(kListAFiles), appId, copyId);
  int rc;
  while ((rc = query.Step()) == SQLITE_ROW) {
    ArchiveFileInfo file;
    file.afileId = static_cast<uint32_t>(query.Int(0));
    file.jobId = static_cast<uint32_t>(query.Int(1));
    file.appId = appId;
    file.copyId = copyId;
    file.createTime = static_cast<uint32_t>(query.Int(2));
    file.blocks = static_cast<uint64_t>(query.Int(3));
    file.bytes = static_cast<uint64_t>(query.Int(4));
    found.push_back(file);
  }
  if (rc != SQLITE_DONE) return FailSqlite();
  files = std::move(found);
  return 0;
}

// A file's client and copy never change, so they are read before its CLDBs
// are locked; what is dropped is read again inside the transaction.
int SqliteStorageBackend::DropArchiveFile(uint32_t afileId) {
  std::lock_guard<std::mutex> lock(mutex_);
  uint32_t appId = 0, copyId = 0;
  if (GetAFileOwner(afileId, appId, copyId) != 0) return -1;
  CldbLocks cldbs(root_);
  const int locked = cldbs.TakeReferencing(appId, copyId, lastError_);
  if (locked != 0) return locked;
  return Transaction(true, [&] {
    if (Run(kDeleteAFile, afileId) != 0) return -1;
    if (sqlite3_changes(db_) == 0) return Fail("no archive file " + std::to_string(afileId));
    return ForgetReferencesTo(appId, copyId, afileId);
  });
}

int SqliteStorageBackend::DropJob(uint32_t jobId) {
  std::lock_guard<std::mutex> lock(mutex_);
  uint32_t appId = 0, copyId = 0;
  bool ended = false;
  if (GetJob(jobId, appId, copyId, ended) != 0) return -1;
  CldbLocks cldbs(root_);
  const int locked = cldbs.TakeReferencing(appId, copyId, lastError_);
  if (locked != 0) return locked;
  return Transaction(true, [&] {
    int64_t least = 0;  // 0: the job holds no archive file
    {
      Query query(Stmt(kLeastJobAFile), jobId);
      if (query.Step() != SQLITE_ROW) return FailSqlite();
      least = query.Int(0);
    }
    if (Run(kDeleteJobAFiles, jobId) != 0 || Run(kDeleteJob, jobId) != 0) return -1;
    if (sqlite3_changes(db_) == 0) return Fail("no job " + std::to_string(jobId));
    return least == 0 ? 0 : ForgetReferencesTo(appId, copyId, static_cast<uint32_t>(least));
  });
}

// ---- copies and clients ----------------------------------------------------

int SqliteStorageBackend::SetMountPathOffline(uint32_t copyId, bool offline) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Run(kSetCopyOffline, copyId, offline);
}

int SqliteStorageBackend::SetCopyName(uint32_t copyId, const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Run(kSetCopyName, copyId, name);
}

int SqliteStorageBackend::SetRecopied(uint32_t copyId, const std::vector<uint32_t>& afileIds) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (uint32_t id : afileIds) {
    if (id == 0 || id > kMaxArchiveFileId)
      return Fail("archive-file id " + std::to_string(id) + " is out of range");
  }
  return Transaction(true, [&] {
    if (Run(kClearRecopied, copyId) != 0) return -1;
    for (uint32_t id : afileIds) {
      if (Run(kAddRecopied, copyId, id) != 0) return -1;
    }
    return 0;
  });
}

// A copy without a flag is dirty already, so only the CLDBs of the copies
// with one are locked.
int SqliteStorageBackend::MarkClientDirty(uint32_t appId, bool dirty) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<uint32_t> copies;
  {
    Query query(Stmt(kListClientCopies), appId);
    int rc;
    while ((rc = query.Step()) == SQLITE_ROW) copies.push_back(static_cast<uint32_t>(query.Int(0)));
    if (rc != SQLITE_DONE) return FailSqlite();
  }
  CldbLocks cldbs(root_);
  for (uint32_t copyId : copies) {
    const int locked = cldbs.Take(cldb::ClientCldbFolderName(appId, copyId), lastError_);
    if (locked != 0) return locked;
  }
  return Run(kSetClientDirtyAllCopies, appId, dirty ? 1 : 0);
}

int SqliteStorageBackend::MarkCopyClean(uint32_t copyId, bool clean) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Run(kSetCopyClean, copyId, clean);
}

int SqliteStorageBackend::GetLastArchFileId(uint32_t cldbId, bool& known, uint32_t& leastAFileId,
                                            uint64_t& jobId) {
  std::lock_guard<std::mutex> lock(mutex_);
  Query query(Stmt(kGetLeastAFile), cldbId);
  int rc = query.Step();
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return FailSqlite();
  known = rc == SQLITE_ROW;
  if (known) {
    leastAFileId = static_cast<uint32_t>(query.Int(0));
    jobId = static_cast<uint64_t>(query.Int(1));
  }
  return 0;
}
