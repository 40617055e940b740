// A persistent local storage side kept in an SQLite database, the default
// backend of the command-line tool.
//
// The database "storage.sqlite" in the CLDB root folder records, per client
// application and per copy, the archive files held (id, job, creation time,
// block and byte counts), the jobs, the dirty flag of each client CLDB (one
// per client and copy) and the clean flag of each copy's auxiliary CLDB,
// recopied archive files, offline mount paths, copy names, the least
// archive-file id each CLDB reported, and the next job and archive-file ids.
//
// Several processes may use one database at once. Every change is a single
// write transaction that takes the write lock at its start, so a
// read-modify-write such as an id allocation cannot interleave with another
// process's; a busy database is waited for up to Options::busyTimeoutMs
// before a call fails. Opening a database of the current schema writes
// nothing and so waits for no writer. The schema carries its version in the
// database's user_version; an older database is migrated when opened, one of
// a newer schema is refused rather than misread.
//
// Answers for what was never recorded: a client CLDB never recreated by a
// job of this database is dirty (1), so a CLDB the storage side knows nothing
// about, for instance one that survived the loss of this database, is made
// fresh instead of trusted; a copy is not clean; no mount path is offline; a
// copy is named "Copy <id>".
//
// The library asks about a client CLDB by client only, but a client has one
// CLDB per copy. The copy is the one of the job this object began last and
// has not ended (BeginJob); without such a job of the client a client CLDB
// counts as dirty, and only marking it dirty is accepted.
//
// Dropping archive files must never leave a CLDB able to answer a hit for a
// block that is gone:
//   - a hit re-points its record at the job's archive file, which then holds
//     a reference to data in an older one. Until archive files keep what
//     they reference alive, dropping a client's archive file marks that
//     client CLDB of the copy dirty when any newer archive file of the same
//     client and copy remains;
//   - an auxiliary CLDB is checked against no list of held files, so every
//     drop on a copy marks its auxiliary CLDB not clean;
//   - a running job reads the held files once, at its start. A drop takes the
//     lock of each CLDB that may reference the files (RootFolder.h) for its
//     whole transaction, and is refused with kInUse while a job holds one;
//     so does marking a client's CLDBs dirty.
//
// Ids are unsigned 32-bit and never 0. Archive-file ids stay at or below
// kMaxArchiveFileId because the storage side hands them to the library as
// signed 32-bit values. Neither kind of id is ever issued twice, not even
// after the job or archive file that had it was dropped.
//
// An object may be used by several threads; one mutex serialises its use of
// the connection. An object must not be used across fork(): each process
// opens its own. The tool's operations return 0 on success and -1 on
// failure (the drops also kInUse); LastError() then says why. Nothing throws.
#pragma once

#include "platform/Export.h"
#include "platform/StorageServices.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

class SqliteStorageBackend : public StorageBackend {
 public:
  static constexpr int kSchemaVersion = 2;
  // Returned by the drops and MarkClientDirty when a CLDB they concern is in
  // use.
  static constexpr int kInUse = -2;
  static constexpr uint32_t kMaxArchiveFileId = 0x7FFFFFFF;
  static constexpr const char* kFileName = "storage.sqlite";

  struct Options {
    // How long a call waits for another connection's lock before failing.
    unsigned int busyTimeoutMs = 10000;
  };

  struct JobInfo {
    uint32_t jobId = 0;
    uint32_t appId = 0;
    uint32_t copyId = 0;
    uint32_t startTime = 0;
    bool ended = false;
    uint32_t endTime = 0;       // 0 while running
    int status = 0;             // as given to EndJob; 0 while running
    uint32_t archiveFiles = 0;  // archive files still held
    uint64_t blocks = 0;        // totals over those archive files
    uint64_t bytes = 0;
  };

  struct ArchiveFileInfo {
    uint32_t afileId = 0;
    uint32_t jobId = 0;
    uint32_t appId = 0;
    uint32_t copyId = 0;
    uint32_t createTime = 0;
    uint64_t blocks = 0;
    uint64_t bytes = 0;
  };

