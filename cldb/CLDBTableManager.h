// CCLDBTableManager: the library's main entry, one per CLDB a caller uses.
//
// Initialize takes the arguments record, finds the CLDB root folder through
// the platform configuration, asks the storage side whether the local CLDB
// can still be trusted, creates a fresh CLDB or opens the existing one, and
// loads the archive-file list the storage side vouches for: the valid list
// of a client, the recopied list of an auxiliary copy. Then it forwards the
// caller's queries, insertions, pruning and statistics requests to the CLDB
// instance; Uninitialize reports the job's statistics and closes the CLDB.
//
// The rule a host can rely on: a query answers a hit only for a record
// that the current job's list vouches for (the valid list of a client, the
// recopied list of an auxiliary copy) or that this job itself inserted or
// hit. A record the library cannot check (no list loaded for this job,
// because the storage side did not answer or no job was named) misses and
// is kept, so nothing is lost once a list arrives. Each job starts past
// every stamp the CLDB already holds, so this holds however the clock moves.
//
// On purpose, the manager differs from the documented behaviour here:
// - A failed list load at Initialize installs nothing: the job simply has
//   no list (see above). Pruning then prunes nothing by list.
// - ConfigureValidAfileList returns early for the current job only once its
//   list is loaded, so a job id of 0 still loads one; a newer job starts a
//   new job in the instance (CCLDBTables::StartNewJob) before its list is
//   fetched.
// - ConfigureRecopiedAfileList hands on an empty list too: it is the job's
//   list all the same.
// - Initialize fails, with InUse() true, when another process has the CLDB
//   open; nothing on disk is touched then (CCLDBTables lists the instance's
//   own differences, pruning's stop flag among them).
//
// The manager takes no lock: Initialize and Uninitialize must not overlap
// other calls on it. Once opened, queries, insertions, pruning and
// StopPruning may come from different threads; the instance serialises them.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "cldb/CLDBTypes.h"
#include "cldb/Export.h"

class CCLDBTables;
class EvDebug;

class CLDB_EXPORT CCLDBTableManager {
 public:
  CCLDBTableManager();
  ~CCLDBTableManager();  // neither closes nor uninitialises the CLDB
  CCLDBTableManager(const CCLDBTableManager&) = delete;
  CCLDBTableManager& operator=(const CCLDBTableManager&) = delete;

  // 0 or -1. `offline` is set true when a mount path of the copy is offline;
  // the CLDB still serves queries, and turning lookups off is the caller's
  // decision.
  int Initialize(_CCLDBTableManagerArgs& args, bool& offline);
  // Logs the non-zero counters of the job and closes the CLDB; always 0.
  int Uninitialize(bool allowCompaction);
  int CloseDB();

  int QuerySignature(CLDBQuerySignature* queries, int count);
  int InsertSignature(CacheRecordRef* records, int count);
  int PruneExpiredRecords(unsigned int curTime);
  int StopPruning();
  int GetStats(_stCLDBStates& stats);

  // On a CLDB folder this manager has not opened; no Initialize needed.
  int DumpCacheTable(EvDebug* debug, char const* folder);
  int CompactCacheTable(EvDebug* debug, char const* folder);

  // ---- agreement with the storage side -----------------------------------------
  int IsDBClean(bool& clean);
  // Loads the archive files a client CLDB may still reference. A `newJobId`
  // of 0 keeps the current job; an older job than the current one is refused.
  int ConfigureValidAfileList(unsigned long long newJobId, bool& offline);
  int ConfigureRecopiedAfileList(unsigned int copyId, bool& offline);
  // Adds substores that are inactive; the set only grows.
  void SetInactiveSubStoresID(std::vector<int>& ids);

  bool IsOpened() const { return opened; }
  // The last Initialize (or dump, or compaction) failed because another
  // process had the CLDB open; a host reports that rather than a failure.
  bool InUse() const;
  // After a successful Initialize: why the job began with an empty CLDB
  // (kNone when the CLDB on disk was reused). kDirty means the storage side
  // did not vouch for the CLDB (a client's marked dirty, an auxiliary
  // copy's not clean); the other reasons are the library's own findings
  // (CCLDBTables::Open). A host reports it beside the job's results, since
  // an empty CLDB explains a job without hits.
  cldb::RecreateReason Recreated() const;
  const _CCLDBTableManagerArgs& Args() const { return args; }
  // The instance itself, for the project's own tool and tests (its header
  // is not installed).
  CCLDBTables& Tables() { return *tables; }

 private:
  void Log(int level, const char* format, ...) CLDB_PRINTF(3, 4);
  bool Guard(const char* name);
  // Names the copy whose mount path is offline; `name` is the caller's.
  void LogOfflineCopy(const char* name);

  EvDebug* debugLog = nullptr;
  std::unique_ptr<CCLDBTables> tables;
  std::map<int, int> inactiveSubstores;
  _CCLDBTableManagerArgs args;
  bool opened = false;
};
