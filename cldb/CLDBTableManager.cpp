// CCLDBTableManager: initialisation against the storage side, forwarding,
// and the statistics report at shutdown.

#include "cldb/CLDBTableManager.h"

#include <cstdarg>
#include <string>

#include "cldb/CLDBStats.h"
#include "cldb/CLDBTables.h"
#include "cldb/StorageBackend.h"
#include "platform/EvDebug.h"
#include "platform/StorageServices.h"
#include "platform/ZelPlatformInfo.h"

namespace {

// The oldest archive file a new, empty CLDB asks about: 0x0FFFFFFF.
const unsigned int kOldestAFileIdOfEmptyCLDB = 268435455;

// The report labels of the counters, in the order of _stCLDBStates, padded
// so that every " - " of the report stands in the same column.
const char* const kStatLabels[10] = {
    "[CLDB-Stat]CRC not found       ", "[CLDB-Stat]Aged                ",
    "[CLDB-Stat]Expired             ", "[CLDB-Stat]Mismatched tag-count",
    "[CLDB-Stat]Mismatched data size", "[CLDB-Stat]Mismatched signature",
    "[CLDB-Stat]Inserted by this job", "[CLDB-Stat]Expired in this job ",
    "[CLDB-Stat]Found pruned        ", "[CLDB-Stat]Offline substores   ",
};

}  // namespace

CCLDBTableManager::CCLDBTableManager() : tables(new CCLDBTables) {}
CCLDBTableManager::~CCLDBTableManager() = default;

bool CCLDBTableManager::InUse() const { return tables->InUse(); }

cldb::RecreateReason CCLDBTableManager::Recreated() const { return tables->Recreated(); }

void CCLDBTableManager::Log(int level, const char* format, ...) {
  // Before the first Initialize there is no log object to write to.
  if (debugLog == nullptr) return;
  va_list ap;
  va_start(ap, format);
  const unsigned long long jobId = args.jobId;
  debugLog->vdebugLvl(level, &jobId, nullptr, format, ap);
  va_end(ap);
}

int CCLDBTableManager::Initialize(_CCLDBTableManagerArgs& newArgs, bool& offline) {
  static const char kName[] = "CCLDBTableManager::Initialize()";
  args = newArgs;
  debugLog = args.evDebug;
  Log(1, "%s: Geting CLDBRootFolder [%s] ", kName, args.rootFolderKey.c_str());

  std::string rootFolder;
  ZelPlatformInfo platform;
  platform.setFocus(ZelPI_Focus::getFocus());
  if (platform.GetCLDBRootFolder(args.rootFolderKey, rootFolder) != 0) {
    Log(1, "%s: GetCLDBRootFolder [%s] Failed", kName, args.rootFolderKey.c_str());
    return -1;
  }

  debugLog = args.evDebug;
  if (!cldb::StorageBackend::Current()) {
    // Without a storage side nothing can vouch for the CLDB: the caller
    // backs up without the cache rather than with one that cannot be checked.
    Log(1, "%s: [ERROR] no storage-side backend installed", kName);
    return -1;
  }
  if (tables->Initialize(args.copyId, args.jobId, rootFolder.c_str(), args.SIDBStoreId, args.cldbId,
                         debugLog, args.sigType, args.nAge, args.expiryDays, args.isAuxCopy,
                         args.extraExpiryDays, args.backupStartTime, args.dbSizeMB) != 0) {
    Log(1, "%s - Initializing CLDB failed", kName);
    return -1;
  }

  bool clean = false;
  if (IsDBClean(clean) != 0) {
    Log(1, "%s - Verifying CLDB status failed", kName);
    return -1;
  }
  const bool create = !clean;
  const char* verb = create ? "Creating" : "Opening";
  if ((create ? tables->Create() : tables->Open()) != 0) {
    Log(1, "%s - %s CLDB failed", kName, verb);
    return -1;
  }
  Log(1, "%s - %s CLDB Succeeded", kName, verb);

  if (create) {
    const unsigned int jobId32 = static_cast<unsigned int>(args.jobId);
    if (!args.isAuxCopy) {
      Subclient subclient(args.cldbId);
      if (subclient.setClientCacheDBDirty(0, nullptr) != 0) {
        Log(1, "%s [ERROR] Set-Client-Cache-DB-Dirty failed (App-id %u)", kName, args.cldbId);
        return -1;
      }
    } else {
      ArMgrClientAPI archiveManager;
      if (archiveManager.setCopyClientCacheDBClean(jobId32, args.cldbId) != 0) {
        Log(1, "%s [ERROR]Set Copy-Client-Cache-DB-Clean failed [Job-Id - %d ][Copy id - %u]",
            kName, static_cast<int>(jobId32), args.cldbId);
        return -1;
      }
    }
  }

  // A failed load leaves the job without its list: records of earlier jobs
  // miss (and are kept) until a later load succeeds.
  if (!args.isAuxCopy) {
    if (ConfigureValidAfileList(0, offline) != 0)
      Log(1, "%s [ERROR]Get Get-ValidAfile-List failed ", kName);
  } else if (ConfigureRecopiedAfileList(args.copyId, offline) != 0) {
    Log(1, "%s [ERROR]Get Get-RecopiedAfile-List failed ", kName);
  }

  opened = true;
  return 0;
}

