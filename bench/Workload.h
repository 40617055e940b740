// The deterministic workload that every backend of the benchmark runs.
//
// The table is loaded with `records` blocks whose signatures are drawn from
// one pseudo-random stream (splitmix64), a thousand per archive file: record
// i lies in archive file 1 + i / 1000, so an archive file's records are
// contiguous in insertion order, as a backup job writes them. Then:
//   - a miss asks for a signature of a second stream, never stored;
//   - a hit asks for a stored block of the upper half of the load and
//     re-points it at the simulated job's current archive file;
//   - an insert stores a new block of the first stream (index >= records);
//   - expiry takes the archive files of the lower half, from 1 upward, which
//     no hit ever touches: each holds exactly 1,000 live records.
// A job archive file is numbered after the loaded ones and takes one batch.
// A Progress records how far the workload has gone; the backends share one
// and get the very same batches.
#pragma once

#include <cstdint>

#include "cldb/CLDBTypes.h"

namespace bench {

constexpr int kBatchSize = 1000;  // operations per engine transaction
constexpr uint32_t kRecordsPerAfile = 1000;

struct Progress {
  uint64_t misses = 0;         // miss queries asked
  uint64_t hits = 0;           // hit queries asked
  uint64_t inserts = 0;        // blocks inserted after the load
  uint32_t jobAfiles = 0;      // archive files the simulated job has started
  uint32_t expiredAfiles = 0;  // archive files handed out for expiry
};

class Workload {
 public:
  // `records` is rounded up to whole archive files.
  explicit Workload(uint64_t records);

  uint64_t records() const { return records_; }
  uint32_t afiles() const { return afiles_; }
  uint64_t loadBatches() const { return records_ / kBatchSize; }

  // Each fills kBatchSize references; `now` is the archiving time they carry.
  void LoadBatch(uint64_t batch, uint32_t now, CacheRecordRef* out) const;
  void MissBatch(Progress& at, uint32_t now, CacheRecordRef* out) const;
  void HitBatch(Progress& at, uint32_t now, CacheRecordRef* out) const;
  void InsertBatch(Progress& at, uint32_t now, CacheRecordRef* out) const;

  // The next archive file to expire, 0 when the lower half is used up.
  uint32_t NextAfileToExpire(Progress& at) const;

  // Single blocks: loaded block `index` (an insert when index >= records())
  // and never-stored block `index`, pointed at `afileId`.
  void StoredBlock(uint64_t index, uint32_t now, uint32_t afileId, CacheRecordRef& out) const;
  void NeverStoredBlock(uint64_t index, uint32_t now, uint32_t afileId, CacheRecordRef& out) const;
  // The archive file that loading put block `index` in.
  static uint32_t LoadedAfileOf(uint64_t index) {
    return static_cast<uint32_t>(1 + index / kRecordsPerAfile);
  }

 private:
  uint32_t StartJobAfile(Progress& at) const { return afiles_ + ++at.jobAfiles; }

  uint64_t records_;
  uint32_t afiles_;
};

}  // namespace bench
