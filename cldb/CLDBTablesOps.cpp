// CCLDBTables: batch signature operations, archive-file lists, statistics
// and the pruning pass with its stop handshake.

#include <cstdarg>
#include <vector>

#include "cldb/CLDBLog.h"
#include "cldb/CLDBNames.h"
#include "cldb/CLDBTables.h"
#include "cldb/CLDBTime.h"
#include "platform/EvDebug.h"
#include "platform/TCtreeTable.h"
#include "platform/TkSleep.h"

using cldb::LogTo;

namespace {

using cldb::kSecondsPerDay;
const int kStopPruningWaits = 11;
const unsigned int kStopPruningSleepMs = 1000;
const unsigned int kLastAFileId = 4294967295u;

}  // namespace

// ---- batches ---------------------------------------------------------------------

// A batch that finds a pruning pass running asks it to give way first; the
// pass holds `lock` for its whole run, so waiting on the lock alone could
// stall the job for the length of the pass.
int CCLDBTables::StopRunningPass(const char* name) {
  if (!pruningInProgress.load(std::memory_order_acquire)) return 0;
  int rc = StopPruning();
  if (rc != 0) LogTo(evDebug, -1, "[ERROR]%s: cStop Pruning Failed -[%s]", name, cldbPath.c_str());
  return rc;
}

int CCLDBTables::QuerySignature(CLDBQuerySignature* queries, int count) {
  static const char kName[] = "CCLDBTables::QuerySignature";
  if (count < 1) {
    LogTo(evDebug, -1, "[ERROR]%s: called with 0 size records -[%s]", kName, cldbPath.c_str());
    return -1;
  }
  if (int rc = StopRunningPass(kName)) return rc;

  ZelCriticalSectionGuard guard(lock);
  cldb::TCtreeBatch batch(cacheTable);
  for (int i = 0; i < count; ++i)
    queries[i].found = cacheTable.QuerySignature(queries[i].record) == 0 ? 1 : 0;
  // A lost commit only loses the refresh of the hits' last-use times; the
  // hits themselves were answered from records that exist.
  CommitBatch(batch, kName);
  return 0;
}

int CCLDBTables::CommitBatch(cldb::TCtreeBatch& batch, const char* name) {
  const int rc = batch.Commit();
  if (rc != 0)
    LogTo(evDebug, -1, "[ERROR]%s: commit failed (%s) -[%s]", name, cacheTable.errToString(rc),
          cldbPath.c_str());
  return rc;
}

template <typename Op>
int CCLDBTables::ApplyToBatch(const char* name, CacheRecordRef* records, int count, Op op) {
  if (count < 1) {
    LogTo(evDebug, -1, "[ERROR]%s: called with 0 size records -[%s]", name, cldbPath.c_str());
    return -1;
  }
  if (int rc = StopRunningPass(name)) return rc;

  ZelCriticalSectionGuard guard(lock);
  cldb::TCtreeBatch batch(cacheTable);
  int result = 0;
  for (int i = 0; i < count; ++i) {
    result = op(records[i]);
    if (result != 0) {
      LogTo(evDebug, -1, "[ERROR]%s: Failed - %d [%s]", name, i, cldbPath.c_str());
      break;
    }
  }
  // The elements before a failing one stay done, so the batch commits
  // either way; a failed commit loses them all and must be reported.
  const int committed = CommitBatch(batch, name);
  return result != 0 ? result : committed;
}

int CCLDBTables::InsertSignature(CacheRecordRef* records, int count) {
  return ApplyToBatch("CCLDBTables::InsertSignature", records, count,
                      [this](CacheRecordRef& r) { return cacheTable.AddCacheRecord(r, 0); });
}

int CCLDBTables::DeleteCacheRecord(CacheRecordRef* records, int count) {
  return ApplyToBatch("CCLDBTables::DeleteCacheRecord", records, count,
                      [this](CacheRecordRef& r) { return cacheTable.DeleteCacheRecord(r); });
}