  // Opens "<rootFolder>/storage.sqlite", making the folder and the database
  // when missing. Returns nullptr with `error` set when the folder cannot be
  // made, the file is not a storage database, or its schema is newer.
  static std::unique_ptr<SqliteStorageBackend> Open(const std::string& rootFolder,
                                                    const Options& options, std::string& error);
  // The same with the default options.
  static std::unique_ptr<SqliteStorageBackend> Open(const std::string& rootFolder,
                                                    std::string& error);
  ~SqliteStorageBackend() override;
  SqliteStorageBackend(const SqliteStorageBackend&) = delete;
  SqliteStorageBackend& operator=(const SqliteStorageBackend&) = delete;

  // ---- StorageBackend ----
  // Archive files held for (appId, copyId) from oldestArchFileId on, in
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
  // Starts a job of client `appId` on copy `copyId` under a new job id; it
  // is this object's running job until EndJob.
  int BeginJob(uint32_t appId, uint32_t copyId, uint32_t& jobId);
  // Allocates a new, empty archive file for the running job `jobId`, which
  // must belong to (appId, copyId).
  int NewArchiveFile(uint32_t appId, uint32_t copyId, uint32_t jobId, uint32_t& afileId);
  // Accounts `blocks` blocks of `bytes` bytes stored into archive file
  // `afileId`. Fails, changing nothing, when a total would pass 2^63-1.
  int AddToArchiveFile(uint32_t afileId, uint64_t blocks, uint64_t bytes);
  // Records the end of the running job `jobId` with the caller's `status`.
  int EndJob(uint32_t jobId, int status);
  // Every job still recorded, by ascending id.
  int ListJobs(std::vector<JobInfo>& jobs);
  // The archive files held for (appId, copyId), by ascending id.
  int ListArchiveFiles(uint32_t appId, uint32_t copyId, std::vector<ArchiveFileInfo>& files);
  // Forgets an archive file, as the storage side does when it prunes data,
  // and marks the CLDBs that may reference it (see above). Its id stays in a
  // copy's recopied list when it is there. kInUse while one of those CLDBs
  // is locked.
  int DropArchiveFile(uint32_t afileId);
  // Forgets a job together with all its archive files, as DropArchiveFile.
  int DropJob(uint32_t jobId);

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

 private:
  enum Statement : int;

  struct RunningJob {
    uint32_t jobId = 0;  // 0: none
    uint32_t appId = 0;
    uint32_t copyId = 0;
  };
  class CldbLocks;

  SqliteStorageBackend(sqlite3* db, std::string rootFolder);
  bool Prepare(std::string& error);
  bool LoadHubcellId(std::string& error);

  // Helpers below expect mutex_ to be held; they return 0 or -1.
  int Fail(const std::string& message);  // records `message`, returns -1
  int FailSqlite();                      // records the connection's message
  sqlite3_stmt* Stmt(Statement statement) const { return statements_[statement]; }
  // Runs a statement that returns no row; -1 when it fails.
  template <typename... Args>
  int Run(Statement statement, const Args&... args);
  // Runs `body` inside a write transaction (BEGIN IMMEDIATE), or a read
  // transaction when `write` is false; rolls back when `body` fails.
  template <typename Body>
  int Transaction(bool write, Body body);
  int AllocateId(const char* counter, const char* what, uint32_t limit, uint32_t& id);
  int GetJob(uint32_t jobId, uint32_t& appId, uint32_t& copyId, bool& ended);
  int GetRunningJob(uint32_t jobId, uint32_t& appId, uint32_t& copyId);
  int CopyFlag(uint32_t copyId, int column, bool& value);  // false for an unknown copy
  int GetAFileOwner(uint32_t afileId, uint32_t& appId, uint32_t& copyId);
  // Marks the CLDBs that may reference archive file `afileId` of (appId,
  // copyId), or the archive files after it, once it is dropped.
  int ForgetReferencesTo(uint32_t appId, uint32_t copyId, uint32_t afileId);

  mutable std::mutex mutex_;
  sqlite3* db_;
  std::string root_;
  std::string path_;
  RunningJob running_;
  std::vector<sqlite3_stmt*> statements_;
  unsigned long long hubcellId_ = 0;
  std::string lastError_;
};
