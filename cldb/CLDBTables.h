// CCLDBTables: one CLDB, that is one folder holding the cache table and its
// State.xml, with the in-memory lists of valid and recopied archive files
// and the critical section that serialises every use of the open table.
//
// Lifecycle: Initialize names the folder (migrating a client CLDB of the
// earlier layout), then Create builds an empty CLDB or Open verifies and
// reuses the existing one (recreating it when it was left unclosed, belongs
// to another store or does not open), and Close records it closed, compacting
// the table when the interval has passed. State.xml holds the state: 0 just
// created, 1 opened by a process, 2 closed cleanly; only 2 may be reused.
//
// One owner at a time: while an instance has the CLDB open (from Create or
// Open to Close, or to its destruction) it holds the claim "Owner.lock" in
// the CLDB folder, an exclusive flock that the kernel drops when the process
// dies and that the folder wipe never removes. Create and Open take it
// before they read or wipe anything; when another process (or another
// instance of this one) holds it they fail, wipe nothing and InUse() turns
// true. So a state found "opened" under a free claim means its owner died,
// and the CLDB is made again as before; under a held one it is never
// touched. Compaction and dump on request take it too.
//
// Time: each job starts (CCacheTable::StartJob) past the newest stamp the
// CLDB holds, as Close records it in State.xml (NewestStamp, or
// LastAccessTime in files written before that element existed), so every
// record of an earlier job is checked against this job's list even when the
// clock was set back; see Open and StartNewJob.
//
// On purpose, this instance differs from the documented behaviour in these
// points (each operation's comment below gives the detail):
// - Create and Open take the claim above first; Create fails when its wipe
//   fails, and closes the table and releases the claim when it fails after
//   making the table (a retry then works).
// - The wipe (DeleteCLDB) removes only the entries the CLDB owns, never
//   following a link, and refuses a CLDB folder that is a link; a folder
//   that is not this user's is refused; a new one is made mode 0700
//   (unless configured: ZelPlatformInfo::NewFolderMode).
// - Open starts the job past the CLDB's newest stamp (StartJobPast), and
//   recreates a CLDB whose State.xml times cannot be read or that has
//   anything but a regular file in the place of one of its files; Close
//   records the newest stamp and fails when it cannot.
// - Records used before the job's start are compared with it as serial
//   numbers, in the query and in pruning, and miss (kept) until this job's
//   own list is loaded; pruning prunes nothing by list until then, and
//   measures ages from the later of its current time and the job's start.
// - Initialize migrates a folder of the earlier layout only under the new
//   folder's claim (a holder of the CLDB is never copied over).
// - The dump opens the table read-only and never replaces a file; it does
//   without the claim where the claim file cannot be made (a read-only
//   folder).
//
// Threads: the job's thread runs the batch operations, list updates and the
// close; a pruning pass runs on a thread of the caller's choosing and holds
// `lock` for its whole pass. A batch that finds a pass running asks it to
// stop (StopPruning) before it waits for `lock`. The two pruning flags are
// shared without the lock and are atomics for that reason.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cldb/CLDBStateFile.h"
#include "cldb/CLDBTypes.h"
#include "cldb/CacheTable.h"
#include "cldb/Export.h"
#include "platform/CTkError.h"
#include "platform/ZelCriticalSection.h"

class EvDebug;
class MDLock;
namespace cldb {
class TCtreeBatch;
}

class CCLDBTables {
 public:
  CCLDBTables();
  ~CCLDBTables();  // does not close the CLDB
  CCLDBTables(const CCLDBTables&) = delete;
  CCLDBTables& operator=(const CCLDBTables&) = delete;

  // ---- lifecycle ----------------------------------------------------------------
  int Initialize(unsigned int copyId, unsigned long long jobId, const char* rootPath,
                 unsigned int SIDBStoreId, unsigned int cldbId, EvDebug* evDebug, int sigType,
                 unsigned int nAge, unsigned int expiryDays, bool isAuxCopy,
                 unsigned int extraExpiryDays, unsigned int backupStartTime, unsigned int dbSizeMB);
  // True when the CLDB on disk may be reused; `stateFoundUnclosed` tells
  // that its stored state was read and is not closed.
  bool VerifyState(unsigned int SIDBStoreId, bool& stateFoundUnclosed);
  // Claims the CLDB, wipes it and makes an empty one. On failure nothing is
  // left open or claimed; a failed wipe fails it. Recreated() then says
  // kNew when the folder held none of the CLDB's files, else kDirty: a
  // caller asks for an empty CLDB when the storage side no longer vouches
  // for the one there.
  int Create();
  int CreateStatFile();
  // Removes the CLDB's own entries from its folder (see kOwnedEntries),
  // whatever they are (a folder in place of a file goes with its content),
  // never following a link; anything else in the folder stays.
  int DeleteCLDB();
  // Claims the CLDB, then reuses it when its state allows, else makes it
  // again (Recreated() says why); the job starts past the CLDB's newest
  // stamp.
  int Open();
  // Records the newest stamp and the closed state, then releases the claim.
  // When the table itself fails to close, -1 with the state left open (the
  // next Open makes the CLDB anew) and the claim released.
  int Close(bool allowCompaction);
  // Closes the engine table only; the instance stays open and claimed.
  int CloseDB();
  int SetState(unsigned int state);
  int GetLeastAFileId(unsigned int& afileId);

  // Copies the CLDB files of `source` into `destination`.
  int MoveCLDB(const char* source, const char* destination);
  static CTkError CopyWalkerStatic(const char* folder, const char* name, bool isDirectory,
                                   void* destination);

