// One process and its storage database: creation, refusal, persistence, the answers
// of the library's calls, and the tool's jobs. (Several: SqliteConcurrencyTest.cpp.)
#include <sys/stat.h>

#include "StorageFixture.h"

namespace cldbtest {
namespace {

using SqliteDatabase = StorageTest;
using SqliteCalls = StorageTest;
using SqliteJobs = StorageTest;

TEST_F(SqliteDatabase, FirstOpenMakesTheFoldersAndAWalDatabase) {
  TempDir root;
  std::string error;
  auto other = cldb::SqliteStorageBackend::Open(root / "a/b", error);
  ASSERT_NE(other, nullptr) << error;
  EXPECT_EQ(RawSql(root / "a/b/storage.sqlite", "PRAGMA journal_mode"), "wal");
  EXPECT_NE(other->getHubcellId(), backend_->getHubcellId());  // drawn for each database
  EXPECT_NE(other->StoreId(), backend_->StoreId());
  EXPECT_NE(other->StoreId(), 0u);
  struct stat info {};
  ASSERT_EQ(stat((root / "a").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

// Each is refused with a reason, and a database is left as it was found.
TEST_F(SqliteDatabase, RefusesWhatItCannotUse) {
  backend_.reset();
  TempDir root, junk;
  WriteFile(root / "file", "x");
  RawSql(DbPath(), "PRAGMA user_version = 5");
  RawSql(root / cldb::SqliteStorageBackend::kFileName, "CREATE TABLE t(x)");
  WriteFile(junk / cldb::SqliteStorageBackend::kFileName, std::string(4096, 'z'));
  for (auto [folder, why] : {std::pair{root / "file/sub", "cannot create folder"},
                             {dir_.path(), "schema version 5 is not known"},
                             {root.path(), "not a storage database"},
                             {junk.path(), "not a database"}}) {
    std::string error;
    EXPECT_EQ(cldb::SqliteStorageBackend::Open(folder, error), nullptr) << folder;
    EXPECT_NE(error.find(why), std::string::npos) << error;
  }
  EXPECT_EQ(RawSql(DbPath(), "PRAGMA user_version"), "5");
  EXPECT_EQ(RawSql(root / cldb::SqliteStorageBackend::kFileName, "PRAGMA user_version"), "0");
}

// Ids are never issued twice, not even after drops and a reopen.
TEST_F(SqliteDatabase, EverythingPersistsAcrossReopen) {
  std::vector<uint32_t> files;
  uint32_t dropped = JobWithFiles(4, 1, 1, &files), jobId = JobWithFiles(4, 1, 2, &files);
  ASSERT_EQ(backend_->DropJob(dropped), 0);
  const TestBlock a(std::string(300, 'a')), b(std::string(100, 'b')), c("c");
  ASSERT_EQ(StoreBatch(*backend_, jobId, 1, files[1], {&a, &b, &c}), 0);
  ASSERT_EQ(backend_->setClientCacheDBDirty(4, 0), 0) << backend_->LastError();
  ASSERT_EQ(backend_->EndJob(jobId, 3), 0);
  unsigned long long hubcellId = backend_->getHubcellId();
  uint32_t storeId = backend_->StoreId();
  ASSERT_NE(backend_ = Open(), nullptr);
  EXPECT_EQ(backend_->getHubcellId(), hubcellId);
  EXPECT_EQ(backend_->StoreId(), storeId);
  auto jobs = Jobs(*backend_);
  EXPECT_TRUE(jobs.size() == 1 && jobs[0].status == 3 && jobs[0].archiveFiles == 2);
  EXPECT_TRUE(jobs[0].blocks == 3 && jobs[0].bytes == 401 && jobs[0].live);
  std::vector<uint32_t> later;
  EXPECT_EQ(JobWithFiles(4, 1, 1, &later), jobId + 1);
  EXPECT_EQ(later, std::vector<uint32_t>{files.back() + 1});
  int dirty = -1;
  EXPECT_TRUE(backend_->isClientCacheDBDirty(4, dirty) == 0 && dirty == 0);
}

// Databases of versions 1 and 2 kept counts, not blocks: their jobs stay as
// history, not restorable, and their archive files go, since none of them
// can serve a block; every CLDB they knew is recreated once.
TEST_F(SqliteDatabase, OlderDatabasesAreMigratedWithEveryCldbRecreated) {
  // Version 2 as it was made, with one client flag and a clean copy.
  const char kVersion2[] =
      "CREATE TABLE meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL) STRICT;"
      "CREATE TABLE copies(copy_id INTEGER PRIMARY KEY, name TEXT,"
      " clean INTEGER NOT NULL DEFAULT 0, offline INTEGER NOT NULL DEFAULT 0) STRICT;"
      "CREATE TABLE jobs(job_id INTEGER PRIMARY KEY, app_id INTEGER NOT NULL,"
      " copy_id INTEGER NOT NULL, start_time INTEGER NOT NULL, end_time INTEGER,"
      " status INTEGER) STRICT;"
      "CREATE TABLE afiles(afile_id INTEGER PRIMARY KEY, job_id INTEGER NOT NULL"
      " REFERENCES jobs(job_id), app_id INTEGER NOT NULL, copy_id INTEGER NOT NULL,"
      " create_time INTEGER NOT NULL, blocks INTEGER NOT NULL DEFAULT 0,"
      " bytes INTEGER NOT NULL DEFAULT 0) STRICT;"
      "CREATE TABLE recopied(copy_id INTEGER NOT NULL, afile_id INTEGER NOT NULL,"
      " PRIMARY KEY (copy_id, afile_id)) STRICT, WITHOUT ROWID;"
      "CREATE TABLE least_afiles(cldb_id INTEGER PRIMARY KEY, job_id INTEGER NOT NULL,"
      " afile_id INTEGER NOT NULL, report_time INTEGER NOT NULL) STRICT;"
      "INSERT INTO meta VALUES ('next_job_id', 2), ('next_afile_id', 3), ('hubcell_id', 77);"
      "INSERT INTO copies(copy_id, clean) VALUES (1, 1);"
      "INSERT INTO jobs VALUES (1, 4, 1, 1000, 1010, 0);"
      "INSERT INTO afiles VALUES (1, 1, 4, 1, 1000, 5, 500), (2, 1, 4, 1, 1005, 1, 10);";
  const char kClients2[] =
      "CREATE TABLE client_cldbs(app_id INTEGER NOT NULL, copy_id INTEGER NOT NULL,"
      " dirty INTEGER NOT NULL, PRIMARY KEY (app_id, copy_id)) STRICT, WITHOUT ROWID;"
      "INSERT INTO client_cldbs VALUES (4, 1, 0); PRAGMA user_version = 2";
  const char kClients1[] =
      "CREATE TABLE clients(app_id INTEGER PRIMARY KEY, dirty INTEGER NOT NULL) STRICT;"
      "INSERT INTO clients VALUES (4, 0); PRAGMA user_version = 1";
  for (const char* clients : {kClients1, kClients2}) {
    SCOPED_TRACE(clients == kClients1 ? "version 1" : "version 2");
    TempDir root;
    RawSql(root / cldb::SqliteStorageBackend::kFileName, std::string(kVersion2) + clients);
    std::string error;
    auto old = cldb::SqliteStorageBackend::Open(root.path(), error);
    ASSERT_NE(old, nullptr) << error;
    EXPECT_EQ(RawSql(root / cldb::SqliteStorageBackend::kFileName, "PRAGMA user_version"), "4");
    EXPECT_EQ(old->getHubcellId(), 77u);
    std::vector<cldb::SqliteStorageBackend::ArchiveFileInfo> held;
    ASSERT_EQ(old->ListArchiveFiles(4, 1, held), 0);
    EXPECT_TRUE(held.empty());
    auto jobs = Jobs(*old);
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_TRUE(jobs[0].ended && !jobs[0].live && jobs[0].appId == 4);
    EXPECT_EQ(jobs[0].kind, cldb::SqliteStorageBackend::JobKind::kBackup);
    uint32_t jobId = 0, afileId = 0;
    ASSERT_EQ(old->BeginJob(4, 1, jobId), 0) << old->LastError();
    EXPECT_EQ(jobId, 2u);
    ASSERT_EQ(old->NewArchiveFile(4, 1, jobId, afileId), 0);
    EXPECT_EQ(afileId, 3u);  // ids are never issued twice
    int dirty = -1;
    bool clean = true;
    EXPECT_TRUE(old->isClientCacheDBDirty(4, dirty) == 0 && dirty == 1);
    EXPECT_TRUE(old->isCopyClientCacheDBClean(0, 1, clean) == 0 && !clean);
  }
}

// Each job records what it was run for; version 3 did not, so its jobs
// that neither stored nor recorded anything are taken for prunes, and
// everything else it held stays as it was.
TEST_F(SqliteDatabase, JobsKeepTheirKindAndVersion3IsMigrated) {
  const uint32_t backup = JobWithFiles(4, 1, 1);
  uint32_t prune = 0;
  ASSERT_EQ(backend_->BeginJob(4, 1, prune, false, cldb::SqliteStorageBackend::JobKind::kPrune), 0);
  ASSERT_EQ(backend_->EndJob(prune, 0), 0);
  ASSERT_EQ(backend_->EndJob(backup, 0), 0);
  auto Kinds = [](cldb::SqliteStorageBackend& backend) {
    std::vector<cldb::SqliteStorageBackend::JobKind> kinds;
    for (const JobInfo& job : Jobs(backend)) kinds.push_back(job.kind);
    return kinds;
  };
  const std::vector<cldb::SqliteStorageBackend::JobKind> expected = {
      cldb::SqliteStorageBackend::JobKind::kBackup, cldb::SqliteStorageBackend::JobKind::kPrune};
  EXPECT_EQ(Kinds(*backend_), expected);

  backend_.reset();
  RawSql(DbPath(), "ALTER TABLE jobs DROP COLUMN kind; PRAGMA user_version = 3");
  ASSERT_NE(backend_ = Open(), nullptr);
  EXPECT_EQ(RawSql(DbPath(), "PRAGMA user_version"), "4");
  EXPECT_EQ(Kinds(*backend_), expected);
  const auto jobs = Jobs(*backend_);
  EXPECT_TRUE(jobs[0].live && jobs[0].archiveFiles == 1 && jobs[0].status == 0);
}

// The client's held files on that copy, ascending, from the oldest id asked
// for, and a copy's recopied files, ascending; with the copy's offline flag.
TEST_F(SqliteCalls, ListsHeldAndRecopiedFilesWithTheOfflineFlag) {
  JobWithFiles(10, 1, 2);  // archive files 1 and 2
  JobWithFiles(11, 1, 1);  // 3, of another client
  JobWithFiles(10, 2, 1);  // 4, on another copy
  JobWithFiles(10, 1, 2);  // 5 and 6
  ASSERT_EQ(backend_->DropArchiveFile(2), 0);
  ASSERT_EQ(backend_->SetMountPathOffline(2, true), 0);
  using Ids = std::vector<int>;
  for (auto [copyId, oldest, expected, flags] : {std::tuple{1u, 0u, Ids{1, 5, 6}, 0u},
                                                 {1u, 5u, Ids{5, 6}, 0u},
                                                 {1u, 0x0FFFFFFFu, Ids{}, 0u},
                                                 {2u, 0u, Ids{4}, 1u}}) {
    ListAfileIdByAppIdArgs_t args;
    args.appId = 10, args.copyId = copyId, args.oldestArchFileId = oldest;
    ListAfileIdByAppIdRet_t ret;
    ret.retFlags = 0xFFFFFFFF;
    ASSERT_EQ(backend_->listAfileIdByAppId(args, ret), 0);
    EXPECT_TRUE(ret.afileIds == expected && ret.retFlags == flags) << copyId << " " << oldest;
  }
  std::vector<MMAFToRecopy> list;
  int flags = -1;
  ASSERT_EQ(backend_->SetRecopied(2, {99}), 0);
  ASSERT_EQ(backend_->SetRecopied(2, {40, 12, 40, 25}), 0);  // replaces the list
  EXPECT_EQ(backend_->SetRecopied(2, {6, cldb::SqliteStorageBackend::kMaxArchiveFileId + 1}), -1);
  EXPECT_NE(backend_->LastError().find("2147483648"), std::string::npos) << backend_->LastError();
  ASSERT_EQ(backend_->getAFsToRecopyForCopy(2, list, flags), 0);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_TRUE(list[0].afileId == 12 && list[1].afileId == 25 && list[2].afileId == 40);
  EXPECT_TRUE(list[2].copyId == 2 && flags == 1);
  ASSERT_EQ(backend_->getAFsToRecopyForCopy(1, list, flags), 0);
  EXPECT_TRUE(list.empty() && flags == 0);
}

// Flags as given; an unknown client is dirty; a copy, known or not, is not
// clean; the least archive-file id is kept per CLDB.
TEST_F(SqliteCalls, FlagsNamesAndLeastIdsDefaultUntilRecorded) {
  JobWithFiles(30, 1, 0);  // the running job says which of client 30's CLDBs is meant
  auto expect = [&](int dirty, bool clean, const std::string& name) {
    int isDirty = -1;
    bool isClean = !clean;
    GetAgroupCopyInfoRet_t info;
    EXPECT_TRUE(backend_->isClientCacheDBDirty(30, isDirty) == 0 && isDirty == dirty) << isDirty;
    EXPECT_TRUE(backend_->isCopyClientCacheDBClean(99, 7, isClean) == 0 && isClean == clean);
    EXPECT_TRUE(backend_->getAgroupCopyInfo({7, 0}, info) == 0 && info.copyName == name) << name;
  };
  expect(1, false, "Copy 7");
  ASSERT_EQ(backend_->SetMountPathOffline(7, true), 0);
  expect(1, false, "Copy 7");
  ASSERT_EQ(backend_->setClientCacheDBDirty(30, 2), 0);
  ASSERT_EQ(backend_->setCopyClientCacheDBClean(98, 7), 0);
  ASSERT_EQ(backend_->SetCopyName(7, "Secondary 'disk'"), 0);
  expect(2, true, "Secondary 'disk'");
  ASSERT_EQ(backend_->MarkClientDirty(30), 0);
  ASSERT_EQ(backend_->MarkCopyClean(7, false), 0);
  ASSERT_EQ(backend_->SetCopyName(7, ""), 0);
  expect(1, false, "Copy 7");

  bool known = true;
  uint32_t least = 0;
  uint64_t jobId = 0;
  EXPECT_TRUE(backend_->GetLastArchFileId(8, known, least, jobId) == 0 && !known);
  ASSERT_TRUE(backend_->setCachDBLastArchFileId(8, 0x123456789ABCDEF0ULL, 41));
  ASSERT_TRUE(backend_->setCachDBLastArchFileId(9, 0x123456789ABCDEF0ULL, 2));
  ASSERT_TRUE(backend_->setCachDBLastArchFileId(8, 6, 43));
  ASSERT_EQ(backend_->GetLastArchFileId(8, known, least, jobId), 0);
  EXPECT_TRUE(known && least == 43 && jobId == 6) << least << " " << jobId;
  ASSERT_EQ(backend_->GetLastArchFileId(9, known, least, jobId), 0);
  EXPECT_TRUE(least == 2 && jobId == 0x123456789ABCDEF0ULL) << least << " " << jobId;
}

// Ids rise from 1 across clients and copies; a refused call uses up none.
TEST_F(SqliteJobs, ArchiveFilesOnlyForTheRunningJobOfTheirClientAndCopy) {
  std::vector<uint32_t> files;
  EXPECT_EQ(JobWithFiles(1, 1, 2, &files), 1u);
  uint32_t jobId = JobWithFiles(5, 2, 0), afileId = 0;
  EXPECT_EQ(jobId, 2u);
  for (auto [appId, copyId, job, why] : {std::tuple{5u, 2u, 3u, "no job 3"},
                                         {6u, 2u, 2u, "belongs to client 5 and copy 2"},
                                         {5u, 3u, 2u, "belongs to client 5 and copy 2"}}) {
    EXPECT_EQ(backend_->NewArchiveFile(appId, copyId, job, afileId), -1);
    EXPECT_NE(backend_->LastError().find(why), std::string::npos) << backend_->LastError();
  }
  ASSERT_EQ(backend_->EndJob(jobId, 3), 0);
  EXPECT_EQ(backend_->EndJob(jobId, 4), -1);
  EXPECT_EQ(backend_->NewArchiveFile(5, 2, jobId, afileId), -1);
  EXPECT_NE(backend_->LastError().find("has ended"), std::string::npos) << backend_->LastError();
  EXPECT_EQ(JobWithFiles(2, 1, 1, &files), 3u);
  EXPECT_EQ(files, (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(Jobs(*backend_).at(1).status, 3);
}

// A dropped job is forgotten; its archive files stay, retired, until
// garbage collection finds nothing in them that a live job needs.
TEST_F(SqliteJobs, ListedWithTimesAndTotalsAndDropJobRetiresItsFiles) {
  std::vector<uint32_t> files, doomedFiles;
  uint32_t first = JobWithFiles(1, 1, 1, &files), doomed = JobWithFiles(1, 1, 2, &doomedFiles);
  TestNow() = kNow + 60;
  ASSERT_EQ(backend_->NewArchiveFile(1, 1, first, files.emplace_back()), 0);
  std::vector<TestBlock> blocks;
  for (int i = 0; i < 15; ++i) blocks.emplace_back(std::string(64 + i, static_cast<char>('a' + i)));
  std::vector<const TestBlock*> stored;
  for (const TestBlock& block : blocks) stored.push_back(&block);
  ASSERT_EQ(StoreBatch(*backend_, first, 1, files[1], stored), 0);
  ASSERT_EQ(backend_->EndJob(first, -7), 0);
  ASSERT_EQ(backend_->DropJob(doomed), 0);
  EXPECT_EQ(backend_->DropJob(doomed), cldb::SqliteStorageBackend::kUnknown);
  std::vector<cldb::SqliteStorageBackend::ArchiveFileInfo> listed;
  ASSERT_EQ(backend_->ListArchiveFiles(1, 1, listed), 0);
  ASSERT_EQ(listed.size(), 4u);
  EXPECT_TRUE(listed[0].afileId == files[0] && listed[0].createTime == kNow && !listed[0].blocks);
  EXPECT_TRUE(listed[1].afileId == doomedFiles[0] && !listed[1].live && !listed[2].live);
  EXPECT_TRUE(listed[3].afileId == files[1] && listed[3].jobId == first && listed[3].live);
  EXPECT_TRUE(listed[3].createTime == kNow + 60 && listed[3].blocks == 15);
  EXPECT_EQ(listed[3].bytes, 15u * 64 + 105);
  EXPECT_GT(listed[3].packBytes, 0u);
  auto jobs = Jobs(*backend_);
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_TRUE(jobs[0].jobId == first && jobs[0].appId == 1 && jobs[0].copyId == 1);
  EXPECT_TRUE(jobs[0].ended && jobs[0].startTime == kNow && jobs[0].endTime == kNow + 60);
  EXPECT_TRUE(jobs[0].status == -7 && jobs[0].archiveFiles == 2 && jobs[0].blocks == 15);
  ASSERT_EQ(backend_->DropArchiveFile(files[0]), 0);
  EXPECT_EQ(backend_->DropArchiveFile(files[0]), cldb::SqliteStorageBackend::kUnknown);
  EXPECT_NE(backend_->LastError().find("lost already"), std::string::npos);
  EXPECT_EQ(backend_->DropArchiveFile(999), cldb::SqliteStorageBackend::kUnknown);
  EXPECT_NE(backend_->LastError().find("no archive file 999"), std::string::npos);
}

// Job ids stop at 2^32-1 and archive-file ids at 2^31-1; a refused call
// changes nothing.
TEST_F(SqliteJobs, IdsStopAtTheirLimits) {
  RawSql(DbPath(),
         "UPDATE meta SET value = 4294967295 WHERE key = 'next_job_id';"
         "UPDATE meta SET value = 2147483647 WHERE key = 'next_afile_id'");
  uint32_t jobId = 0, afileId = 0;
  ASSERT_EQ(backend_->BeginJob(1, 1, jobId), 0) << backend_->LastError();
  EXPECT_EQ(jobId, UINT32_MAX);
  EXPECT_EQ(backend_->BeginJob(1, 1, jobId), -1);
  EXPECT_NE(backend_->LastError().find("no job id is left"), std::string::npos);
  ASSERT_EQ(backend_->NewArchiveFile(1, 1, jobId, afileId), 0) << backend_->LastError();
  EXPECT_EQ(afileId, cldb::SqliteStorageBackend::kMaxArchiveFileId);
  EXPECT_EQ(backend_->NewArchiveFile(1, 1, jobId, afileId), -1);
  EXPECT_NE(backend_->LastError().find("no archive-file id is left"), std::string::npos);
}

}  // namespace
}  // namespace cldbtest
