// CCLDBTables: folder, lifecycle and state machine of one CLDB.
// Batch operations and pruning live in CLDBTablesOps.cpp, compaction and
// dump in CLDBTablesMaintenance.cpp.

#include "cldb/CLDBTables.h"

#include <errno.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "cldb/CLDBLog.h"
#include "cldb/CLDBNames.h"
#include "cldb/CLDBTime.h"
#include "platform/CTkFile.h"
#include "platform/Clock.h"
#include "platform/EvDebug.h"
#include "platform/MDLock.h"
#include "platform/StorageServices.h"
#include "platform/TCtreeTable.h"
#include "platform/ZelPlatformInfo.h"

using cldb::LogTo;

namespace {

using cldb::kTableBaseName;
// The claim a process holds while it has the CLDB open. The wipe never
// removes it: a process that holds it keeps the same file.
const char kClaimName[] = "Owner";
// The entries of a CLDB folder that a wipe removes: the table engine's files
// under kTableBaseName (data, seal, the lock file earlier versions of LMDB's
// use left, and the temporary files of a seal, a compaction and an upgrade)
// and State.xml with its temporary file.
const char* const kOwnedEntries[] = {
    "CacheTable.dat",         "CacheTable.idx",         "CacheTable.dat-lock", "CacheTable.idx.tmp",
    "CacheTable.dat.compact", "CacheTable.dat.upgrade", "State.xml",           "State.xml.tmp"};
using cldb::kMaxLeadSeconds;
const unsigned long kDefaultCompactIntervalDays = 15;
const unsigned long kMaxCompatibleDBSizeMB = 4096;

bool PathExists(const std::string& path) {
  bool exists = false;
  // An error of the test counts as "does not exist".
  return !CTkPath::Exists(path.c_str(), exists).IsError() && exists;
}

// A folder copy carries names without a '.', and names whose last extension
// is .dat, .xml or .idx in any case.
bool IsCLDBFileName(const char* name) {
  const char* dot = strrchr(name, '.');
  if (dot == nullptr) return true;
  return strcasecmp(dot, ".dat") == 0 || strcasecmp(dot, ".xml") == 0 ||
         strcasecmp(dot, ".idx") == 0;
}

}  // namespace

const char* cldb::RecreateReasonName(RecreateReason reason) {
  switch (reason) {
    case RecreateReason::kNone:
      return "none";
    case RecreateReason::kNew:
      return "new";
    case RecreateReason::kDirty:
      return "dirty";
    case RecreateReason::kUnclosed:
      return "unclosed";
    case RecreateReason::kDamaged:
      return "damaged";
    case RecreateReason::kOtherStore:
      return "other_store";
    case RecreateReason::kIncompatible:
      return "incompatible";
  }
  return "unknown";
}

CCLDBTables::CCLDBTables() = default;
CCLDBTables::~CCLDBTables() = default;