int CCLDBTableManager::Uninitialize(bool allowCompaction) {
  if (!opened) return 0;
  _stCLDBStates stats;
  tables->GetStats(stats);
  Log(1, "=======Closing signature cache DB.========== ");
  for (int i = 0; i < 10; ++i) {
    const unsigned int value = stats.*cldb::kCounters[i];
    if (value != 0) Log(1, "%s - %u", kStatLabels[i], value);
  }
  tables->Close(allowCompaction);
  opened = false;
  Log(1, "======= signature cache DB is closed.========== ");
  return 0;
}

int CCLDBTableManager::CloseDB() { return tables->CloseDB(); }

bool CCLDBTableManager::Guard(const char* name) {
  if (!opened) Log(1, "%s Table Not Opened", name);
  return opened;
}

int CCLDBTableManager::QuerySignature(CLDBQuerySignature* queries, int count) {
  static const char kName[] = "CCLDBTableManager::QuerySignature()";
  if (!Guard(kName)) return -1;
  if (tables->QuerySignature(queries, count) != 0) {
    Log(1, "[ERROR] %s Failed", kName);
    return -1;
  }
  return 0;
}

int CCLDBTableManager::InsertSignature(CacheRecordRef* records, int count) {
  static const char kName[] = "CCLDBTableManager::InsertSignature()";
  if (!Guard(kName)) return -1;
  if (tables->InsertSignature(records, count) != 0) {
    Log(1, "[ERROR] %s Failed", kName);
    return -1;
  }
  return 0;
}

int CCLDBTableManager::PruneExpiredRecords(unsigned int curTime) {
  if (!Guard("CCLDBTableManager::PruneExpiredRecords()")) return 0;
  return tables->PruneExpiredRecords(curTime) != 0 ? -1 : 0;
}

int CCLDBTableManager::StopPruning() {
  if (Guard("CCLDBTableManager::StopPruning()")) tables->StopPruning();
  return 0;
}

int CCLDBTableManager::GetStats(_stCLDBStates& stats) {
  if (Guard("CCLDBTableManager::GetStats()")) tables->GetStats(stats);
  return 0;
}

int CCLDBTableManager::DumpCacheTable(EvDebug* debug, char const* folder) {
  return tables->DumpCacheTable(debug, folder);
}

int CCLDBTableManager::CompactCacheTable(EvDebug* debug, char const* folder) {
  return tables->CompactCacheTable(debug, folder);
}

// ---- agreement with the storage side ------------------------------------------------

