// A persistent local storage side, the default backend of the command-line
// tool: the database "storage.sqlite" in the CLDB root folder and the pack
// files under "<root>/packs" (PackFormat.h).
//
// The database is the authority on what is stored. Per client application
// and copy it records the archive files (the blocks each holds and where in
// its pack, the blocks each references through hits), the jobs (their
// trees, whether they are live), the dirty flag of each client CLDB (one per
// client and copy), the clean flag of each copy's auxiliary CLDB, recopied
// archive files, offline mount paths, copy names, the least archive-file id
// each CLDB reported, and the next job and archive-file ids. JobWriter.h
// stores a job's blocks; BlockReader.h reads them back; GarbageCollector.h
// frees what no live job needs.
//
// Live jobs and valid archive files. A job is live from its start until it
// is dropped, unless it fails or its process dies: such a job leaves the
// live set at once, its CLDB is marked for recreation, and what it stored
// is freed by the next garbage collection unless a live job needs it. An
// archive file is valid, and handed to its client's CLDB, exactly when
// every block a record naming it may answer for can be served: its job is
// live and each block it references still has a copy on its storage copy.
// A hit re-points its record at the job's archive file, which then only
// references the block, so losing an archive file (DropArchiveFile) makes
// every archive file that references a block of which it held the last
// copy invalid for good ("broken"); dropping a job keeps the data of its
// blocks while a live archive file references them.
//
// Several processes may use one database at once. Every change is a single
// write transaction that takes the write lock at its start; a busy database
// is waited for up to Options::busyTimeoutMs. Opening a database of the
// current schema writes nothing. The schema's version is the database's
// user_version (Schema.h): an older database is migrated, a newer one
// refused rather than misread.
//
// Answers for what was never recorded: a client CLDB never recreated by a
// job of this database is dirty (1), so a CLDB the storage side knows nothing
// about is made fresh instead of trusted; a copy is not clean; no mount path
// is offline; a copy is named "Copy <id>".
//
// The library asks about a client CLDB by client only, but a client has one
// CLDB per copy. The copy is the one of the job this object began last and
// has not ended (BeginJob); without such a job of the client a client CLDB
// counts as dirty, and only marking it dirty is accepted.
//
// What a CLDB may trust is read at its job's start. So the drops and the
// dirty mark take the lock of each CLDB they concern (RootFolder.h) for their
// whole transaction and are refused with kInUse while a job holds one; an
// auxiliary CLDB is checked against no list of held files, so every drop on
// a copy marks its auxiliary CLDB not clean.
//
// Ids are unsigned 32-bit and never 0. Archive-file ids stay at or below
// kMaxArchiveFileId because the storage side hands them to the library as
// signed 32-bit values. Neither kind of id is ever issued twice.
//
// An object may be used by several threads (the database's mutex serialises
// its connection); it must not be used across fork(). The tool's operations
// return 0 on success and -1 on failure (the drops also kInUse); LastError()
// then says why. Nothing throws.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cldb/StorageBackend.h"
#include "storage/Database.h"
#include "storage/PackFolder.h"

namespace cldb {

class SqliteStorageBackend : public StorageBackend {
 public:
  // Returned by the drops and MarkClientDirty when a CLDB they concern is in
  // use.
  static constexpr int kInUse = -2;
  // Returned by the drops when the job or archive file named is not there
  // (never was, or dropped or lost already).
  static constexpr int kUnknown = -3;
  static constexpr uint32_t kMaxArchiveFileId = 0x7FFFFFFF;
  static constexpr const char* kFileName = "storage.sqlite";
  // Job statuses the storage side acts on (the tool records 0 completed,
  // 1 failed, 2 interrupted, 3 partial): a failed job leaves the live set,
  // and the storage side records a job whose process died as killed.
  static constexpr int kStatusFailed = 1;
  static constexpr int kStatusKilled = 4;

  struct Options {
    // How long a call waits for another connection's lock before failing.
    unsigned int busyTimeoutMs = 10000;
    // Reads the database only, for estimates (Database::Open): nothing is
    // made (a missing database fails to open), the pack files are out of
    // reach (Packs() must not be called) and every change fails.
    bool readOnly = false;
  };

  // What a job was run for; a prune stores nothing and records no tree.
  enum class JobKind : int { kBackup = 0, kPrune = 1 };