int CCLDBTables::Initialize(unsigned int copyId, unsigned long long jobIdIn, const char* rootPath,
                            unsigned int SIDBStoreIdIn, unsigned int cldbIdIn, EvDebug* evDebugIn,
                            int sigTypeIn, unsigned int nAgeIn, unsigned int expiryDaysIn,
                            bool isAuxCopyIn, unsigned int extraExpiryDaysIn,
                            unsigned int backupStartTimeIn, unsigned int dbSizeMBIn) {
  static const char kName[] = "CCLDBTables::initialize";
  evDebug = evDebugIn;
  if (opened) {
    LogTo(evDebug, -1, "%s: CacheTable already opened", kName);
    return -1;
  }
  // The folder name is built from the root's last character; an empty root
  // has none and would name a folder relative to the working directory.
  if (rootPath == nullptr || rootPath[0] == '\0') {
    LogTo(evDebug, -1, "%s: [ERROR] Empty CLDB root folder", kName);
    return -1;
  }
  dbSizeMB = dbSizeMBIn;
  LogTo(evDebug, -1,
        "%s: []Copyid - %u] [Job-ID - %llu][CLDB-Path - %s][SIDB-ID - %u][CLDB-ID - %u]"
        "[Sig-type - %d][nAge - %u][Expirydays - %u][AuxCopy - %s][Backup-start time - %u] "
        "[DBSizeMB - %u]",
        kName, copyId, jobIdIn, rootPath, SIDBStoreIdIn, cldbIdIn, sigTypeIn, nAgeIn, expiryDaysIn,
        isAuxCopyIn ? "Yes" : "No", backupStartTimeIn, dbSizeMBIn);

  jobId = jobIdIn;
  SIDBStoreId = SIDBStoreIdIn;
  cldbId = cldbIdIn;
  sigType = sigTypeIn;
  nAge = nAgeIn;
  expiryDays = expiryDaysIn;
  isAuxCopy = isAuxCopyIn;
  extraExpiryDays = extraExpiryDaysIn;
  backupStartTime = backupStartTimeIn;

  cldbPath = rootPath;
  if (cldbPath.back() != '/') cldbPath += '/';
  if (isAuxCopy) {
    cldbPath += cldb::AuxFolderName(cldbId);
  } else {
    const std::string oldPath = cldbPath + cldb::kClientFolderPrefix + std::to_string(cldbId);
    cldbPath += cldb::ClientFolderName(cldbId, copyId);
    if (PathExists(oldPath) && MigrateFrom(oldPath) != 0) return -1;
  }
  return cacheTable.Initialize(1, sigType, evDebug, nAge, expiryDays, backupStartTime, isAuxCopy);
}

// Carries a client CLDB of the earlier layout over to cldbPath. The copy
// runs under the claim of the new folder: it must never write under a
// process that has that CLDB open (one whose own migration could not remove
// the old folder, say).
int CCLDBTables::MigrateFrom(const std::string& oldPath) {
  static const char kName[] = "CCLDBTables::initialize";
  LogTo(evDebug, -1, "%s: Found older version of CLDB at [%s]", kName, oldPath.c_str());
  LogTo(evDebug, -1, "%s: Moving CLDB to [%s]", kName, cldbPath.c_str());
  if (ClaimFolder(kName, true) != 0) return inUse ? 0 : -1;  // the holder migrates it
  if (MoveCLDB(oldPath.c_str(), cldbPath.c_str()) == 0) {
    SealMovedTable(oldPath, kName);
    LogTo(evDebug, -1, "%s: Moving CLDB Completed..deleting old CLDB", kName);
    CTkError err = CTkDirectory::Remove(oldPath.c_str(), true, false);
    if (err.IsError())
      LogTo(evDebug, -1, "%s: Error in Deleting CLDB [%s]. Error [%s][%d]", kName, oldPath.c_str(),
            err.AsString(), err.GetErrorCode());
    else
      LogTo(evDebug, -1, "%s: Deleting completed", kName);
  } else {
    LogTo(evDebug, -1, "%s: [ERROR] Moving CLDB Failed", kName);
  }
  ReleaseClaim();
  return 0;
}

// The table's seal names the file it was written for; the copy gets one of
// its own once it is found to hold exactly what the old seal vouched for.
// Without it the copy is refused at open, and the CLDB made anew.
void CCLDBTables::SealMovedTable(const std::string& oldPath, const char* name) {
  const std::string copy = cldbPath + "/" + kTableBaseName;
  const std::string original = oldPath + "/" + kTableBaseName;
  if (cacheTable.initialize(copy.c_str()) != 0 || cacheTable.SealAsCopyOf(original.c_str()) != 0)
    LogTo(evDebug, -1,
          "%s: [ERROR] The moved CacheTable (%s) is not vouched for; it will be made anew", name,
          cldbPath.c_str());
}