int CCLDBTableManager::IsDBClean(bool& clean) {
  static const char kName[] = "CCLDBTableManager::IsDBClean";
  bool dirty = false;
  if (!args.isAuxCopy) {
    Subclient subclient(args.cldbId);
    int value = 0;
    if (subclient.IsClientCacheDBDirty(value, nullptr) != 0) {
      Log(1, "%s [ERROR]Get Is-Client-Cache-DB-Dirty failed [AppId- %u ]", kName, args.cldbId);
      return -1;
    }
    dirty = value == 1;
    if (dirty) Log(1, "%s IsClientCacheDBDirty [AppId- %u ] returns %d", kName, args.cldbId, value);
  } else {
    const int jobId32 = static_cast<int>(static_cast<unsigned int>(args.jobId));
    ArMgrClientAPI archiveManager;
    bool copyClean = false;
    if (archiveManager.isCopyClientCacheDBClean(static_cast<unsigned int>(jobId32), args.cldbId,
                                                copyClean) != 0) {
      Log(1, "%s [ERROR]Get is-Copy-Client-Cache-DB-Clean failed [Job-Id - %d ][Copy id - %u]",
          kName, jobId32, args.cldbId);
      return -1;
    }
    dirty = !copyClean;
    if (dirty)
      Log(1, "%s isCopyClientCacheDBClean [Job-Id - %d ][Copy id - %u] returns %s", kName, jobId32,
          args.cldbId, "No");
  }
  clean = !dirty;
  return 0;
}

int CCLDBTableManager::ConfigureValidAfileList(unsigned long long newJobId, bool& offline) {
  static const char kName[] = "CCLDBTableManager::ConfigureValidAfileList";
  // Already configured for this job; a job id of 0 names the current job.
  if (newJobId == args.jobId && newJobId != 0 && tables->JobListLoaded()) return 0;
  if (newJobId != 0 && newJobId != args.jobId) {
    if (newJobId < args.jobId) {
      Log(0, "%s: [ERROR]New request from older job [Processing-job %llu][New-job %llu]", kName,
          static_cast<unsigned long long>(args.jobId), newJobId);
      return -1;
    }
    args.jobId = newJobId;
    // From here on, what the earlier job touched is checked against the
    // list loaded below, and nothing of it hits until that list is in.
    if (tables->StartNewJob(newJobId) != 0) {
      Log(1, "%s [ERROR]Starting job %llu failed", kName, newJobId);
      return -1;
    }
  }
  offline = false;

  unsigned int leastAFileId = 0;
  if (tables->GetLeastAFileId(leastAFileId) != 0) {
    Log(1, "%s [ERROR]Get-Least-AFileId", kName);
    return -1;
  }
  ListAfileIdByAppIdArgs_t request;
  request.jobId = static_cast<unsigned int>(args.jobId);
  request.appId = args.cldbId;
  request.copyId = args.copyId;
  request.SIDBStoreId = args.SIDBStoreId;
  request.oldestArchFileId = leastAFileId != 0 ? leastAFileId : kOldestAFileIdOfEmptyCLDB;
  Log(1,
      "%s Calling listAfileId  [Copy-id %u] [appId %u][JobID %u][oldestArchFileId %u]"
      "[SIDBStoreId %u]",
      kName, request.copyId, request.appId, request.jobId, request.oldestArchFileId,
      request.SIDBStoreId);

  ListAfileIdByAppIdRet_t reply;
  reply.retFlags = 0;
  ArMgrClientAPI archiveManager;
  const int status = archiveManager.listAfileIdByAppId(request, reply);
  if (status != 0) {
    Log(1, "%s [ERROR]listAfileId failed (%u)", kName, static_cast<unsigned int>(status));
    return -1;
  }
  std::vector<int>& ids = reply.afileIds;
  if (!ids.empty()) {
    Log(1, "%s listAfileId returned %lu items [%u to %u]", kName,
        static_cast<unsigned long>(ids.size()), static_cast<unsigned int>(ids.front()),
        static_cast<unsigned int>(ids.back()));
    if (leastAFileId == 0) {
      Log(1, "%s As it is a new CacheDB, clearing Valid AFlist", kName);
      ids.clear();
    }
  } else {
    Log(1, "%s listAfileId returned %lu items", kName, static_cast<unsigned long>(ids.size()));
  }
  if (reply.retFlags & ZELA_ANY_MOUNTPATH_OFFLINE_FLAG) {
    LogOfflineCopy(kName);
    offline = true;
  }
  return tables->SetValidAFileList(ids.empty() ? nullptr : ids.data(),
                                   static_cast<int>(ids.size()));
}

