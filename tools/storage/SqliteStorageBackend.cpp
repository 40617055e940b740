#include "storage/SqliteStorageBackend.h"

#include <algorithm>
#include <climits>

#include "platform/Clock.h"
#include "storage/PackFormat.h"
#include "storage/RootFolder.h"

using cldb::Query;

namespace cldb {

namespace {

const char kNextJobId[] = "next_job_id";
const char kNextAFileId[] = "next_afile_id";

const char kGetMeta[] = "SELECT value FROM meta WHERE key = ?1";
const char kSetMeta[] = "UPDATE meta SET value = ?2 WHERE key = ?1";
const char kGetClientDirty[] = "SELECT dirty FROM client_cldbs WHERE app_id = ?1 AND copy_id = ?2";
const char kSetClientDirty[] =
    "INSERT INTO client_cldbs(app_id, copy_id, dirty) VALUES (?1, ?2, ?3)"
    " ON CONFLICT(app_id, copy_id) DO UPDATE SET dirty = excluded.dirty";
const char kSetClientDirtyAllCopies[] = "UPDATE client_cldbs SET dirty = ?2 WHERE app_id = ?1";
const char kListClientCopies[] = "SELECT copy_id FROM client_cldbs WHERE app_id = ?1";
const char kListCopyClients[] =
    "SELECT app_id FROM client_cldbs WHERE copy_id = ?1"
    " UNION SELECT app_id FROM jobs WHERE copy_id = ?1 AND aux = 0"
    " UNION SELECT app_id FROM afiles WHERE copy_id = ?1";
const char kGetCopy[] = "SELECT name, clean, offline FROM copies WHERE copy_id = ?1";
const char kSetCopyName[] =
    "INSERT INTO copies(copy_id, name) VALUES (?1, nullif(?2, ''))"
    " ON CONFLICT(copy_id) DO UPDATE SET name = excluded.name";
const char kSetCopyClean[] =
    "INSERT INTO copies(copy_id, clean) VALUES (?1, ?2)"
    " ON CONFLICT(copy_id) DO UPDATE SET clean = excluded.clean";
const char kSetCopyOffline[] =
    "INSERT INTO copies(copy_id, offline) VALUES (?1, ?2)"
    " ON CONFLICT(copy_id) DO UPDATE SET offline = excluded.offline";
const char kListRecopied[] = "SELECT afile_id FROM recopied WHERE copy_id = ?1 ORDER BY afile_id";
const char kClearRecopied[] = "DELETE FROM recopied WHERE copy_id = ?1";
const char kAddRecopied[] = "INSERT OR IGNORE INTO recopied(copy_id, afile_id) VALUES (?1, ?2)";
const char kGetLeastAFile[] = "SELECT afile_id, job_id FROM least_afiles WHERE cldb_id = ?1";
const char kSetLeastAFile[] =
    "INSERT INTO least_afiles(cldb_id, job_id, afile_id, report_time) VALUES (?1, ?2, ?3, ?4)"
    " ON CONFLICT(cldb_id) DO UPDATE SET job_id = excluded.job_id,"
    " afile_id = excluded.afile_id, report_time = excluded.report_time";
const char kInsertJob[] =
    "INSERT INTO jobs(job_id, app_id, copy_id, aux, start_time, kind)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6)";
const char kEndJob[] = "UPDATE jobs SET end_time = ?2, status = ?3 WHERE job_id = ?1";
// Every job (?1 = 0), or one.
const char kListJobs[] =
    "SELECT j.job_id, j.app_id, j.copy_id, j.aux, j.start_time, j.end_time, j.status, j.live,"
    " j.block_size, count(a.afile_id), coalesce(sum(a.blocks), 0), coalesce(sum(a.bytes), 0),"
    " coalesce(sum(a.pack_end), 0), j.kind FROM jobs j LEFT JOIN afiles a ON a.job_id = j.job_id"
    " WHERE ?1 = 0 OR j.job_id = ?1 GROUP BY j.job_id ORDER BY j.job_id";
const char kRunningJobIds[] = "SELECT job_id FROM jobs WHERE end_time IS NULL ORDER BY job_id";
const char kDeleteJob[] = "DELETE FROM jobs WHERE job_id = ?1";
const char kRetireJob[] = "UPDATE jobs SET live = 0 WHERE job_id = ?1";
const char kRetireJobAFiles[] = "UPDATE afiles SET live = 0 WHERE job_id = ?1";
const char kDeleteJobRefs[] =
    "DELETE FROM refs WHERE afile_id IN (SELECT afile_id FROM afiles WHERE job_id = ?1)";
const char kDeleteJobEntries[] = "DELETE FROM entries WHERE job_id = ?1";
const char kInsertAFile[] =
    "INSERT INTO afiles(afile_id, job_id, app_id, copy_id, create_time)"
    " VALUES (?1, ?2, ?3, ?4, ?5)";
// The valid ones: of a live job, referencing nothing lost.
const char kListValidAFileIds[] =
    "SELECT afile_id FROM afiles WHERE app_id = ?1 AND copy_id = ?2 AND afile_id >= ?3"
    " AND live = 1 AND broken = 0 ORDER BY afile_id";
const char kListAFiles[] =
    "SELECT afile_id, job_id, create_time, live, broken, lost, blocks, bytes, pack_end"
    " FROM afiles WHERE app_id = ?1 AND copy_id = ?2 ORDER BY afile_id";
const char kGetAFileCopy[] = "SELECT copy_id FROM afiles WHERE afile_id = ?1";
// An archive file that still has its pack: its generation, and whether it is live.
const char kGetHeldAFile[] = "SELECT pack_gen, live FROM afiles WHERE afile_id = ?1 AND lost = 0";
// Archive files on the copy that reference a block of which `afile` holds
// the last copy on the copy.
const char kBreakReferencesTo[] =
    "UPDATE afiles SET broken = 1 WHERE copy_id = ?2 AND afile_id IN ("
    " SELECT r.afile_id FROM stored s JOIN refs r ON r.digest = s.digest AND r.size = s.size"
    " WHERE s.afile_id = ?1 AND NOT EXISTS (SELECT 1 FROM stored o JOIN afiles a"
    "  ON a.afile_id = o.afile_id WHERE o.digest = s.digest AND o.size = s.size"
    "  AND o.afile_id != ?1 AND a.copy_id = ?2))";
// What a lost archive file of a live job held, its job still needs.
const char kStoredBecomeRefs[] =
    "INSERT OR IGNORE INTO refs(digest, size, afile_id)"
    " SELECT digest, size, afile_id FROM stored WHERE afile_id = ?1";
const char kMarkLost[] =
    "UPDATE afiles SET broken = 1, lost = 1, blocks = 0, bytes = 0, pack_end = 0"
    " WHERE afile_id = ?1";
const char kDeleteAFileStored[] = "DELETE FROM stored WHERE afile_id = ?1";
const char kDeleteAFileRefs[] = "DELETE FROM refs WHERE afile_id = ?1";
const char kDeleteAFile[] = "DELETE FROM afiles WHERE afile_id = ?1";

// Columns of the kGetCopy row.
enum CopyColumn { kCopyName, kCopyClean, kCopyOffline };

// The folder name of the CLDB a job runs on.
std::string CldbOf(const SqliteStorageBackend::JobInfo& job) {
  return job.aux ? cldb::AuxCldbFolderName(job.copyId)
                 : cldb::ClientCldbFolderName(job.appId, job.copyId);
}

SqliteStorageBackend::JobInfo JobOf(const Query& row) {
  SqliteStorageBackend::JobInfo job;
  job.jobId = static_cast<uint32_t>(row.Int(0));
  job.appId = static_cast<uint32_t>(row.Int(1));
  job.copyId = static_cast<uint32_t>(row.Int(2));
  job.aux = row.Int(3) != 0;
  job.startTime = static_cast<uint32_t>(row.Int(4));
  job.ended = !row.IsNull(5);
  job.endTime = static_cast<uint32_t>(row.Int(5));
  job.status = static_cast<int>(row.Int(6));
  job.live = row.Int(7) != 0;
  job.blockSize = static_cast<uint32_t>(row.Int(8));
  job.archiveFiles = static_cast<uint32_t>(row.Int(9));
  job.blocks = static_cast<uint64_t>(row.Int(10));
  job.bytes = static_cast<uint64_t>(row.Int(11));
  job.packBytes = static_cast<uint64_t>(row.Int(12));
  job.kind = row.Int(13) == static_cast<int>(SqliteStorageBackend::JobKind::kPrune)
                 ? SqliteStorageBackend::JobKind::kPrune
                 : SqliteStorageBackend::JobKind::kBackup;
  return job;
}

}  // namespace

// Locks of CLDBs of the root, held until destruction, taken so that no job
// uses those CLDBs while the storage side changes what they may trust.
class SqliteStorageBackend::CldbLocks {
 public:
  explicit CldbLocks(const std::string& root) : root_(root) {}

