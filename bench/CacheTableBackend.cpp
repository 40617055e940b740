// The product path: CCacheTable on the TCtreeTable engine, each call in one
// engine batch, exactly as CCLDBTables drives it (minus the instance lock).
#include <atomic>
#include <cstdint>

#include "Backend.h"
#include "cldb/CacheTable.h"
#include "platform/EvDebug.h"

namespace bench {
namespace {

class CacheTableBackend : public Backend {
 public:
  CacheTableBackend() {
    // Clean-up milestones are logged at level -1; keep them off the report.
    // A failure still shows: the benchmark checks every result.
    log_.SetThreshold(-2);
  }
  ~CacheTableBackend() override { table_.close(); }

  const char* name() const override { return "CCacheTable"; }

  int Create(const std::string& folder) override {
    table_.Initialize(1, kSigType, &log_, 0, kExpiryDays, 0, false);
    if (table_.initialize((folder + "/CacheTable").c_str()) != 0) return -1;
    return table_.create() == 0 ? 0 : -1;
  }

  int Query(CacheRecordRef* refs, int count) override {
    cldb::TCtreeBatch batch(table_);
    int hits = 0;
    for (int i = 0; i < count; ++i) hits += table_.QuerySignature(refs[i]) == 0;
    return batch.Commit() == 0 ? hits : -1;
  }

  int Insert(CacheRecordRef* refs, int count) override {
    cldb::TCtreeBatch batch(table_);
    for (int i = 0; i < count; ++i)
      if (table_.AddCacheRecord(refs[i], 0) != 0) return -1;
    return batch.Commit() == 0 ? 0 : -1;
  }

  int MarkExpired(uint32_t afileId) override {
    cldb::TCtreeBatch batch(table_);
    if (table_.MarkRecordsExpired(afileId) != 0) return -1;
    return batch.Commit() == 0 ? 0 : -1;
  }

  int64_t CleanUp() override {
    const int64_t before = table_.getRecordCount();
    cldb::TCtreeBatch batch(table_);
    const std::atomic<bool> quit{false};
    if (table_.CleanUpExpiredSignatures(quit) != 0 || batch.Commit() != 0) return -1;
    return before - table_.getRecordCount();
  }

  // The scan of the pruning pass: after the first record of an archive file
  // the next seek goes straight to the following id.
  int64_t SeekEachAfile() override {
    cldb::TCtreeBatch batch(table_);
    int64_t seeks = 0;
    int rc = 0;
    for (uint32_t id = 1; (rc = table_.FindFirstRecordByAfileId(id)) == 0;) {
      ++seeks;
      const uint32_t found = table_.getRecordPointer()->archiveFileId;
      if (found == UINT32_MAX) break;
      id = found + 1;
    }
    return rc != -2 && batch.Commit() == 0 ? seeks : -1;
  }

  int Compact() override {
    if (table_.close() != 0 || table_.MakeCompactDB() != 0) return -1;
    return table_.Open(ZelIndexing::kReadWrite) == 0 ? 0 : -1;
  }

  int64_t RecordCount() override { return table_.getRecordCount(); }

  int Flush() override { return table_.CommitPending() == 0 ? 0 : -1; }

  std::vector<std::string> Files() const override { return {table_.dataFileName()}; }

 private:
  EvDebug log_;
  CCacheTable table_;
};

}  // namespace

std::unique_ptr<Backend> MakeCacheTableBackend() { return std::make_unique<CacheTableBackend>(); }

}  // namespace bench
