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
// Threads: the job's thread runs the batch operations, list updates and the
// close; a pruning pass runs on a thread of the caller's choosing and holds
// `lock` for its whole pass. A batch that finds a pass running asks it to
// stop (StopPruning) before it waits for `lock`. The two pruning flags are
// shared without the lock and are atomics for that reason.
#pragma once

#include "cldb/CLDBStateFile.h"
#include "cldb/CLDBTypes.h"
#include "cldb/CacheTable.h"
#include "platform/CTkError.h"
#include "platform/Export.h"
#include "platform/ZelCriticalSection.h"

#include <atomic>
#include <map>
#include <string>
#include <vector>

class EvDebug;
class TCtreeBatch;

class CLDB_EXPORT CCLDBTables {
 public:
  CCLDBTables();
  ~CCLDBTables();  // does not close the CLDB
  CCLDBTables(const CCLDBTables&) = delete;
  CCLDBTables& operator=(const CCLDBTables&) = delete;

  // ---- lifecycle ----------------------------------------------------------------
  int Initialize(unsigned int copyId, unsigned long long jobId, const char* rootPath,
                 unsigned int SIDBStoreId, unsigned int cldbId, EvDebug* evDebug, int sigType,
                 unsigned int nAge, unsigned int expiryDays, bool isAuxCopy,
                 unsigned int extraExpiryDays, unsigned int backupStartTime,
                 unsigned int dbSizeMB);
  // True when the CLDB on disk may be reused; `stateFoundUnclosed` tells
  // that its stored state was read and is not closed.
  bool VerifyState(unsigned int SIDBStoreId, bool& stateFoundUnclosed);
  int Create();
  int CreateStatFile();
  int DeleteCLDB();
  int Open();
  int Close(bool allowCompaction);
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

  int SetValidAFileList(int* ids, int count);
  int SetRecopiedAFileList(int* ids, int count);
  void setInactiveSubstoresIdMap(std::map<int, int>* map);

  // ---- pruning -----------------------------------------------------------------------
  int PruneExpiredRecords(unsigned int curTime);
  int StopPruning();

  // ---- maintenance of a CLDB that is not open --------------------------------------
  int CompactCacheTable(EvDebug* debug, const char* folder);
  int DumpCacheTable(EvDebug* debug, const char* folder);

  // ---- observers (for callers and tests) ---------------------------------------------
  const std::string& Path() const { return cldbPath; }
  bool IsOpened() const { return opened; }
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

  void Log(int level, const char* format, ...) CLDB_PRINTF(3, 4);
  template <typename Op>
  int ApplyToBatch(const char* name, CacheRecordRef* records, int count, Op op);
  int StopRunningPass(const char* name);
  int CommitBatch(TCtreeBatch& batch, const char* name);
  bool CompactionDue(unsigned int now);
  int PrepareClosedTable(EvDebug* debug, const char* folder, const char* name);
  int RunPruningPass(unsigned int curTime);
  int ExpireListed(const std::vector<_AFileInfo>& list, unsigned int curTime);
  bool IsPruned(unsigned int afileId) const;
  bool IsExpired(unsigned int age) const;

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