// The CLDB folder must be a real folder of this user that no one else may
// write; a missing one is made (mode 0700) when `create` is set. Then the
// claim is taken without waiting: 0, -1 (`inUse` set when another process
// holds it), or kClaimUnavailable when the claim file cannot be opened.
int CCLDBTables::ClaimFolder(const char* name, bool create) {
  const char* path = cldbPath.c_str();
  inUse = false;
  struct stat st;
  if (create && lstat(path, &st) != 0) {
    CTkError err = CTkDirectory::Create(path, true);
    if (err.IsError()) {
      LogTo(evDebug, -1, "%s: mkdr(%s), error=%s", name, path, err.AsString());
      return -1;
    }
  }
  const char* refusal = FolderRefusal(path);
  if (refusal != nullptr) {
    LogTo(evDebug, -1, "%s: [ERROR] CLDB folder (%s) refused: %s", name, path, refusal);
    return -1;
  }
  if (!claim || claimPath != cldbPath) {
    claim.reset();  // never two descriptions of one claim file in one object
    claim = std::make_unique<MDLock>(path, kClaimName);
    claimPath = cldbPath;
  }
  if (!claim->IsValid()) {
    LogTo(evDebug, -1, "%s: [ERROR] Cannot claim the CLDB (%s): %s", name, path,
          claim->Error().c_str());
    return kClaimUnavailable;
  }
  if (!claim->set(0)) {
    inUse = true;
    LogTo(evDebug, -1, "%s: [ERROR] CLDB (%s) is in use by another process", name, path);
    return -1;
  }
  return 0;
}

void CCLDBTables::ReleaseClaim() {
  if (claim) claim->unset();
}

// The table engine opens its files by name: a link, a FIFO or a folder in
// the place of one must go (the wipe removes it) before it is ever opened.
bool CCLDBTables::OwnEntriesArePlainFiles(const char* name) {
  for (const char* entry : kOwnedEntries) {
    const std::string path = cldbPath + "/" + entry;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) continue;
    LogTo(evDebug, -1, "%s: [ERROR] %s is not a regular file", name, path.c_str());
    return false;
  }
  return true;
}

// Why the existing `path` cannot serve as a CLDB folder, or nullptr. Write
// access for others is taken away rather than refused.
const char* CCLDBTables::FolderRefusal(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0) return strerror(errno);
  if (S_ISLNK(st.st_mode)) return "it is a symbolic link";
  if (!S_ISDIR(st.st_mode)) return "it is not a folder";
  if (st.st_uid != geteuid()) return "it belongs to another user";
  if ((st.st_mode & 022) != 0 && chmod(path, st.st_mode & 07755) != 0 && errno != EROFS)
    return "others may write to it";
  return nullptr;
}

bool CCLDBTables::VerifyState(unsigned int SIDBStoreIdIn, bool& stateFoundUnclosed) {
  const cldb::RecreateReason verdict = StateVerdict(SIDBStoreIdIn);
  stateFoundUnclosed = verdict == cldb::RecreateReason::kUnclosed;
  return verdict == cldb::RecreateReason::kNone;
}