int CCLDBTableManager::ConfigureRecopiedAfileList(unsigned int /*copyId*/, bool& offline) {
  static const char kName[] = "CCLDBTableManager::ConfigureRecopiedAfileList";
  offline = false;
  MLMMessageInstance mediaManager;
  int status = mediaManager.Init(2, nullptr);
  if (status != 0) {
    Log(0, "%s: [ERROR] Cannot connect to MediaManager. Status [%d]", kName, status);
    return -1;
  }
  ZelMMIdxSIDBStoreInfo storeInfo(mediaManager);
  std::vector<MMAFToRecopy> recopied;
  int flags = 0;
  status = storeInfo.getAFsToRecopyForCopy(args.copyId, recopied, flags);
  if (status != 0) {
    Log(0, "%s [ERROR] [Copy-id - %u]  get AFs To Recopy failed (%u)", kName, args.copyId,
        static_cast<unsigned int>(status));
    return -1;
  }
  offline = (flags & 1) != 0;
  Log(0, "%s [Copy-id - %u]  Recopy List size - %lu [ret - %u] [Mount-path offline - %s]", kName,
      args.copyId, static_cast<unsigned long>(recopied.size()), static_cast<unsigned int>(status),
      offline ? "Yes" : "no");
  if (offline) LogOfflineCopy(kName);
  // An empty list is handed on as well: it is this job's list all the same.
  std::vector<int> ids;
  ids.reserve(recopied.size());
  for (const MMAFToRecopy& entry : recopied) ids.push_back(entry.afileId);
  return tables->SetRecopiedAFileList(ids.empty() ? nullptr : ids.data(),
                                      static_cast<int>(ids.size()));
}

void CCLDBTableManager::LogOfflineCopy(const char* kName) {
  [[maybe_unused]] EvEvent event;  // the host's event context for the call
  ArMgrClientAPI archiveManager;
  ZelPI_Hubmaster hubmaster;
  hubmaster.setFocus(ZelPI_Focus::getFocus());
  GetAgroupCopyInfoArgs_t request;
  request.copyId = args.copyId;
  request.hubcellId = hubmaster.getHubcellId();
  GetAgroupCopyInfoRet_t reply;
  const int status = archiveManager.getAgroupCopyInfo(request, reply);
  if (status != 0) {
    Log(1, "%s:getAgroupCopyInfo1[Copy-id %lu][HC ID- %lu] failed with %u ", kName,
        static_cast<unsigned long>(request.copyId), static_cast<unsigned long>(request.hubcellId),
        static_cast<unsigned int>(status));
    return;
  }
  Log(1,
      "%s List Afile-Id returned ZELA_ANY_MOUNTPATH_OFFLINE_FLAG. Found Mount path(s) offline "
      "[copy - %s]. CacheDB lookup is disabled here.",
      kName, reply.copyName.c_str());
}

void CCLDBTableManager::SetInactiveSubStoresID(std::vector<int>& ids) {
  for (int id : ids) {
    if (inactiveSubstores.emplace(id, 1).second) Log(1, "# Setting Inactive Substore %d", id);
  }
  if (!inactiveSubstores.empty()) tables->setInactiveSubstoresIdMap(&inactiveSubstores);
}