  // ---- signature operations (each batch runs in one engine transaction) ---------
  int QuerySignature(CLDBQuerySignature* queries, int count);
  int InsertSignature(CacheRecordRef* records, int count);
  int DeleteCacheRecord(CacheRecordRef* records, int count);
  int UpdateLastCacheTime(CacheRecordRef* records, int count);
  void GetStats(_stCLDBStates& stats);  // any thread, no lock

  // Each installs its list; the valid list of a client and the recopied
  // list of an auxiliary copy also count as the current job's own list.
  int SetValidAFileList(int* ids, int count);
  int SetRecopiedAFileList(int* ids, int count);
  void setInactiveSubstoresIdMap(std::map<int, int>* map);
  // Starts job `newJobId` on the open CLDB: its start lies past every stamp
  // written so far (lowered first when the clock is far behind them), and
  // until its list is installed no record of an earlier job hits. 0, or
  // the engine's code when the stamps could not be lowered.
  int StartNewJob(unsigned long long newJobId);
  // Whether the current job's own list has been installed.
  bool JobListLoaded();
  // The current job's effective start.
  uint32_t JobStart();

  // ---- pruning -----------------------------------------------------------------------
  // Lists the archive files whose first record was last used before the
  // job's start (a serial comparison, the query's rule). A file is pruned
  // only by the current job's own list (none loaded: nothing is pruned by
  // list); ages count from the later of `curTime` and the job's start, so a
  // clock set back behind the start neither ages nor wraps anything.
  int PruneExpiredRecords(unsigned int curTime);
  // The stop request and the running flag it waits on are std::atomic<bool>
  // rather than plain flags: the two threads share them without the lock.
  int StopPruning();

  // ---- maintenance of a CLDB that is not open --------------------------------------
  // Both claim `folder` for their run and fail when another process has it.
  int CompactCacheTable(EvDebug* debug, const char* folder);
  // Reads the table read-only (its seal stays, so an interrupted dump
  // harms nothing) into a new file of the working folder,
  // CLDBDump_<time>.csv or, when that exists, CLDBDump_<time>_<n>.csv, made
  // exclusively (mode 0600, never through a link). Where the claim file
  // cannot be made (a folder the caller may not write) it goes on without:
  // a table open for changes has no seal, so it could not be opened anyway.
  int DumpCacheTable(EvDebug* debug, const char* folder);

  // ---- observers (for callers and tests) ---------------------------------------------
  const std::string& Path() const { return cldbPath; }
  bool IsOpened() const { return opened; }
  // The last Create, Open, compaction or dump failed because another
  // process (or instance) had the CLDB.
  bool InUse() const { return inUse; }
  // Why the last Create or Open began an empty CLDB; kNone when Open reused
  // it (and before either). Read on the thread that opened the CLDB.
  cldb::RecreateReason Recreated() const { return recreated; }
  bool IsPruning() const { return pruningInProgress.load(std::memory_order_acquire); }
  bool IsStopRequested() const { return stopRequested.load(std::memory_order_acquire); }
  long long RecordCount() { return cacheTable.getRecordCount(); }

 private:
  // One entry of the pruning list: an archive file and the last use of the
  // first of its records.
  struct _AFileInfo {
    unsigned int afileId;
    unsigned int lastUpdateTime;
  };

  template <typename Op>
  int ApplyToBatch(const char* name, CacheRecordRef* records, int count, Op op);
  int StopRunningPass(const char* name);
  int CommitBatch(cldb::TCtreeBatch& batch, const char* name);
  bool CompactionDue(unsigned int now);
  void SealMovedTable(const std::string& oldPath, const char* name);
  int MigrateFrom(const std::string& oldPath);
  static const int kClaimUnavailable = -2;
  int ClaimFolder(const char* name, bool create);
  void ReleaseClaim();
  static const char* FolderRefusal(const char* path);
  bool OwnEntriesArePlainFiles(const char* name);
  // Create, for `reason` unless the folder holds no CLDB at all (kNew).
  int CreateFor(cldb::RecreateReason reason);
  int CreateClaimed();
  bool HoldsCLDBFiles() const;
  // Why the CLDB on disk may not be reused; kNone when it may.
  cldb::RecreateReason StateVerdict(unsigned int SIDBStoreId);
  int StartJobPast(uint32_t floor, uint32_t requested, const char* name);
  // 0 or ClaimFolder's result for `folder`.
  int PrepareClosedTable(EvDebug* debug, const char* folder, const char* name);
  int DumpClaimed(const char* name);
  int RunPruningPass(unsigned int curTime);
  int ExpireListed(const std::vector<_AFileInfo>& list, unsigned int curTime);
  bool IsPruned(unsigned int afileId) const;
  bool IsExpired(unsigned int age) const;

  // Declared first so that a destroyed instance lets go of its claim only
  // after the table is closed.
  std::unique_ptr<MDLock> claim;  // of claimPath
  std::string claimPath;
  bool inUse = false;
  cldb::RecreateReason recreated = cldb::RecreateReason::kNone;
  unsigned long long jobId = 0;
  std::atomic<bool> pruningInProgress{false};
  std::atomic<bool> stopRequested{false};
  std::string cldbPath;
  unsigned int SIDBStoreId = 0;
  unsigned int cldbId = 0;
  unsigned int dbSizeMB = 0;
  CCacheTable cacheTable;
  EvDebug* evDebug = nullptr;
  int sigType = 0;
  unsigned int nAge = 0;
  unsigned int expiryDays = 0;
  bool opened = false;
  bool isAuxCopy = false;
  unsigned int backupStartTime = 0;
  ZelCriticalSection lock;
  CCLDBStateFile stateFile;
  std::map<unsigned int, unsigned int> validAFileMap;
  std::map<unsigned int, unsigned int> recopiedAFileMap;
  unsigned int extraExpiryDays = 0;
};