  struct JobInfo {
    uint32_t jobId = 0;
    uint32_t appId = 0;
    uint32_t copyId = 0;
    bool aux = false;
    uint32_t startTime = 0;
    bool ended = false;
    uint32_t endTime = 0;  // 0 while running
    int status = 0;        // as given to EndJob; 0 while running
    bool live = false;
    uint32_t blockSize = 0;     // 0 until it stored or referenced a block
    uint32_t archiveFiles = 0;  // archive files still held
    uint64_t blocks = 0;        // totals of what those archive files store
    uint64_t bytes = 0;
    uint64_t packBytes = 0;  // on disk
    JobKind kind = JobKind::kBackup;
  };

  struct ArchiveFileInfo {
    uint32_t afileId = 0;
    uint32_t jobId = 0;
    uint32_t appId = 0;
    uint32_t copyId = 0;
    uint32_t createTime = 0;
    bool live = false;    // its job is live
    bool broken = false;  // references a block that is lost
    bool lost = false;    // its pack is gone (broken too)
    uint64_t blocks = 0;  // stored in it
    uint64_t bytes = 0;
    uint64_t packBytes = 0;
  };

  // Opens "<rootFolder>/storage.sqlite" and "<rootFolder>/packs", making the
  // folders and the database when missing. Returns nullptr with `error` set
  // when a folder cannot be made, the file is not a storage database, or its
  // schema is newer.
  static std::unique_ptr<SqliteStorageBackend> Open(const std::string& rootFolder,
                                                    const Options& options, std::string& error);
  // The same with the default options.
  static std::unique_ptr<SqliteStorageBackend> Open(const std::string& rootFolder,
                                                    std::string& error);
  ~SqliteStorageBackend() override;
  SqliteStorageBackend(const SqliteStorageBackend&) = delete;
  SqliteStorageBackend& operator=(const SqliteStorageBackend&) = delete;

  // ---- cldb::StorageBackend ----
  // The valid archive files of (appId, copyId) from oldestArchFileId on, in
  // ascending order; retFlags carries the copy's offline bit.
  int listAfileIdByAppId(const ListAfileIdByAppIdArgs_t& args,
                         ListAfileIdByAppIdRet_t& ret) override;
  int getAgroupCopyInfo(const GetAgroupCopyInfoArgs_t& args, GetAgroupCopyInfoRet_t& ret) override;
  int isCopyClientCacheDBClean(unsigned int jobId, unsigned int copyId, bool& clean) override;
  int setCopyClientCacheDBClean(unsigned int jobId, unsigned int copyId) override;
  bool setCachDBLastArchFileId(unsigned int cldbId, unsigned long long jobId,
                               unsigned int leastAFileId) override;
  int isClientCacheDBDirty(unsigned int appId, int& dirty) override;
  int setClientCacheDBDirty(unsigned int appId, int dirty) override;
  int connectMediaManager(int kind) override;
  int getAFsToRecopyForCopy(unsigned int copyId, std::vector<MMAFToRecopy>& list,
                            int& flags) override;
  // Drawn at random when the database is created, then fixed.
  unsigned long long getHubcellId() override;

  // The id of the deduplication store this database stands for, derived
  // from its installation-domain id: a CLDB records the store it mirrors, so
  // one filled against another database is recreated rather than trusted.
  // Never 0.
  uint32_t StoreId() const;