cldb::RecreateReason CCLDBTables::StateVerdict(unsigned int SIDBStoreIdIn) {
  static const char kName[] = "CCLDBTables::VerifyState";
  using cldb::RecreateReason;
  const char* path = cldbPath.c_str();

  unsigned int state = 0;
  if (stateFile.GetState(state) != 0) {
    LogTo(evDebug, -1, "%s: Get State [%s] Failed", kName, path);
    return RecreateReason::kDamaged;
  }
  if (state == CLDB_STATE_OPENED) {
    LogTo(evDebug, -1,
          "%s: State found opened [%s] Previous session terminated without closing CLDB...", kName,
          path);
    return RecreateReason::kUnclosed;
  }
  if (state != CLDB_STATE_CLOSED) {
    LogTo(evDebug, -1,
          "%s: State found uninitialized [%s] Previous session terminated without completeing "
          "Initialize-CLDB...",
          kName, path);
    return RecreateReason::kUnclosed;
  }

  unsigned int version = 0;
  if (stateFile.GetVersion(version) != 0) {
    LogTo(evDebug, -1, "%s: Get Version [%s] Failed", kName, path);
    return RecreateReason::kDamaged;
  }
  unsigned long maxSizeMB = 0;
  if (ZelPlatformInfo::getNumber(cldb::ConfigSection(isAuxCopy), "MaxCacheDBSizeMB", &maxSizeMB) &&
      maxSizeMB > kMaxCompatibleDBSizeMB && version == 1) {
    LogTo(evDebug, -1,
          "%s: Found MaxCacheDBSizeMB override key. Setting Max-DB-Size to to %lu MB which is not "
          "compatible with CLDB version is %d.",
          kName, maxSizeMB, version);
    LogTo(evDebug, -1, "%s: Clearing existing cache and creating new version - %u", kName,
          CLDB_VERSION);
    return RecreateReason::kIncompatible;
  }

  unsigned int storedStoreId = 0;
  if (stateFile.GetSIDBStoreID(storedStoreId) != 0) {
    LogTo(evDebug, -1, "%s: Get SIDBID [%s] Failed", kName, path);
    return RecreateReason::kDamaged;
  }
  if (storedStoreId != SIDBStoreIdIn) {
    LogTo(evDebug, -1, "%s: Found SIDB id Mismatched [%s][StateFile - %u][Incoming - %u]", kName,
          path, storedStoreId, SIDBStoreIdIn);
    return RecreateReason::kOtherStore;
  }
  return RecreateReason::kNone;
}

int CCLDBTables::Create() { return CreateFor(cldb::RecreateReason::kDirty); }

int CCLDBTables::CreateFor(cldb::RecreateReason reason) {
  static const char kName[] = "CCLDBTables::Create";
  const char* path = cldbPath.c_str();
  recreated = cldb::RecreateReason::kNone;
  if (ClaimFolder(kName, true) != 0) return -1;
  recreated = HoldsCLDBFiles() ? reason : cldb::RecreateReason::kNew;
  int rc = CreateClaimed();
  if (rc != 0) {
    // Nothing stays open behind a failed creation, so a retry can succeed.
    cacheTable.close();
    ReleaseClaim();
    LogTo(evDebug, -1, "%s: CLDB (%s) not created", kName, path);
  }
  return rc;
}

// Whether anything of a CLDB is in its folder: its state or its table, in
// whatever form.
bool CCLDBTables::HoldsCLDBFiles() const {
  for (const char* entry : kOwnedEntries) {
    struct stat st;
    if (lstat((cldbPath + "/" + entry).c_str(), &st) == 0) return true;
  }
  return false;
}

int CCLDBTables::CreateClaimed() {
  static const char kName[] = "CCLDBTables::Create";
  const char* path = cldbPath.c_str();
  if (DeleteCLDB() != 0) return -1;
  const std::string tablePath = cldbPath + "/" + kTableBaseName;
  int rc = cacheTable.initialize(tablePath.c_str());
  if (rc != 0) {
    LogTo(evDebug, -1, "%s: CacheTable initialization (%s) Failed", kName, path);
    return rc;
  }
  rc = cacheTable.create();
  if (rc != 0) {
    LogTo(evDebug, -1, "%s: CacheTable creation (%s) Failed", kName, path);
    return rc;
  }
  cacheTable.StartJob(backupStartTime);  // an empty table has no stamps to stay past
  if (CreateStatFile() != 0) {
    LogTo(evDebug, -1, "%s: Stat file creation (%s) Failed", kName, path);
    return -1;
  }
  opened = true;
  return 0;
}

int CCLDBTables::CreateStatFile() {
  static const char kName[] = "CCLDBTables::CreateStatFile";
  stateFile.Initialize(cldbId, evDebug, cldbPath.c_str());
  if (stateFile.Create(SIDBStoreId) != 0) {
    LogTo(evDebug, -1, "[ERROR]%s: StateFile crattion [%s] Failed", kName, cldbPath.c_str());
    stateFile.Uninitialize();
    return -1;
  }
  return 0;
}

