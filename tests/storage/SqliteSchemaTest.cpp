// Creation, versioning and reopening of the storage database.
#include <sys/stat.h>

#include "StorageFixture.h"

namespace cldbtest {
namespace {

using SqliteSchemaTest = StorageTest;

TEST_F(SqliteSchemaTest, FirstOpenCreatesVersionedDatabaseInWalMode) {
  struct stat info;
  ASSERT_EQ(stat(DbPath().c_str(), &info), 0);
  EXPECT_EQ(backend_->Path(), DbPath());
  RawSqlite raw(DbPath());
  EXPECT_EQ(raw.Exec("PRAGMA user_version"), std::to_string(SqliteStorageBackend::kSchemaVersion));
  EXPECT_EQ(raw.Exec("PRAGMA journal_mode"), "wal");
}

TEST_F(SqliteSchemaTest, OpenMakesMissingFolders) {
  TempDir root;
  std::string error;
  auto backend = SqliteStorageBackend::Open(root / "a/b/c", error);
  ASSERT_NE(backend, nullptr) << error;
  struct stat info;
  EXPECT_EQ(stat((root / "a/b/c/storage.sqlite").c_str(), &info), 0);
}

TEST_F(SqliteSchemaTest, FolderThatCannotBeMadeIsReported) {
  TempDir root;
  WriteFile(root / "file", "x");
  std::string error;
  EXPECT_EQ(SqliteStorageBackend::Open(root / "file/sub", error), nullptr);
  EXPECT_NE(error.find("cannot create folder"), std::string::npos) << error;
}

TEST_F(SqliteSchemaTest, NewerSchemaVersionIsRefusedAndLeftAlone) {
  backend_.reset();
  RawSqlite(DbPath()).Exec("PRAGMA user_version = 2");
  std::string error;
  EXPECT_EQ(SqliteStorageBackend::Open(dir_.path(), error), nullptr);
  EXPECT_NE(error.find("schema version 2"), std::string::npos) << error;
  EXPECT_NE(error.find(DbPath()), std::string::npos) << error;
  EXPECT_EQ(RawSqlite(DbPath()).Exec("PRAGMA user_version"), "2");
}

TEST_F(SqliteSchemaTest, DatabaseOfAnotherKindIsRefused) {
  TempDir other;
  RawSqlite(other / SqliteStorageBackend::kFileName).Exec("CREATE TABLE t(x)");
  std::string error;
  EXPECT_EQ(SqliteStorageBackend::Open(other.path(), error), nullptr);
  EXPECT_NE(error.find("not a storage database"), std::string::npos) << error;
  EXPECT_EQ(RawSqlite(other / SqliteStorageBackend::kFileName).Exec("PRAGMA user_version"), "0");
}

TEST_F(SqliteSchemaTest, FileThatIsNoDatabaseIsRefused) {
  TempDir other;
  WriteFile(other / SqliteStorageBackend::kFileName, std::string(4096, 'z'));
  std::string error;
  EXPECT_EQ(SqliteStorageBackend::Open(other.path(), error), nullptr);
  EXPECT_NE(error.find("not a database"), std::string::npos) << error;
}

TEST_F(SqliteSchemaTest, EverythingPersistsAcrossReopen) {
  std::vector<uint32_t> files;
  uint32_t jobId = JobWithFiles(4, 2, 2, &files);
  ASSERT_EQ(backend_->AddToArchiveFile(files[0], 3, 300), 0);
  ASSERT_EQ(backend_->EndJob(jobId, 1), 0);
  ASSERT_EQ(backend_->SetCopyName(2, "Tape"), 0);
  ASSERT_EQ(backend_->SetRecopied(2, {files[1]}), 0);
  ASSERT_EQ(backend_->MarkClientDirty(4, false), 0);
  unsigned long long hubcellId = backend_->getHubcellId();

  backend_ = Open();
  ASSERT_NE(backend_, nullptr);
  EXPECT_EQ(backend_->getHubcellId(), hubcellId);
  std::vector<SqliteStorageBackend::ArchiveFileInfo> stored;
  ASSERT_EQ(backend_->ListArchiveFiles(4, 2, stored), 0);
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0].blocks, 3u);
  EXPECT_EQ(stored[0].bytes, 300u);
  std::vector<SqliteStorageBackend::JobInfo> jobs;
  ASSERT_EQ(backend_->ListJobs(jobs), 0);
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_TRUE(jobs[0].ended);
  EXPECT_EQ(jobs[0].status, 1);
  GetAgroupCopyInfoRet_t info;
  ASSERT_EQ(backend_->getAgroupCopyInfo(GetAgroupCopyInfoArgs_t{2, 0}, info), 0);
  EXPECT_EQ(info.copyName, "Tape");
  std::vector<MMAFToRecopy> recopied;
  int flags = 0;
  ASSERT_EQ(backend_->getAFsToRecopyForCopy(2, recopied, flags), 0);
  ASSERT_EQ(recopied.size(), 1u);
  EXPECT_EQ(recopied[0].afileId, static_cast<int>(files[1]));
  int dirty = -1;
  ASSERT_EQ(backend_->isClientCacheDBDirty(4, dirty), 0);
  EXPECT_EQ(dirty, 0);
  // Allocation goes on after the highest id handed out before the reopen.
  uint32_t nextJob = 0;
  ASSERT_EQ(backend_->BeginJob(4, 2, nextJob), 0);
  EXPECT_EQ(nextJob, jobId + 1);
}

TEST_F(SqliteSchemaTest, EachDatabaseDrawsItsOwnHubcellId) {
  TempDir other;
  std::string error;
  auto second = SqliteStorageBackend::Open(other.path(), error);
  ASSERT_NE(second, nullptr) << error;
  EXPECT_NE(backend_->getHubcellId(), 0u);
  EXPECT_NE(second->getHubcellId(), 0u);
  EXPECT_NE(second->getHubcellId(), backend_->getHubcellId());
}

}  // namespace
}  // namespace cldbtest