  // Takes the lock of the CLDB folder `name` too: 0 once held, kInUse when
  // a job holds it, -1 when its lock file cannot be used; `error` says why.
  int Take(const std::string& name, std::string& error) {
    locks_.push_back(std::make_unique<cldb::CldbFolderLock>(root_ + "/" + name));
    if (locks_.back()->TryLock()) return 0;
    error = locks_.back()->Error();
    if (!error.empty()) return -1;
    error = "the CLDB " + name + " is in use by a running job; try again once it has ended";
    return kInUse;
  }

 private:
  const std::string root_;
  std::vector<std::unique_ptr<cldb::CldbFolderLock>> locks_;
};

// ---- opening and closing ---------------------------------------------------

std::unique_ptr<SqliteStorageBackend> SqliteStorageBackend::Open(const std::string& rootFolder,
                                                                 std::string& error) {
  return Open(rootFolder, Options(), error);
}

std::unique_ptr<SqliteStorageBackend> SqliteStorageBackend::Open(const std::string& rootFolder,
                                                                 const Options& options,
                                                                 std::string& error) {
  const std::string problem = options.readOnly ? "" : cldb::MakePrivateFolders(rootFolder);
  if (!problem.empty()) {
    error = "cannot create folder " + rootFolder + ": " + problem;
    return nullptr;
  }
  const std::string path = rootFolder + "/" + kFileName;
  std::unique_ptr<cldb::Database> db =
      cldb::Database::Open(path, options.busyTimeoutMs, error, options.readOnly);
  int64_t hubcellId = 0;
  bool found = false;
  if (db && (db->ReadInt(kGetMeta, hubcellId, found, "hubcell_id") != 0 || !found)) {
    error = "the installation-domain id is missing";
    db.reset();
  }
  if (!db) {
    error = path + ": " + error;
    return nullptr;
  }
  std::unique_ptr<cldb::PackFolder> packs;
  if (!options.readOnly && !(packs = cldb::PackFolder::Open(rootFolder, error))) return nullptr;
  return std::unique_ptr<SqliteStorageBackend>(new SqliteStorageBackend(
      std::move(db), std::move(packs), rootFolder, static_cast<unsigned long long>(hubcellId)));
}

SqliteStorageBackend::SqliteStorageBackend(std::unique_ptr<cldb::Database> db,
                                           std::unique_ptr<cldb::PackFolder> packs,
                                           std::string rootFolder, unsigned long long hubcellId)
    : db_(std::move(db)),
      packs_(std::move(packs)),
      root_(std::move(rootFolder)),
      path_(root_ + "/" + kFileName),
      hubcellId_(hubcellId) {}

SqliteStorageBackend::~SqliteStorageBackend() = default;

// ---- helpers ---------------------------------------------------------------

int SqliteStorageBackend::AllocateId(const char* counter, const char* what, uint32_t limit,
                                     uint32_t& id) {
  int64_t next = 0;
  bool found = false;
  if (db_->ReadInt(kGetMeta, next, found, std::string(counter)) != 0) return -1;
  if (!found) return Fail(std::string(counter) + " is missing");
  if (next < 1 || next > limit) return Fail(std::string("no ") + what + " id is left");
  if (db_->Run(kSetMeta, std::string(counter), next + 1) != 0) return -1;
  id = static_cast<uint32_t>(next);
  return 0;
}

int SqliteStorageBackend::ReadJob(uint32_t jobId, JobInfo& job) {
  Query query(db_->Statement(kListJobs), jobId);
  const int rc = query.Step();
  if (rc == SQLITE_DONE) {
    Fail("no job " + std::to_string(jobId));
    return kUnknown;
  }
  if (rc != SQLITE_ROW) return db_->FailSqlite();
  job = JobOf(query);
  return 0;
}

int SqliteStorageBackend::GetRunningJob(uint32_t jobId, uint32_t& appId, uint32_t& copyId) {
  JobInfo job;
  if (ReadJob(jobId, job) != 0) return -1;
  if (job.ended) return Fail("job " + std::to_string(jobId) + " has ended");
  appId = job.appId;
  copyId = job.copyId;
  return 0;
}

int SqliteStorageBackend::CopyFlag(uint32_t copyId, int column, bool& value) {
  Query query(db_->Statement(kGetCopy), copyId);
  const int rc = query.Step();
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return db_->FailSqlite();
  value = rc == SQLITE_ROW && query.Int(column) != 0;
  return 0;
}

int SqliteStorageBackend::Retire(const JobInfo& job, bool recreateCldb) {
  if (db_->Run(kRetireJob, job.jobId) != 0 || db_->Run(kDeleteJobRefs, job.jobId) != 0 ||
      db_->Run(kRetireJobAFiles, job.jobId) != 0 || db_->Run(kDeleteJobEntries, job.jobId) != 0)
    return -1;
  if (!recreateCldb) return 0;
  return job.aux ? db_->Run(kSetCopyClean, job.copyId, 0)
                 : db_->Run(kSetClientDirty, job.appId, job.copyId, 1);
}

void SqliteStorageBackend::RemovePacks(const std::vector<std::string>& names) {
  // What is left behind is garbage that the next collection removes.
  std::string ignored;
  for (const std::string& name : names) packs_->Remove(name, ignored);
  packs_->Sync(ignored);
}

std::string SqliteStorageBackend::LastError() const {
  auto lock = db_->Lock();
  return db_->Error();
}

// ---- cldb::StorageBackend --------------------------------------------------------

int SqliteStorageBackend::listAfileIdByAppId(const ListAfileIdByAppIdArgs_t& args,
                                             ListAfileIdByAppIdRet_t& ret) {
  auto lock = db_->Lock();
  std::vector<int> ids;
  bool offline = false;
  int rc = db_->Transaction(false, [&] {
    Query query(db_->Statement(kListValidAFileIds), args.appId, args.copyId, args.oldestArchFileId);
    int step;
    // The schema keeps every id at or below kMaxArchiveFileId.
    while ((step = query.Step()) == SQLITE_ROW) ids.push_back(static_cast<int>(query.Int(0)));
    if (step != SQLITE_DONE) return db_->FailSqlite();
    return CopyFlag(args.copyId, kCopyOffline, offline);
  });
  if (rc != 0) return rc;
  ret.afileIds = std::move(ids);
  ret.retFlags = offline ? unsigned{ZELA_ANY_MOUNTPATH_OFFLINE_FLAG} : 0u;
  return 0;
}

int SqliteStorageBackend::getAgroupCopyInfo(const GetAgroupCopyInfoArgs_t& args,
                                            GetAgroupCopyInfoRet_t& ret) {
  auto lock = db_->Lock();
  Query query(db_->Statement(kGetCopy), args.copyId);
  const int rc = query.Step();
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return db_->FailSqlite();
  const bool named = rc == SQLITE_ROW && !query.IsNull(kCopyName);
  ret.copyName = named ? query.Text(kCopyName) : "Copy " + std::to_string(args.copyId);
  return 0;
}

int SqliteStorageBackend::isCopyClientCacheDBClean(unsigned int /*jobId*/, unsigned int copyId,
                                                   bool& clean) {
  auto lock = db_->Lock();
  return CopyFlag(copyId, kCopyClean, clean);
}

int SqliteStorageBackend::setCopyClientCacheDBClean(unsigned int /*jobId*/, unsigned int copyId) {
  return MarkCopyClean(copyId, true);
}

bool SqliteStorageBackend::setCachDBLastArchFileId(unsigned int cldbId, unsigned long long jobId,
                                                   unsigned int leastAFileId) {
  auto lock = db_->Lock();
  return db_->Run(kSetLeastAFile, cldbId, jobId, leastAFileId, ZelNow32()) == 0;
}

int SqliteStorageBackend::isClientCacheDBDirty(unsigned int appId, int& dirty) {
  auto lock = db_->Lock();
  if (running_.jobId == 0 || running_.appId != appId) {
    dirty = 1;  // which copy's CLDB is meant is unknown
    return 0;
  }
  int64_t value = 0;
  bool found = false;
  if (db_->ReadInt(kGetClientDirty, value, found, appId, running_.copyId) != 0) return -1;
  // A CLDB never recreated by a job of this database is dirty.
  dirty = found ? static_cast<int>(value) : 1;
  return 0;
}

int SqliteStorageBackend::setClientCacheDBDirty(unsigned int appId, int dirty) {
  auto lock = db_->Lock();
  if (dirty == 1) return db_->Run(kSetClientDirtyAllCopies, appId, 1);
  if (running_.jobId == 0 || running_.appId != appId)
    return Fail("no running job of client " + std::to_string(appId) +
                " tells which copy's CLDB is meant");
  return db_->Run(kSetClientDirty, appId, running_.copyId, dirty);
}

int SqliteStorageBackend::connectMediaManager(int /*kind*/) { return 0; }

int SqliteStorageBackend::getAFsToRecopyForCopy(unsigned int copyId,
                                                std::vector<MMAFToRecopy>& list, int& flags) {
  auto lock = db_->Lock();
  std::vector<MMAFToRecopy> recopied;
  bool offline = false;
  int rc = db_->Transaction(false, [&] {
    Query query(db_->Statement(kListRecopied), copyId);
    int step;
    while ((step = query.Step()) == SQLITE_ROW)
      recopied.push_back({static_cast<int>(query.Int(0)), copyId});
    if (step != SQLITE_DONE) return db_->FailSqlite();
    return CopyFlag(copyId, kCopyOffline, offline);
  });
  if (rc != 0) return rc;
  list = std::move(recopied);
  flags = offline ? static_cast<int>(ZELA_ANY_MOUNTPATH_OFFLINE_FLAG) : 0;
  return 0;
}

unsigned long long SqliteStorageBackend::getHubcellId() { return hubcellId_; }

uint32_t SqliteStorageBackend::StoreId() const {
  const uint32_t folded = static_cast<uint32_t>(hubcellId_ ^ (hubcellId_ >> 32));
  return folded != 0 ? folded : 1;
}

// ---- jobs and archive files ------------------------------------------------

int SqliteStorageBackend::BeginJob(uint32_t appId, uint32_t copyId, uint32_t& jobId, bool aux,
                                   JobKind kind) {
  auto lock = db_->Lock();
  uint32_t id = 0;
  const int rc = db_->Transaction(true, [&] {
    if (AllocateId(kNextJobId, "job", UINT32_MAX, id) != 0) return -1;
    return db_->Run(kInsertJob, id, appId, copyId, aux ? 1 : 0, ZelNow32(), static_cast<int>(kind));
  });
  if (rc != 0) return rc;
  jobId = id;
  running_ = {id, appId, copyId};
  return 0;
}

int SqliteStorageBackend::NewArchiveFile(uint32_t appId, uint32_t copyId, uint32_t jobId,
                                         uint32_t& afileId) {
  auto lock = db_->Lock();
  uint32_t id = 0;
  const int rc = db_->Transaction(true, [&] {
    uint32_t jobAppId = 0, jobCopyId = 0;
    if (GetRunningJob(jobId, jobAppId, jobCopyId) != 0) return -1;
    if (jobAppId != appId || jobCopyId != copyId)
      return Fail("job " + std::to_string(jobId) + " belongs to client " +
                  std::to_string(jobAppId) + " and copy " + std::to_string(jobCopyId));
    if (AllocateId(kNextAFileId, "archive-file", kMaxArchiveFileId, id) != 0) return -1;
    return db_->Run(kInsertAFile, id, jobId, appId, copyId, ZelNow32());
  });
  if (rc == 0) afileId = id;
  return rc;
}

int SqliteStorageBackend::EndJob(uint32_t jobId, int status) {
  auto lock = db_->Lock();
  const int rc = db_->Transaction(true, [&] {
    JobInfo job;
    if (ReadJob(jobId, job) != 0) return -1;
    if (job.ended) return Fail("job " + std::to_string(jobId) + " has ended");
    if (status == kStatusFailed && Retire(job, true) != 0) return -1;
    return db_->Run(kEndJob, jobId, ZelNow32(), status);
  });
  if (running_.jobId == jobId) running_ = {};
  return rc;
}

int SqliteStorageBackend::ListJobs(std::vector<JobInfo>& jobs) {
  auto lock = db_->Lock();
  std::vector<JobInfo> found;
  Query query(db_->Statement(kListJobs), 0);
  int rc;
  while ((rc = query.Step()) == SQLITE_ROW) found.push_back(JobOf(query));
  if (rc != SQLITE_DONE) return db_->FailSqlite();
  jobs = std::move(found);
  return 0;
}

int SqliteStorageBackend::GetJob(uint32_t jobId, JobInfo& job) {
  auto lock = db_->Lock();
  return ReadJob(jobId, job);
}

int SqliteStorageBackend::ListArchiveFiles(uint32_t appId, uint32_t copyId,
                                           std::vector<ArchiveFileInfo>& files) {
  auto lock = db_->Lock();
  std::vector<ArchiveFileInfo> found;
  Query query(db_->Statement(kListAFiles), appId, copyId);
  int rc;
  while ((rc = query.Step()) == SQLITE_ROW) {
    ArchiveFileInfo file;
    file.afileId = static_cast<uint32_t>(query.Int(0));
    file.jobId = static_cast<uint32_t>(query.Int(1));
    file.appId = appId;
    file.copyId = copyId;
    file.createTime = static_cast<uint32_t>(query.Int(2));
    file.live = query.Int(3) != 0;
    file.broken = query.Int(4) != 0;
    file.lost = query.Int(5) != 0;
    file.blocks = static_cast<uint64_t>(query.Int(6));
    file.bytes = static_cast<uint64_t>(query.Int(7));
    file.packBytes = static_cast<uint64_t>(query.Int(8));
    found.push_back(file);
  }
  if (rc != SQLITE_DONE) return db_->FailSqlite();
  files = std::move(found);
  return 0;
}

// Which client CLDBs a copy has cannot change while their locks are held
// and the drop's transaction runs, except by a new client's first job, whose
// CLDB names no archive file yet.
int SqliteStorageBackend::DropArchiveFile(uint32_t afileId) {
  auto lock = db_->Lock();
  int64_t copyId = 0, generation = 0;
  bool found = false;
  if (db_->ReadInt(kGetAFileCopy, copyId, found, afileId) != 0) return -1;
  if (!found) {
    Fail("no archive file " + std::to_string(afileId));
    return kUnknown;
  }
  std::vector<uint32_t> clients;
  {
    Query query(db_->Statement(kListCopyClients), copyId);
    int rc;
    while ((rc = query.Step()) == SQLITE_ROW)
      clients.push_back(static_cast<uint32_t>(query.Int(0)));
    if (rc != SQLITE_DONE) return db_->FailSqlite();
  }
  const auto copy = static_cast<uint32_t>(copyId);
  CldbLocks cldbs(root_);
  int locked = cldbs.Take(cldb::AuxCldbFolderName(copy), db_->MutableError());
  for (size_t i = 0; locked == 0 && i < clients.size(); ++i)
    locked = cldbs.Take(cldb::ClientCldbFolderName(clients[i], copy), db_->MutableError());
  if (locked != 0) return locked;
  const int rc = db_->Transaction(true, [&] {
    bool live = false;
    {
      Query held(db_->Statement(kGetHeldAFile), afileId);
      const int step = held.Step();
      if (step == SQLITE_DONE) {
        Fail("no archive file " + std::to_string(afileId) + " (unknown, or lost already)");
        return kUnknown;
      }
      if (step != SQLITE_ROW) return db_->FailSqlite();
      generation = held.Int(0);
      live = held.Int(1) != 0;
    }
    if (db_->Run(kBreakReferencesTo, afileId, copy) != 0) return -1;
    // A live one stays, lost, with what it held as references; a retired
    // one needs nothing and goes.
    if (live) {
      if (db_->Run(kStoredBecomeRefs, afileId) != 0 || db_->Run(kMarkLost, afileId) != 0) return -1;
    } else if (db_->Run(kDeleteAFileRefs, afileId) != 0 || db_->Run(kDeleteAFile, afileId) != 0) {
      return -1;
    }
    if (db_->Run(kDeleteAFileStored, afileId) != 0) return -1;
    return db_->Run(kSetCopyClean, copy, 0);
  });
  if (rc == 0) RemovePacks({cldb::PackFileName(afileId, static_cast<uint32_t>(generation))});
  return rc;
}

int SqliteStorageBackend::DropJob(uint32_t jobId) {
  auto lock = db_->Lock();
  JobInfo job;
  if (const int rc = ReadJob(jobId, job)) return rc;
  CldbLocks cldbs(root_);
  int locked = cldbs.Take(CldbOf(job), db_->MutableError());
  if (locked == 0 && !job.aux)
    locked = cldbs.Take(cldb::AuxCldbFolderName(job.copyId), db_->MutableError());
  if (locked != 0) return locked;
  return db_->Transaction(true, [&] {
    if (Retire(job, false) != 0 || db_->Run(kDeleteJob, jobId) != 0) return -1;
    if (db_->Changes() == 0) return Fail("no job " + std::to_string(jobId));
    return db_->Run(kSetCopyClean, job.copyId, 0);
  });
}

int SqliteStorageBackend::ReapDeadJobs(std::vector<uint32_t>& reaped) {
  auto lock = db_->Lock();
  reaped.clear();
  std::vector<uint32_t> running;
  {
    Query query(db_->Statement(kRunningJobIds));
    int rc;
    while ((rc = query.Step()) == SQLITE_ROW)
      running.push_back(static_cast<uint32_t>(query.Int(0)));
    if (rc != SQLITE_DONE) return db_->FailSqlite();
  }
  for (uint32_t jobId : running) {
    JobInfo job;
    if (jobId == running_.jobId) continue;  // this process's own
    if (ReadJob(jobId, job) != 0 || ReapIfDead(job, reaped) != 0) return -1;
  }
  return 0;
}

// A job holds its CLDB's lock from before it begins until after it ends, so
// a running job whose lock can be taken has died; holding the lock, nothing
// can start on that CLDB while it is recorded.
int SqliteStorageBackend::ReapIfDead(const JobInfo& job, std::vector<uint32_t>& reaped) {
  CldbLocks cldbs(root_);
  std::string why;
  if (cldbs.Take(CldbOf(job), why) != 0) return 0;  // alive, or its lock tells nothing
  const int rc = db_->Transaction(true, [&] {
    JobInfo now;
    if (ReadJob(job.jobId, now) != 0) return -1;
    if (now.ended) return 0;
    if (Retire(now, true) != 0) return -1;
    return db_->Run(kEndJob, job.jobId, ZelNow32(), kStatusKilled);
  });
  if (rc == 0) reaped.push_back(job.jobId);
  return rc;
}

// ---- copies and clients ----------------------------------------------------

int SqliteStorageBackend::SetMountPathOffline(uint32_t copyId, bool offline) {
  auto lock = db_->Lock();
  return db_->Run(kSetCopyOffline, copyId, offline);
}

int SqliteStorageBackend::SetCopyName(uint32_t copyId, const std::string& name) {
  auto lock = db_->Lock();
  return db_->Run(kSetCopyName, copyId, name);
}

int SqliteStorageBackend::SetRecopied(uint32_t copyId, const std::vector<uint32_t>& afileIds) {
  auto lock = db_->Lock();
  for (uint32_t id : afileIds) {
    if (id == 0 || id > kMaxArchiveFileId)
      return Fail("archive-file id " + std::to_string(id) + " is out of range");
  }
  return db_->Transaction(true, [&] {
    if (db_->Run(kClearRecopied, copyId) != 0) return -1;
    for (uint32_t id : afileIds) {
      if (db_->Run(kAddRecopied, copyId, id) != 0) return -1;
    }
    return 0;
  });
}

// A copy without a flag is dirty already, so only the CLDBs of the copies
// with one are locked.
int SqliteStorageBackend::MarkClientDirty(uint32_t appId, bool dirty) {
  auto lock = db_->Lock();
  std::vector<uint32_t> copies;
  {
    Query query(db_->Statement(kListClientCopies), appId);
    int rc;
    while ((rc = query.Step()) == SQLITE_ROW) copies.push_back(static_cast<uint32_t>(query.Int(0)));
    if (rc != SQLITE_DONE) return db_->FailSqlite();
  }
  CldbLocks cldbs(root_);
  for (uint32_t copyId : copies) {
    const int locked = cldbs.Take(cldb::ClientCldbFolderName(appId, copyId), db_->MutableError());
    if (locked != 0) return locked;
  }
  return db_->Run(kSetClientDirtyAllCopies, appId, dirty ? 1 : 0);
}

int SqliteStorageBackend::MarkCopyClean(uint32_t copyId, bool clean) {
  auto lock = db_->Lock();
  return db_->Run(kSetCopyClean, copyId, clean);
}

int SqliteStorageBackend::GetLastArchFileId(uint32_t cldbId, bool& known, uint32_t& leastAFileId,
                                            uint64_t& jobId) {
  auto lock = db_->Lock();
  Query query(db_->Statement(kGetLeastAFile), cldbId);
  const int rc = query.Step();
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return db_->FailSqlite();
  known = rc == SQLITE_ROW;
  if (known) {
    leastAFileId = static_cast<uint32_t>(query.Int(0));
    jobId = static_cast<uint64_t>(query.Int(1));
  }
  return 0;
}

}  // namespace cldb