int CCLDBTables::SetState(unsigned int state) {
  static const char kName[] = "CCLDBTables::SetState";
  if (stateFile.SetState(state) != 0) {
    LogTo(evDebug, -1, "[ERROR]%s: SetState [%s] Failed", kName, cldbPath.c_str());
    return -1;
  }
  return 0;
}

int CCLDBTables::Open() {
  static const char kName[] = "CCLDBTables::Open()";
  const char* path = cldbPath.c_str();
  if (opened) {
    LogTo(evDebug, -1, "%s: CacheTable already opened (%s)", kName, path);
    return -1;
  }
  recreated = cldb::RecreateReason::kNone;
  if (ClaimFolder(kName, true) != 0) return -1;
  stateFile.Initialize(cldbId, evDebug, path);
  // Read first: every access stamps a new LastAccessTime.
  unsigned int stampFloor = 0;
  const bool floorKnown = stateFile.GetStampFloor(stampFloor) == 0;
  int rc = 0;
  cldb::RecreateReason verdict = StateVerdict(SIDBStoreId);
  if (verdict == cldb::RecreateReason::kNone && !floorKnown) {
    LogTo(evDebug, -1, "%s: [ERROR] Times of State.xml (%s) unreadable", kName, path);
    verdict = cldb::RecreateReason::kDamaged;
  }
  if (verdict == cldb::RecreateReason::kNone && !OwnEntriesArePlainFiles(kName))
    verdict = cldb::RecreateReason::kDamaged;
  if (verdict != cldb::RecreateReason::kNone) {
    if (verdict == cldb::RecreateReason::kUnclosed) {
      LogTo(evDebug, -1,
            "%s:State found opened. Previous session has been terminated without closing "
            "CacheDB... ",
            kName);
      LogTo(evDebug, -1, "%s: creating new CacheDB(%s)", kName, path);
    }
    LogTo(evDebug, -1, "%s: Creating CacheTable...version - %u (%s)", kName, CLDB_VERSION, path);
    rc = CreateFor(verdict);
    if (rc != 0) LogTo(evDebug, -1, "%s: CacheTable creation1 (%s) Failed", kName, path);
  } else {
    const std::string tablePath = cldbPath + "/" + kTableBaseName;
    rc = cacheTable.initialize(tablePath.c_str());
    if (rc != 0) {
      LogTo(evDebug, -1, "%s: CacheTable initialization (%s) Failed", kName, path);
    } else {
      rc = cacheTable.Open(ZelIndexing::kReadWrite);
      if (rc == 0 && (rc = StartJobPast(stampFloor, backupStartTime, kName)) != 0)
        cacheTable.close();
      if (rc != 0) {
        LogTo(evDebug, -1, "%s:[ERROR]CacheTable Open (%s) Failed", kName, path);
        LogTo(evDebug, -1, "%s:It may be corrupted so Creating new CacheDB (%s)", kName, path);
        rc = CreateFor(cldb::RecreateReason::kDamaged);
        if (rc != 0) LogTo(evDebug, -1, "%s: CacheTable creation2 (%s) Failed", kName, path);
      }
    }
  }
  if (rc != 0) {
    stateFile.Uninitialize();
    pruningInProgress.store(false, std::memory_order_release);
    ReleaseClaim();
    return rc;
  }
  if (SetState(CLDB_STATE_OPENED) != 0) {
    LogTo(evDebug, -1, "%s: set Stat file status (%s) Failed", kName, path);
    // Nothing stays open behind a failed open.
    cacheTable.close();
    stateFile.Uninitialize();
    opened = false;
    ReleaseClaim();
    return -1;
  }
  LogTo(evDebug, -1, "%s: CacheTable opened successfully [%s]", kName, path);
  LogTo(evDebug, -1, "%s: RecordCount (%llu)", kName,
        static_cast<unsigned long long>(cacheTable.getRecordCount()));
  opened = true;
  pruningInProgress.store(false, std::memory_order_release);
  return 0;
}

