// What a user would otherwise pick: SQLite, one table with the record's
// twelve columns (the signature as a BLOB), an index on crc64 and one on
// archiveFileId, prepared statements, one transaction per call.
//
// Two configurations. "SQLite", the reference: WAL and SQLite's own defaults
// for everything else (its compiled-in synchronous level, the 2 MiB page
// cache, no memory map), the choice a user would make. "SQLite-tuned", what
// favours SQLite most while matching our engine's durability:
// synchronous=OFF (LMDB runs without sync until close), a 64 MiB page cache
// and 1 GiB of memory mapping, so that reading a file that sits in the OS
// cache costs no system call, as with LMDB's map.
//
// A query walks the rows of its crc64 in rowid (insertion) order and applies
// the cache table's rules in memory; expiry and clean-up are single UPDATE
// and DELETE statements, as a user would write them.
#include <sqlite3.h>

#include <cstring>
#include <iterator>

#include "Backend.h"
#include "CacheRules.h"

namespace bench {
namespace {

const char* const kReference = "PRAGMA journal_mode=WAL;";
const char* const kTuned =
    "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF; PRAGMA cache_size=-65536;"
    " PRAGMA mmap_size=1073741824;";
const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS cache(Spare INTEGER, tagHdrCount INTEGER, crc64 INTEGER,"
    " Signature BLOB, size INTEGER, archiveFileId INTEGER, ArchivingTime INTEGER,"
    " LastUpdateTime INTEGER, InsertedTime INTEGER, Flags INTEGER, subStoreID INTEGER,"
    " reserved2 INTEGER);"
    "CREATE INDEX IF NOT EXISTS cache_crc64 ON cache(crc64);"
    "CREATE INDEX IF NOT EXISTS cache_afile ON cache(archiveFileId);";

// The settings shown in the report, read back from SQLite.
const char* const kReportedPragmas[] = {"journal_mode", "synchronous", "cache_size", "mmap_size"};
const char* const kSyncLevels[] = {"OFF", "NORMAL", "FULL", "EXTRA"};

// The statements, in the order of Statement's members.
const char* const kStatementText[] = {
    "BEGIN",
    "COMMIT",
    "ROLLBACK",
    "SELECT rowid, * FROM cache WHERE crc64 = ?1",
    "UPDATE cache SET LastUpdateTime = ?1, archiveFileId = ?2 WHERE rowid = ?3",
    "INSERT INTO cache VALUES (0, ?1, ?2, ?3, ?4, ?5, ?6, ?7, ?7, ?8, ?9, 0)",
    "UPDATE cache SET Flags = Flags | 64, crc64 = 0 WHERE archiveFileId = ?1 AND (Flags & 64) = 0",
    "DELETE FROM cache WHERE crc64 = 0 AND (Flags & 64) <> 0",
    "SELECT rowid, * FROM cache WHERE archiveFileId >= ?1 ORDER BY archiveFileId LIMIT 1",
    "SELECT count(*) FROM cache",
};
enum Statement {
  kBegin,
  kCommit,
  kRollback,
  kByCrc,
  kRepoint,
  kInsert,
  kMark,
  kCleanUp,
  kSeek,
  kCount,
  kStatementCount
};

// Column i + 1 of a "SELECT rowid, *" row is field i of the record.
void ReadRecord(sqlite3_stmt* row, _CacheRecord& rec) {
  auto u32 = [row](int field) {
    return static_cast<uint32_t>(sqlite3_column_int64(row, field + 1));
  };
  auto u64 = [row](int field) {
    return static_cast<uint64_t>(sqlite3_column_int64(row, field + 1));
  };
  rec.Spare = u32(0);
  rec.tagHdrCount = u32(1);
  rec.crc64 = u64(2);
  const void* signature = sqlite3_column_blob(row, 4);
  if (signature && sqlite3_column_bytes(row, 4) == sizeof(rec.Signature))
    memcpy(rec.Signature, signature, sizeof(rec.Signature));
  else
    memset(rec.Signature, 0, sizeof(rec.Signature));
  rec.size = u64(4);
  rec.archiveFileId = u32(5);
  rec.ArchivingTime = u32(6);
  rec.LastUpdateTime = u32(7);
  rec.InsertedTime = u32(8);
  rec.Flags = u32(9);
  rec.subStoreID = static_cast<int32_t>(u32(10));
  rec.reserved2 = u64(11);
}

class SqliteBackend : public Backend {
 public:
  explicit SqliteBackend(bool tuned) : tuned_(tuned) {}
  ~SqliteBackend() override {
    for (sqlite3_stmt* s : stmt_) sqlite3_finalize(s);
    sqlite3_close(db_);
  }

  const char* name() const override { return tuned_ ? "SQLite-tuned" : "SQLite"; }

  int Create(const std::string& folder) override {
    path_ = folder + "/cache.db";
    if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
            SQLITE_OK ||
        sqlite3_exec(db_, tuned_ ? kTuned : kReference, nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK)
      return -1;
    for (int i = 0; i < kStatementCount; ++i)
      if (sqlite3_prepare_v3(db_, kStatementText[i], -1, SQLITE_PREPARE_PERSISTENT, &stmt_[i],
                             nullptr) != SQLITE_OK)
        return -1;
    return 0;
  }

  int Query(CacheRecordRef* refs, int count) override {
    if (Run(kBegin) != SQLITE_DONE) return -1;
    int hits = 0;
    for (int i = 0; i < count; ++i) {
      const int hit = QueryOne(refs[i]);
      if (hit < 0) return Rollback();
      hits += hit;
    }
    return Run(kCommit) == SQLITE_DONE ? hits : Rollback();
  }

  int Insert(CacheRecordRef* refs, int count) override {
    if (Run(kBegin) != SQLITE_DONE) return -1;
    for (int i = 0; i < count; ++i)
      if (InsertOne(refs[i]) != 0) return Rollback();
    return Run(kCommit) == SQLITE_DONE ? 0 : Rollback();
  }

  int MarkExpired(uint32_t afileId) override {
    sqlite3_bind_int64(stmt_[kMark], 1, afileId);
    return InTransaction(kMark) < 0 ? -1 : 0;
  }

  int64_t CleanUp() override { return InTransaction(kCleanUp); }

  int64_t SeekEachAfile() override {
    if (Run(kBegin) != SQLITE_DONE) return -1;
    sqlite3_stmt* seek = stmt_[kSeek];
    int64_t seeks = 0;
    int rc = SQLITE_ROW;
    for (uint32_t id = 1; rc == SQLITE_ROW;) {
      sqlite3_bind_int64(seek, 1, id);
      if ((rc = sqlite3_step(seek)) != SQLITE_ROW) break;
      _CacheRecord rec;
      ReadRecord(seek, rec);
      sqlite3_reset(seek);
      ++seeks;
      if (rec.archiveFileId == UINT32_MAX) break;
      id = rec.archiveFileId + 1;
    }
    sqlite3_reset(seek);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) return Rollback();
    return Run(kCommit) == SQLITE_DONE ? seeks : Rollback();
  }

  // VACUUM rebuilds the file; the checkpoint empties the WAL into it.
  int Compact() override {
    return sqlite3_exec(db_, "VACUUM; PRAGMA wal_checkpoint(TRUNCATE);", nullptr, nullptr,
                        nullptr) == SQLITE_OK
               ? 0
               : -1;
  }

  int64_t RecordCount() override {
    if (sqlite3_step(stmt_[kCount]) != SQLITE_ROW) return -1;
    const int64_t count = sqlite3_column_int64(stmt_[kCount], 0);
    sqlite3_reset(stmt_[kCount]);
    return count;
  }

  std::vector<std::string> Files() const override { return {path_, path_ + "-wal"}; }

  // "journal_mode=wal synchronous=2 (FULL) ...".
  std::string Settings() const override {
    std::string text;
    for (const char* pragma : kReportedPragmas) {
      const std::string value = Pragma(pragma);
      text += (text.empty() ? "" : " ") + std::string(pragma) + "=" + value;
      if (strcmp(pragma, "synchronous") == 0) text += SyncLevelName(value);
    }
    return text;
  }

 private:
  // Steps a statement that returns no row and resets it.
  int Run(Statement which) {
    const int rc = sqlite3_step(stmt_[which]);
    sqlite3_reset(stmt_[which]);
    return rc;
  }

  // The value SQLite reports for `pragma`, or "?".
  std::string Pragma(const char* pragma) const {
    const std::string query = std::string("PRAGMA ") + pragma;
    sqlite3_stmt* stmt = nullptr;
    const unsigned char* text = nullptr;
    if (sqlite3_prepare_v2(db_, query.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
      text = sqlite3_column_text(stmt, 0);
    const std::string value = text ? reinterpret_cast<const char*>(text) : "?";
    sqlite3_finalize(stmt);
    return value;
  }

  static std::string SyncLevelName(const std::string& level) {
    for (size_t i = 0; i < std::size(kSyncLevels); ++i)
      if (level == std::to_string(i)) return std::string(" (") + kSyncLevels[i] + ")";
    return std::string();
  }

  int Rollback() {
    Run(kRollback);
    return -1;
  }

  // One bound change statement in a transaction of its own: rows changed.
  int64_t InTransaction(Statement which) {
    if (Run(kBegin) != SQLITE_DONE) return -1;
    if (Run(which) != SQLITE_DONE) return Rollback();
    const int64_t changed = sqlite3_changes64(db_);
    return Run(kCommit) == SQLITE_DONE ? changed : Rollback();
  }

  // Walks the rows of crc64 `crc` in rowid order for the first record that
  // `matches`, left in *rec: 1 when found (*rowid set), 0 when none
  // matches, -1 on failure.
  template <typename Match>
  int FindRecord(uint64_t crc, Match matches, sqlite3_int64* rowid, _CacheRecord* rec) {
    sqlite3_stmt* byCrc = stmt_[kByCrc];
    sqlite3_bind_int64(byCrc, 1, static_cast<sqlite3_int64>(crc));
    int rc;
    while ((rc = sqlite3_step(byCrc)) == SQLITE_ROW) {
      ReadRecord(byCrc, *rec);
      if (!matches(*rec)) continue;
      *rowid = sqlite3_column_int64(byCrc, 0);
      sqlite3_reset(byCrc);
      return 1;
    }
    sqlite3_reset(byCrc);
    return rc == SQLITE_DONE ? 0 : -1;
  }

  // Sets a row's LastUpdateTime and archiveFileId.
  int Repoint(sqlite3_int64 rowid, uint32_t now, uint32_t archiveFileId) {
    sqlite3_stmt* repoint = stmt_[kRepoint];
    sqlite3_bind_int64(repoint, 1, now);
    sqlite3_bind_int64(repoint, 2, archiveFileId);
    sqlite3_bind_int64(repoint, 3, rowid);
    return Run(kRepoint) == SQLITE_DONE ? 0 : -1;
  }

  // 1 on a hit (refreshed and re-pointed), 0 on a miss, -1 on failure.
  int QueryOne(const CacheRecordRef& ref) {
    sqlite3_int64 rowid;
    _CacheRecord rec;
    const auto isHit = [&](const _CacheRecord& r) { return IsHit(r, ref); };
    const int rc = FindRecord(KeyOf(ref.Signature), isHit, &rowid, &rec);
    if (rc <= 0) return rc;
    return Repoint(rowid, Now(), ref.archiveFileId) == 0 ? 1 : -1;
  }

  // 0, or -1 on failure. An equal live record is refreshed instead.
  int InsertOne(const CacheRecordRef& ref) {
    const uint32_t now = Now();
    const uint64_t crc = KeyOf(ref.Signature);
    sqlite3_int64 rowid;
    _CacheRecord rec;
    const auto isEqual = [&](const _CacheRecord& r) { return IsEqual(r, ref); };
    const int rc = FindRecord(crc, isEqual, &rowid, &rec);
    if (rc < 0) return -1;
    if (rc == 0) return Add(NewRecord(ref, crc, now));
    return Repoint(rowid, now, rec.archiveFileId);
  }

  int Add(const _CacheRecord& rec) {
    sqlite3_stmt* insert = stmt_[kInsert];
    sqlite3_bind_int64(insert, 1, rec.tagHdrCount);
    sqlite3_bind_int64(insert, 2, static_cast<sqlite3_int64>(rec.crc64));
    sqlite3_bind_blob(insert, 3, rec.Signature, sizeof(rec.Signature), SQLITE_STATIC);
    sqlite3_bind_int64(insert, 4, static_cast<sqlite3_int64>(rec.size));
    sqlite3_bind_int64(insert, 5, rec.archiveFileId);
    sqlite3_bind_int64(insert, 6, rec.ArchivingTime);
    sqlite3_bind_int64(insert, 7, rec.LastUpdateTime);
    sqlite3_bind_int64(insert, 8, rec.Flags);
    sqlite3_bind_int64(insert, 9, rec.subStoreID);
    return Run(kInsert) == SQLITE_DONE ? 0 : -1;
  }

  const bool tuned_;
  std::string path_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* stmt_[kStatementCount] = {};
};

}  // namespace

std::unique_ptr<Backend> MakeSqliteBackend(bool tuned) {
  return std::make_unique<SqliteBackend>(tuned);
}

}  // namespace bench