  // ---- jobs and archive files ----
  // Starts a job of client `appId` on copy `copyId` (on the copy's
  // auxiliary CLDB with `aux`) under a new job id; it is this object's
  // running job until EndJob.
  int BeginJob(uint32_t appId, uint32_t copyId, uint32_t& jobId, bool aux = false,
               JobKind kind = JobKind::kBackup);
  // Allocates a new, empty archive file for the running job `jobId`, which
  // must belong to (appId, copyId).
  int NewArchiveFile(uint32_t appId, uint32_t copyId, uint32_t jobId, uint32_t& afileId);
  // Records the end of the running job `jobId` with the caller's `status`;
  // kStatusFailed takes it out of the live set (see above). The caller holds
  // the job's CLDB lock.
  int EndJob(uint32_t jobId, int status);
  // Jobs still recorded, by ascending id.
  int ListJobs(std::vector<JobInfo>& jobs);
  // One job; -1 ("no job N") when it is not recorded.
  int GetJob(uint32_t jobId, JobInfo& job);
  // The archive files of (appId, copyId), retired ones included, by id.
  int ListArchiveFiles(uint32_t appId, uint32_t copyId, std::vector<ArchiveFileInfo>& files);
  // The loss of an archive file: its blocks and its pack are gone, and every
  // archive file on its copy that references a block of which it held the
  // last copy is broken. One of a live job stays, lost and broken, with the
  // blocks it held turned into references: its job's tree still needs them,
  // and they are kept wherever they are stored again. Its id stays in a
  // copy's recopied list when it is there. Takes the locks of every CLDB of
  // the copy: kInUse while a job holds one.
  int DropArchiveFile(uint32_t afileId);
  // Ages a job out: it and its tree are forgotten and its archive files
  // retire; their data stays while a live archive file references it.
  // kInUse while a job holds the job's CLDB or the copy's auxiliary one.
  int DropJob(uint32_t jobId);
  // Records as killed every running job whose CLDB lock no process holds
  // (its process died): it leaves the live set and its CLDB is marked for
  // recreation. `reaped` receives their ids.
  int ReapDeadJobs(std::vector<uint32_t>& reaped);

  // ---- copies and clients ----
  int SetMountPathOffline(uint32_t copyId, bool offline);
  // An empty name restores the default "Copy <id>".
  int SetCopyName(uint32_t copyId, const std::string& name);
  // Replaces the copy's recopied archive files; every id must be a valid
  // archive-file id (1 to kMaxArchiveFileId), though it need not be held.
  int SetRecopied(uint32_t copyId, const std::vector<uint32_t>& afileIds);
  // Marks the client's CLDBs of every copy dirty (the next job of each
  // recreates it), or those the storage side knows clean. kInUse while a
  // job holds one of them.
  int MarkClientDirty(uint32_t appId, bool dirty = true);
  // Marks a copy's auxiliary CLDB clean, or not clean (recreated next time).
  int MarkCopyClean(uint32_t copyId, bool clean);
  // The least archive-file id the CLDB `cldbId` last reported, with the job
  // that reported it; `known` is false when it never reported one.
  int GetLastArchFileId(uint32_t cldbId, bool& known, uint32_t& leastAFileId, uint64_t& jobId);

  // Why the last failing call of this object failed.
  std::string LastError() const;
  const std::string& Path() const { return path_; }
  const std::string& Root() const { return root_; }

  // For the other parts of the storage side (JobWriter, BlockReader,
  // GarbageCollector).
  cldb::Database& Db() { return *db_; }
  const cldb::PackFolder& Packs() const { return *packs_; }

 private:
  struct RunningJob {
    uint32_t jobId = 0;  // 0: none
    uint32_t appId = 0;
    uint32_t copyId = 0;
  };
  class CldbLocks;

  SqliteStorageBackend(std::unique_ptr<cldb::Database> db, std::unique_ptr<cldb::PackFolder> packs,
                       std::string rootFolder, unsigned long long hubcellId);

  // Helpers below expect the database locked; they return 0 or -1.
  int Fail(const std::string& message) { return db_->Fail(message); }
  int AllocateId(const char* counter, const char* what, uint32_t limit, uint32_t& id);
  int ReadJob(uint32_t jobId, JobInfo& job);
  int GetRunningJob(uint32_t jobId, uint32_t& appId, uint32_t& copyId);
  int CopyFlag(uint32_t copyId, int column, bool& value);  // false for an unknown copy
  // Takes `job` and its archive files out of the live set and forgets its
  // tree. With `recreateCldb`, the job's CLDB is marked for recreation.
  int Retire(const JobInfo& job, bool recreateCldb);
  int ReapIfDead(const JobInfo& job, std::vector<uint32_t>& reaped);
  // Removes the pack files of archive files the last transaction forgot.
  void RemovePacks(const std::vector<std::string>& names);

  std::unique_ptr<cldb::Database> db_;
  std::unique_ptr<cldb::PackFolder> packs_;
  std::string root_;
  std::string path_;
  RunningJob running_;
  unsigned long long hubcellId_ = 0;
};

}  // namespace cldb