int CCLDBTables::UpdateLastCacheTime(CacheRecordRef* records, int count) {
  return ApplyToBatch("CCLDBTables::UpdateLastCacheTime", records, count,
                      [this](CacheRecordRef& r) { return cacheTable.UpdateLastCacheTime(r); });
}

void CCLDBTables::GetStats(_stCLDBStates& stats) { cacheTable.GetStats(stats); }

// ---- lists -------------------------------------------------------------------------

namespace {

void FillAFileMap(std::map<unsigned int, unsigned int>& map, const int* ids, int count) {
  map.clear();
  for (int i = 0; i < count; ++i) map[static_cast<unsigned int>(ids[i])] = 1;
}

}  // namespace

int CCLDBTables::SetValidAFileList(int* ids, int count) {
  ZelCriticalSectionGuard guard(lock);
  FillAFileMap(validAFileMap, ids, count);
  cacheTable.setValidAfileIdMap(&validAFileMap);
  if (!isAuxCopy) cacheTable.MarkJobListLoaded();
  return 0;
}

int CCLDBTables::SetRecopiedAFileList(int* ids, int count) {
  static const char kName[] = "CCLDBTables::SetRecopiedAFileList()";
  ZelCriticalSectionGuard guard(lock);
  recopiedAFileMap.clear();
  LogTo(evDebug, -1, "%s: Setting items", kName);
  FillAFileMap(recopiedAFileMap, ids, count);
  if (count > 0) cacheTable.setRecopiedAFileIdMap(&recopiedAFileMap);
  if (isAuxCopy) cacheTable.MarkJobListLoaded();
  return 0;
}

bool CCLDBTables::JobListLoaded() {
  ZelCriticalSectionGuard guard(lock);
  return cacheTable.JobListLoaded();
}

uint32_t CCLDBTables::JobStart() {
  ZelCriticalSectionGuard guard(lock);
  return cacheTable.JobStart();
}

void CCLDBTables::setInactiveSubstoresIdMap(std::map<int, int>* map) {
  ZelCriticalSectionGuard guard(lock);
  cacheTable.setInactiveSubstoresIdMap(map);
}

// ---- pruning -------------------------------------------------------------------------

bool CCLDBTables::IsPruned(unsigned int afileId) const {
  // Without this job's list nothing is known about any file: keep it all.
  if (!cacheTable.JobListLoaded()) return false;
  // An empty valid list vouches for nothing on a client, so everything is
  // pruned; an auxiliary copy with no list prunes nothing.
  if (validAFileMap.empty()) return !isAuxCopy;
  return validAFileMap.find(afileId) == validAFileMap.end();
}

bool CCLDBTables::IsExpired(unsigned int age) const {
  const unsigned int expiryWindow = expiryDays * kSecondsPerDay;
  if (age >= expiryWindow) return true;
  if (nAge != 0 && age >= nAge) return true;
  return extraExpiryDays != 0 && age >= extraExpiryDays * kSecondsPerDay;
}

int CCLDBTables::PruneExpiredRecords(unsigned int curTime) {
  static const char kName[] = "CCLDBTables::PruneExpiredRecords";
  if (pruningInProgress.load(std::memory_order_acquire)) {
    LogTo(evDebug, -1,
          "%s: Get pruning request while alredy being processed. returning without process-[%s]",
          kName, cldbPath.c_str());
    return 0;
  }
  ZelCriticalSectionGuard guard(lock);
  LogTo(evDebug, -1, "%s: Get pruning request[SigExpireTime -%u][CurTime - %u] -[%s]", kName,
        expiryDays * kSecondsPerDay, curTime, cldbPath.c_str());
  pruningInProgress.store(true, std::memory_order_release);
  int status = RunPruningPass(curTime);
  pruningInProgress.store(false, std::memory_order_release);
  return status;
}