// Starts the job at `requested`, or past every stamp the table holds
// (`floor`) when that is later: each record of an earlier job is then
// checked against this job's list, however the clock moved in between. When
// the clock lies far behind the floor (it was set back after running
// ahead), the stamps ahead of it are lowered to just before now instead, so
// that the CLDB's time does not run ahead of the clock for long. Should the
// lowering fail, the job still starts past the floor, and the failure is
// returned.
int CCLDBTables::StartJobPast(uint32_t floor, uint32_t requested, const char* name) {
  const uint32_t now = ZelNow32();
  int rc = 0;
  if (cldb::Before(now + kMaxLeadSeconds, floor)) {
    LogTo(evDebug, -1,
          "%s: Newest stamp [%u] lies ahead of the clock [%u]; lowering later stamps (%s)", name,
          floor, now, cldbPath.c_str());
    cldb::TCtreeBatch batch(cacheTable);
    rc = cacheTable.LowerStampsAfter(now - 1);
    if (rc == 0) rc = CommitBatch(batch, name);
    if (rc == 0) floor = now - 1;
  }
  cacheTable.StartJob(cldb::Later(requested, floor + 1));
  if (cacheTable.JobStart() != requested)
    LogTo(evDebug, -1, "%s: Job starts at [%u] after the CLDB's newest stamp [%u]", name,
          cacheTable.JobStart(), floor);
  return rc;
}

int CCLDBTables::StartNewJob(unsigned long long newJobId) {
  static const char kName[] = "CCLDBTables::StartNewJob";
  ZelCriticalSectionGuard guard(lock);
  jobId = newJobId;
  const int rc = StartJobPast(cacheTable.NewestStamp(), ZelNow32(), kName);
  LogTo(evDebug, -1, "%s: Job %llu starts at [%u] -[%s]", kName, newJobId, cacheTable.JobStart(),
        cldbPath.c_str());
  return rc;
}

bool CCLDBTables::CompactionDue(unsigned int now) {
  static const char kName[] = "CCLDBTables::Close()";
  unsigned long intervalDays = 0;
  if (!ZelPlatformInfo::getNumber("Courier", "CLDBCompactIntervalDays", &intervalDays))
    ZelPlatformInfo::getNumber("Warden", "CLDBCompactIntervalDays", &intervalDays);
  if (intervalDays == 0) intervalDays = kDefaultCompactIntervalDays;

  unsigned int lastCompact = 0;
  if (stateFile.GetLastCompactTime(lastCompact) != 0) {
    LogTo(evDebug, -1, "%s: LastCompactTime (%s) Failed", kName, cldbPath.c_str());
    return false;
  }
  // Unsigned: a last compaction in the future wraps to a huge age and is due.
  const unsigned int daysElapsed = (now - lastCompact) / cldb::kSecondsPerDay;
  LogTo(evDebug, -1, "%s: Compact [days-configured - %lu][days-elapsed- %u]", kName, intervalDays,
        daysElapsed);
  return daysElapsed >= intervalDays || extraExpiryDays != 0;
}

