// BackupJob: one backup of real files against a CLDB, as a deduplicating
// backup client runs it.
//
// The hashing pipeline signs the blocks of the files on threads of its own;
// the job thread gathers the signatures into batches and asks the CLDB about
// each batch at once. A hit needs no data sent: the CLDB re-points its
// record at the job's current archive file. Each miss is stored into that
// archive file on the storage side first and inserted into the CLDB after,
// so a record never names data that was not stored. Identical blocks that
// miss within one batch are stored and inserted once; the repeats count as
// hits on the copy being stored. At its start the job prunes the CLDB of
// records the storage side no longer vouches for, while the first blocks
// are being hashed.
//
// When the storage side reports a mount path of the copy offline, the job
// neither queries nor inserts: every block is stored.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "CldbIdentity.h"
#include "Console.h"
#include "HashPipeline.h"
#include "JobCounters.h"
#include "JobSession.h"
#include "Outcome.h"
#include "ToolRoot.h"
#include "cldb/CLDBTypes.h"

// Blocks per CLDB query at most. A batch costs about 320 bytes per block in
// the job thread and eight batches of signatures (68 bytes each) may wait
// for it, so this keeps the job's own memory near 50 MiB at most.
constexpr unsigned kMaxBatch = 65536;

struct BackupOptions {
  CldbIdentity identity;
  JobSettings settings;
  std::vector<std::string> paths;
  uint32_t blockSize = 128 * 1024;
  unsigned batch = 1024;
  unsigned threads = 0;                   // 0: one per processor
  uint64_t archiveFileSize = 4ull << 30;  // stored bytes after which a new archive file starts
  bool showProgress = false;
};

struct BackupResult {
  bool ran = false;  // the job started, so the other fields mean something
  uint64_t files = 0;
  uint64_t unreadable = 0;
  uint64_t skipped = 0;
  uint64_t bytes = 0;
  uint64_t blocks = 0;
  uint64_t hits = 0;
  uint64_t misses = 0;
  uint64_t bytesNotSent = 0;
  uint64_t bytesStored = 0;
  double seconds = 0;
  uint32_t jobId = 0;
  std::vector<uint32_t> archiveFiles;
  std::string cldbFolder;
  bool offline = false;
  cldb::RecreateReason recreated = cldb::RecreateReason::kNone;
  bool interrupted = false;
  _stCLDBStates stats;
};

class BackupJob {
 public:
  BackupJob(ToolRoot& root, const BackupOptions& options, Console& console);
  Outcome Run(BackupResult& result);

 private:
  struct DigestHash {
    size_t operator()(const BlockSignature* block) const;
  };
  struct SameBlock {
    bool operator()(const BlockSignature* a, const BlockSignature* b) const;
  };

  // Hashes the files and answers their blocks until all are done, the user
  // interrupts, or the CLDB or the storage side fails.
  Outcome Stream(bool& interrupted);
  // The query and insert loop of Stream.
  Outcome Drain(HashPipeline& pipeline, bool& interrupted);
  void Collect(BackupResult& result) const;
  Outcome ProcessBatch(const BlockSignature* blocks, size_t count);
  Outcome Query(const BlockSignature* blocks, size_t count);
  Outcome StoreMisses(uint64_t bytes);
  void Fill(CacheRecordRef& record, const BlockSignature& block) const;

  ToolRoot& root_;
  const BackupOptions options_;
  Console& console_;
  JobSession session_;
  JobCounters counters_;
  uint32_t afile_ = 0;
  uint64_t afileBytes_ = 0;
  uint64_t skipped_ = 0;
  // Reused from batch to batch.
  std::vector<CLDBQuerySignature> queries_;
  std::vector<CacheRecordRef> inserts_;
  std::unordered_set<const BlockSignature*, DigestHash, SameBlock> missed_;
};