int CCLDBTables::RunPruningPass(unsigned int curTime) {
  static const char kName[] = "CCLDBTables::PruneExpiredRecords";
  // The whole pass is one engine transaction: the marks and the clean-up
  // land together, and a stop commits what was done so far.
  cldb::TCtreeBatch batch(cacheTable);

  // One indexed search per archive file: after the first record of a file
  // the scan seeks straight to the next id. Files last used before the
  // job's start are listed, by the rule the query uses.
  const uint32_t jobStart = cacheTable.JobStart();
  std::vector<_AFileInfo> list;
  for (unsigned int id = 1;;) {
    if (stopRequested.load(std::memory_order_acquire)) {
      LogTo(evDebug, -1, "%s: Received Stop pruning request -[%s]", kName, cldbPath.c_str());
      break;
    }
    if (cacheTable.FindFirstRecordByAfileId(id) != 0) break;
    const _CacheRecord* rec = cacheTable.getRecordPointer();
    if (cldb::Before(rec->LastUpdateTime, jobStart))
      list.push_back({rec->archiveFileId, rec->LastUpdateTime});
    if (rec->archiveFileId == kLastAFileId) break;  // no next id: do not wrap to 0
    id = rec->archiveFileId + 1;
  }

  int status = 0;
  if (stopRequested.load(std::memory_order_acquire)) {
    LogTo(evDebug, -1, "%s: Quit pruning request received. Aborting  pruning process", kName);
  } else {
    LogTo(evDebug, -1, "%s: Added %lu items in to Pruning List", kName,
          static_cast<unsigned long>(list.size()));
    if (!list.empty()) status = ExpireListed(list, curTime);
  }
  const int committed = CommitBatch(batch, kName);
  return status != 0 ? status : committed;
}

// Ages count from the later of `curTime` and the job's start: every listed
// file was last used before the start, so a clock set back behind it
// neither ages nor wraps anything.
int CCLDBTables::ExpireListed(const std::vector<_AFileInfo>& list, unsigned int curTime) {
  static const char kName[] = "CCLDBTables::PruneExpiredRecords";
  const uint32_t now = cldb::Later(curTime, cacheTable.JobStart());
  for (const _AFileInfo& entry : list) {
    const bool pruned = IsPruned(entry.afileId);
    const bool expired = !pruned && IsExpired(now - entry.lastUpdateTime);
    LogTo(evDebug, 2, "%s: Pruning List status[Afile-id - %u][LastUpdateTime - %u] %s", kName,
          entry.afileId, entry.lastUpdateTime,
          pruned    ? "Pruned"
          : expired ? "Expired"
                    : "Fine");
    if ((pruned || expired) && cacheTable.MarkRecordsExpired(entry.afileId) != 0) {
      LogTo(evDebug, -1, "%s: [ERROR] Mark records expired for [Afile-id - %u]", kName,
            entry.afileId);
      return -1;
    }
    if (stopRequested.load(std::memory_order_acquire)) {
      LogTo(evDebug, -1, "%s: Quit pruning request received. Aborting  pruning process", kName);
      return 0;
    }
  }
  int status = cacheTable.CleanUpExpiredSignatures(stopRequested);
  if (status != 0) LogTo(evDebug, -1, "%s: [ERROR] Clean-Up Expired Signatures failed...", kName);
  LogTo(evDebug, -1, "%s: Completed pruning", kName);
  return status;
}

int CCLDBTables::StopPruning() {
  static const char kName[] = "CCLDBTables::StopPruning";
  if (!pruningInProgress.load(std::memory_order_acquire)) return 0;
  LogTo(evDebug, -1, "%s: Sending Stop-Pruning request [%s]", kName, cldbPath.c_str());
  stopRequested.store(true, std::memory_order_release);
  for (int i = 0; i < kStopPruningWaits; ++i) {
    if (!pruningInProgress.load(std::memory_order_acquire)) return 0;
    TKSLEEP(kStopPruningSleepMs);
  }
  LogTo(evDebug, -1, "%s: [ERROR]Stop-Pruning request Failed[%s]", kName, cldbPath.c_str());
  return -1;
}