int CCLDBTables::Close(bool allowCompaction) {
  static const char kName[] = "CCLDBTables::Close()";
  const unsigned int now = ZelNow32();
  if (!opened) return 0;
  ZelCriticalSectionGuard guard(lock);
  const char* path = cldbPath.c_str();

  if (ZelPlatformInfo::IsCloudLaptopClient() == 1) {
    unsigned int leastAFileId = 0;
    if (GetLeastAFileId(leastAFileId) != 0)
      LogTo(evDebug, -1, "%s: [ERROR]getting CachDB-LastArchFileId Failed", kName);
    else if (!ArMgrCacheInfo::setCachDBLastArchFileId(cldbId, jobId, leastAFileId))
      LogTo(evDebug, -1, "%s: [ERROR]Setting CachDB-LastArchFileId Failed", kName);
  }

  const unsigned long long recordCount =
      static_cast<unsigned long long>(cacheTable.getRecordCount());
  LogTo(evDebug, -1, "%s: Setting RecordCount (%llu)", kName, recordCount);
  if (stateFile.SetRecordCount(recordCount) != 0)
    LogTo(evDebug, -1, "%s: Set RecordCount (%s) Failed", kName, path);

  // The engine syncs everything committed before close returns, so the
  // state recorded below never claims more than the disk holds. A close
  // that failed left the table closed but unsealed: the state stays open,
  // so the next Open makes the CLDB anew, and there is nothing left to close.
  if (cacheTable.close() != 0) {
    LogTo(evDebug, -1, "%s: [ERROR] CacheTable close (%s) Failed", kName, path);
    stateFile.Uninitialize();
    opened = false;
    ReleaseClaim();
    return -1;
  }

  if (dbSizeMB > kMaxCompatibleDBSizeMB) allowCompaction = false;
  if (allowCompaction && CompactionDue(now)) {
    cacheTable.MakeCompactDB();
    if (stateFile.SetLastCompactTime(now) != 0)
      LogTo(evDebug, -1, "%s: Set LastCompactTime (%s) Failed", kName, path);
  }

  // The next job must start past every stamp of this session; a CLDB whose
  // newest stamp is not on record is not recorded closed either.
  if (stateFile.SetNewestStamp(cacheTable.NewestStamp()) != 0) {
    LogTo(evDebug, -1, "%s: Set NewestStamp (%s) Failed", kName, path);
  } else if (SetState(CLDB_STATE_CLOSED) == 0) {
    stateFile.Uninitialize();
    opened = false;
    ReleaseClaim();
    return 0;
  }
  LogTo(evDebug, -1, "%s: Set State (%s) Failed", kName, path);
  stateFile.Uninitialize();
  return -1;
}

int CCLDBTables::CloseDB() {
  ZelCriticalSectionGuard guard(lock);
  cacheTable.close();
  return 0;
}

int CCLDBTables::GetLeastAFileId(unsigned int& afileId) {
  static const char kName[] = "CCLDBTables::GetLeastAFileId()";
  if (!opened) {
    LogTo(evDebug, -1, "%s:[ERROR] CacheTable Not yet opened", kName);
    return -1;
  }
  ZelCriticalSectionGuard guard(lock);
  return cacheTable.GetLeastAFileId(afileId);
}

int CCLDBTables::DeleteCLDB() {
  static const char kName[] = "CCLDBTables::DeleteCLDBFiles()";
  const char* path = cldbPath.c_str();
  if (opened) {
    LogTo(evDebug, -1, "%s File is in open state unable to delete(%s)", kName, path);
    return -1;
  }
  const std::vector<std::string> owned(std::begin(kOwnedEntries), std::end(kOwnedEntries));
  CTkError err = CTkDirectory::RemoveNamed(path, owned);
  if (err.IsError()) {
    LogTo(evDebug, -1, "[ERROR]%s: Remove CLDB files (%s) Failed, error=%s", kName, path,
          err.AsString());
    return -1;
  }
  return 0;
}

int CCLDBTables::MoveCLDB(const char* source, const char* destination) {
  static const char kName[] = "CCLDBTables::MoveCLDB";
  CTkError err = CTkDirectory::Walk(source, const_cast<char*>(destination), 0, false,
                                    &CCLDBTables::CopyWalkerStatic);
  if (err.IsError()) {
    LogTo(evDebug, -1, "%s: Error in walking the database path [%s]. Error [%s][%d]", kName, source,
          err.AsString(), err.GetErrorCode());
    return -1;
  }
  return 0;
}

CTkError CCLDBTables::CopyWalkerStatic(const char* folder, const char* name, bool /*isDirectory*/,
                                       void* destination) {
  if (!IsCLDBFileName(name)) return CTkError();
  CTkString source = CTkPath::Append(folder, name);
  if (CTkPath::IsDirectory(source.c_str())) return CTkError();
  CTkString target = CTkPath::Append(static_cast<const char*>(destination), name);
  return CTkFile::Copy(source.c_str(), target.c_str());
}
