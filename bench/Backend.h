// A store of cache records under benchmark. Up to four stand side by side on
// the same workload: the product path (CCacheTable on the TCtreeTable
// engine), the same layout written directly on LMDB (the ceiling of our
// engine), and SQLite with the same two indexes in two configurations: as a
// user would otherwise set it up, and tuned to favour it most.
//
// Each call is one transaction, as the CLDB runs a batch: Query and Insert
// take a batch of references, MarkExpired one archive file, CleanUp the whole
// set of expired records, SeekEachAfile one seek per archive file in id
// order (the pruning scan). The query rules are those of the cache table for
// a table without archive-file lists: same signature, size and tag-header
// count, not expired, last used within the expiry limit; a hit is refreshed
// and re-pointed at the query's archive file. Insert adds a record unless an
// equal live one exists, which it refreshes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cldb/CLDBTypes.h"

namespace bench {

// Settings of every backend: the signature type written into new records,
// the expiry limit; no age limit.
constexpr int kSigType = 1;
constexpr uint32_t kExpiryDays = 90;

class Backend {
 public:
  virtual ~Backend() = default;
  virtual const char* name() const = 0;

  // Creates an empty store in `folder` (which exists and is empty).
  virtual int Create(const std::string& folder) = 0;
  // The number of hits, or -1 on failure.
  virtual int Query(CacheRecordRef* refs, int count) = 0;
  virtual int Insert(CacheRecordRef* refs, int count) = 0;  // 0 or -1
  virtual int MarkExpired(uint32_t afileId) = 0;            // 0 or -1
  // The number of records deleted, or -1.
  virtual int64_t CleanUp() = 0;
  // The number of seeks made (archive files met), or -1.
  virtual int64_t SeekEachAfile() = 0;
  // Closes, compacts and reopens the store; 0 or -1.
  virtual int Compact() = 0;
  virtual int64_t RecordCount() = 0;
  // The store's files (lock files excepted).
  virtual std::vector<std::string> Files() const = 0;
  // Commits what the store's batches left pending (the engine shares one
  // commit among batches); 0 or -1. The benchmarks time it as part of their
  // own work, and make it untimed after untimed work.
  virtual int Flush() { return 0; }
  // The settings in effect once created, as the store reports them, for the
  // head of the report; empty where the backend has none to choose.
  virtual std::string Settings() const { return std::string(); }
};

std::unique_ptr<Backend> MakeCacheTableBackend();
std::unique_ptr<Backend> MakeLmdbBackend();
// `tuned`: no sync, a large page cache and a memory map ("SQLite-tuned");
// else WAL and SQLite's defaults for everything else ("SQLite").
std::unique_ptr<Backend> MakeSqliteBackend(bool tuned);

// The backends a run may hold, in the order it holds them, and the short
// tags that name their counters ("CCT/s", "SQLtuned_malloc/op", ...).
enum BackendKind { kCacheTable, kLmdb, kSqlite, kSqliteTuned };
constexpr const char* kBackendTags[] = {"CCT", "LMDB", "SQLite", "SQLtuned"};

// Bytes of a store's files on disk.
uint64_t DiskBytes(const Backend& backend);

// Drops a store's files from the page cache (their clean pages).
void EvictFromCache(const Backend& backend);

}  // namespace bench
