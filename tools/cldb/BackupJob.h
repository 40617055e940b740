// BackupJob: one backup of real files against a CLDB, as a deduplicating
// backup client runs it.
//
// The hashing pipeline reads and signs the blocks on threads of its own;
// the job thread gathers them into batches and asks the CLDB about each
// batch at once. A hit is sent to the storage side as a reference; the CLDB
// has re-pointed its record at the job's current archive file. Each miss is
// stored into that archive file first (written and synced, then recorded)
// and inserted into the CLDB after, so a record never names data that was
// not stored. Identical blocks that miss within one batch are stored once;
// the repeats reference the copy being stored. A reference that the storage
// side cannot resolve is a false hit: its block is stored instead and
// counted. The job's tree (files with their blocks, folders, links) is
// recorded as its entries complete. At its start the job prunes the CLDB of
// records the storage side no longer vouches for, while the first blocks
// are being hashed.
//
// When the storage side reports a mount path of the copy offline, the job
// neither queries nor inserts: every block is stored.
//
// A dry run reads and signs the same blocks and looks each up in the CLDB
// read-only (CldbLookup); it begins no job and stores, inserts and records
// nothing. A block found, or met before in the same run, counts as a hit;
// the others as misses: what the job would store.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "CldbIdentity.h"
#include "CldbLookup.h"
#include "Console.h"
#include "HashPipeline.h"
#include "JobCounters.h"
#include "JobSession.h"
#include "Outcome.h"
#include "Progress.h"
#include "ToolRoot.h"
#include "TreeBuilder.h"
#include "cldb/CLDBTypes.h"
#include "storage/JobWriter.h"

// Blocks per CLDB query at most. A batch costs about 320 bytes per block in
// the job thread besides its data.
constexpr unsigned kMaxBatch = 65536;

struct BackupOptions {
  CldbIdentity identity;
  JobSettings settings;
  std::vector<std::string> paths;
  uint32_t blockSize = 128 * 1024;
  unsigned batch = 1024;
  unsigned threads = 0;                   // 0: one per processor
  uint64_t archiveFileSize = 4ull << 30;  // stored bytes after which a new archive file starts
  TreeWalker::Rules walk;
  std::vector<std::string> excludeFiles;  // more patterns, one per line
  uint64_t missingPaths = 0;              // named paths that were not there, counted as unreadable
  bool dryRun = false;
  ProgressStyle progress = ProgressStyle::kNone;
};

struct BackupResult {
  bool ran = false;  // the job started, so the other fields mean something
  uint64_t files = 0;
  uint64_t unreadable = 0;
  uint64_t skipped = 0;
  uint64_t excluded = 0;
  uint64_t bytes = 0;
  uint64_t blocks = 0;
  uint64_t hits = 0;
  uint64_t misses = 0;
  uint64_t falseHits = 0;
  uint64_t bytesNotSent = 0;
  uint64_t bytesStored = 0;
  uint64_t bytesWritten = 0;  // into pack files, after compression, headers included
  double seconds = 0;
  uint32_t jobId = 0;
  std::vector<uint32_t> archiveFiles;
  std::string cldbFolder;
  bool offline = false;
  cldb::RecreateReason recreated = cldb::RecreateReason::kNone;
  bool interrupted = false;
  bool dryRun = false;
  std::string dryRunNote;  // why a dry run answered every block as a miss; "" when it asked
  _stCLDBStates stats;
};

class BackupJob {
 public:
  BackupJob(ToolRoot& root, const BackupOptions& options, Console& console);
  // A dry run against the CLDB of the root folder `rootFolder`, which need
  // not exist.
  BackupJob(const std::string& rootFolder, const BackupOptions& options, Console& console);
  Outcome Run(BackupResult& result);

 private:
  struct DigestHash {
    size_t operator()(const BlockSignature* block) const;
  };
  struct SameBlock {
    bool operator()(const BlockSignature* a, const BlockSignature* b) const;
  };
  // A Piece the job holds until its blocks are recorded.
  struct Held {
    std::unique_ptr<Piece> piece;
    size_t recorded = 0;  // of its blocks
  };
  // One block of a batch.
  struct Item {
    const BlockSignature* signature;
    const unsigned char* data;
  };

  Outcome RunJob(BackupResult& result);
  Outcome RunDry(BackupResult& result);
  // The outcome of a run that ended without failure.
  Outcome Ended(const BackupResult& result) const;
  // Hashes the files and answers their blocks until all are done, the user
  // interrupts, or the CLDB or the storage side fails.
  Outcome Stream(bool& interrupted);
  // The query and store loop of Stream.
  Outcome Drain(HashPipeline& pipeline, bool& interrupted);
  void Hold(std::unique_ptr<Piece> piece);
  // Answers and stores the next `count` blocks held, then settles the
  // Pieces they complete.
  Outcome ProcessBatch(size_t count, HashPipeline& pipeline);
  // ProcessBatch of a dry run.
  void LookUpBatch(size_t count, HashPipeline& pipeline);
  void Gather(size_t count);
  Outcome Query();
  Outcome Store(const std::vector<cldb::JobWriter::Block>& stored,
                const std::vector<cldb::JobWriter::Block>& referenced);
  Outcome StoreFalseHits(const std::vector<cldb::JobWriter::Block>& referenced,
                         const std::vector<size_t>& unresolved);
  void Settle(size_t count, HashPipeline& pipeline);
  Outcome RecordTree();
  void Collect(BackupResult& result) const;
  void Fill(CacheRecordRef& record, const BlockSignature& block) const;
  Outcome NextArchiveFile();

  ToolRoot* const root_;  // null in a dry run
  const BackupOptions options_;
  Console& console_;
  const std::string rootFolder_;  // a dry run's
  const std::string cldbFolder_;
  std::unique_ptr<JobSession> session_;  // null in a dry run
  std::unique_ptr<CldbLookup> lookup_;   // a dry run's
  // A dry run's blocks met so far: a job would find a repeat of one it
  // stored. The first 16 bytes of each digest.
  std::unordered_set<std::string> seen_;
  std::unique_ptr<cldb::JobWriter> writer_;
  TreeBuilder tree_;
  JobCounters counters_;
  uint32_t afile_ = 0;
  uint64_t afileBytes_ = 0;
  uint64_t skipped_ = 0;
  uint64_t excluded_ = 0;
  uint64_t falseHits_ = 0;
  // Pieces held, oldest first, with the first block not yet answered.
  std::deque<Held> held_;
  size_t heldCost_ = 0;
  size_t cursorPiece_ = 0;
  size_t cursorBlock_ = 0;
  size_t pending_ = 0;  // blocks held and not yet answered
  // Reused from batch to batch.
  std::vector<Item> batch_;
  std::vector<CLDBQuerySignature> queries_;
  std::vector<CacheRecordRef> inserts_;
  std::unordered_set<const BlockSignature*, DigestHash, SameBlock> missed_;
};
