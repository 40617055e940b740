// Jobs and archive files as the command-line tool keeps them: id
// allocation, accounting, listing and dropping.
#include <set>

#include "StorageFixture.h"

namespace cldbtest {
namespace {

using SqliteJobsTest = StorageTest;
using JobInfo = SqliteStorageBackend::JobInfo;
using ArchiveFileInfo = SqliteStorageBackend::ArchiveFileInfo;

std::vector<JobInfo> Jobs(SqliteStorageBackend& backend) {
  std::vector<JobInfo> jobs;
  EXPECT_EQ(backend.ListJobs(jobs), 0) << backend.LastError();
  return jobs;
}

std::vector<ArchiveFileInfo> Files(SqliteStorageBackend& backend, uint32_t appId, uint32_t copyId) {
  std::vector<ArchiveFileInfo> files;
  EXPECT_EQ(backend.ListArchiveFiles(appId, copyId, files), 0) << backend.LastError();
  return files;
}

TEST_F(SqliteJobsTest, IdsStartAtOneAndRiseAcrossClientsAndCopies) {
  std::vector<uint32_t> files;
  EXPECT_EQ(JobWithFiles(1, 1, 2, &files), 1u);
  EXPECT_EQ(JobWithFiles(2, 1, 1, &files), 2u);
  EXPECT_EQ(JobWithFiles(1, 3, 2, &files), 3u);
  EXPECT_EQ(files, (std::vector<uint32_t>{1, 2, 3, 4, 5}));
}

TEST_F(SqliteJobsTest, IdsAreNeverReusedAfterDrops) {
  std::vector<uint32_t> files;
  uint32_t job1 = JobWithFiles(1, 1, 2, &files);
  uint32_t job2 = JobWithFiles(1, 1, 1, &files);
  ASSERT_EQ(backend_->DropArchiveFile(files[2]), 0);
  ASSERT_EQ(backend_->DropJob(job2), 0);
  ASSERT_EQ(backend_->DropJob(job1), 0);
  backend_ = Open();
  ASSERT_NE(backend_, nullptr);
  std::vector<uint32_t> later;
  EXPECT_EQ(JobWithFiles(1, 1, 1, &later), job2 + 1);
  EXPECT_EQ(later, std::vector<uint32_t>{files.back() + 1});
}

TEST_F(SqliteJobsTest, NewArchiveFileNeedsTheRunningJobOfThatClientAndCopy) {
  uint32_t jobId = JobWithFiles(5, 2, 0);
  uint32_t afileId = 0;
  EXPECT_EQ(backend_->NewArchiveFile(5, 2, jobId + 1, afileId), -1);
  EXPECT_NE(backend_->LastError().find("no job"), std::string::npos) << backend_->LastError();
  EXPECT_EQ(backend_->NewArchiveFile(6, 2, jobId, afileId), -1);
  EXPECT_NE(backend_->LastError().find("belongs to client 5 and copy 2"), std::string::npos)
      << backend_->LastError();
  EXPECT_EQ(backend_->NewArchiveFile(5, 3, jobId, afileId), -1);
  ASSERT_EQ(backend_->EndJob(jobId, 0), 0);
  EXPECT_EQ(backend_->NewArchiveFile(5, 2, jobId, afileId), -1);
  EXPECT_NE(backend_->LastError().find("has ended"), std::string::npos) << backend_->LastError();
  EXPECT_EQ(afileId, 0u);
  // The refusals used up no id.
  std::vector<uint32_t> files;
  JobWithFiles(5, 2, 1, &files);
  EXPECT_EQ(files, std::vector<uint32_t>{1});
}

TEST_F(SqliteJobsTest, ArchiveFilesAreListedWithJobTimeAndTotals) {
  std::vector<uint32_t> files;
  uint32_t jobId = JobWithFiles(5, 2, 1, &files);
  clock_ = kNow + 60;
  uint32_t afileId = 0;
  ASSERT_EQ(backend_->NewArchiveFile(5, 2, jobId, afileId), 0);
  ASSERT_EQ(backend_->AddToArchiveFile(afileId, 10, 1000), 0);
  ASSERT_EQ(backend_->AddToArchiveFile(afileId, 5, 24), 0);
  JobWithFiles(5, 3, 1);
  auto listed = Files(*backend_, 5, 2);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].afileId, files[0]);
  EXPECT_EQ(listed[0].createTime, kNow);
  EXPECT_EQ(listed[0].blocks, 0u);
  EXPECT_EQ(listed[1].afileId, afileId);
  EXPECT_EQ(listed[1].jobId, jobId);
  EXPECT_EQ(listed[1].createTime, kNow + 60);
  EXPECT_EQ(listed[1].blocks, 15u);
  EXPECT_EQ(listed[1].bytes, 1024u);
  EXPECT_TRUE(Files(*backend_, 6, 2).empty());
}

TEST_F(SqliteJobsTest, JobsAreListedWithStateAndTotals) {
  std::vector<uint32_t> files;
  uint32_t first = JobWithFiles(1, 1, 2, &files);
  ASSERT_EQ(backend_->AddToArchiveFile(files[0], 1, 100), 0);
  ASSERT_EQ(backend_->AddToArchiveFile(files[1], 2, 200), 0);
  clock_ = kNow + 5;
  ASSERT_EQ(backend_->EndJob(first, -7), 0);
  uint32_t second = JobWithFiles(2, 4, 0);
  auto jobs = Jobs(*backend_);
  ASSERT_EQ(jobs.size(), 2u);
  EXPECT_EQ(jobs[0].jobId, first);
  EXPECT_EQ(jobs[0].appId, 1u);
  EXPECT_EQ(jobs[0].copyId, 1u);
  EXPECT_EQ(jobs[0].startTime, kNow);
  EXPECT_TRUE(jobs[0].ended);
  EXPECT_EQ(jobs[0].endTime, kNow + 5);
  EXPECT_EQ(jobs[0].status, -7);
  EXPECT_EQ(jobs[0].archiveFiles, 2u);
  EXPECT_EQ(jobs[0].blocks, 3u);
  EXPECT_EQ(jobs[0].bytes, 300u);
  EXPECT_EQ(jobs[1].jobId, second);
  EXPECT_FALSE(jobs[1].ended);
  EXPECT_EQ(jobs[1].archiveFiles, 0u);
  EXPECT_EQ(jobs[1].bytes, 0u);
}

TEST_F(SqliteJobsTest, EndJobOnlyEndsARunningJob) {
  uint32_t jobId = JobWithFiles(1, 1, 0);
  EXPECT_EQ(backend_->EndJob(jobId + 1, 0), -1);
  ASSERT_EQ(backend_->EndJob(jobId, 3), 0);
  clock_ = kNow + 100;
  EXPECT_EQ(backend_->EndJob(jobId, 4), -1);
  auto jobs = Jobs(*backend_);
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0].status, 3);
  EXPECT_EQ(jobs[0].endTime, kNow);
}

TEST_F(SqliteJobsTest, TotalsThatWouldOverflowAreRefusedUnchanged) {
  std::vector<uint32_t> files;
  JobWithFiles(1, 1, 1, &files);
  const uint64_t max = INT64_MAX;
  ASSERT_EQ(backend_->AddToArchiveFile(files[0], 2, max - 1), 0);
  EXPECT_EQ(backend_->AddToArchiveFile(files[0], 1, 2), -1);
  EXPECT_NE(backend_->LastError().find("overflow"), std::string::npos) << backend_->LastError();
  EXPECT_EQ(backend_->AddToArchiveFile(files[0], UINT64_MAX, 0), -1);
  ASSERT_EQ(backend_->AddToArchiveFile(files[0], 0, 1), 0);
  auto listed = Files(*backend_, 1, 1);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].blocks, 2u);
  EXPECT_EQ(listed[0].bytes, max);
}

TEST_F(SqliteJobsTest, DropJobDropsItsFilesOnly) {
  std::vector<uint32_t> doomed, kept;
  uint32_t doomedJob = JobWithFiles(1, 1, 2, &doomed);
  uint32_t keptJob = JobWithFiles(1, 1, 1, &kept);
  ASSERT_EQ(backend_->DropJob(doomedJob), 0);
  auto listed = Files(*backend_, 1, 1);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].afileId, kept[0]);
  auto jobs = Jobs(*backend_);
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0].jobId, keptJob);
  EXPECT_EQ(backend_->AddToArchiveFile(doomed[0], 1, 1), -1);
  uint32_t afileId = 0;
  EXPECT_EQ(backend_->NewArchiveFile(1, 1, doomedJob, afileId), -1);
}

TEST_F(SqliteJobsTest, UnknownIdsAreRefused) {
  EXPECT_EQ(backend_->AddToArchiveFile(1, 1, 1), -1);
  EXPECT_NE(backend_->LastError().find("no archive file 1"), std::string::npos)
      << backend_->LastError();
  std::vector<uint32_t> files;
  uint32_t jobId = JobWithFiles(1, 1, 1, &files);
  EXPECT_EQ(backend_->DropJob(jobId + 1), -1);
  EXPECT_NE(backend_->LastError().find("no job"), std::string::npos) << backend_->LastError();
  EXPECT_EQ(backend_->DropArchiveFile(files[0] + 1), -1);
  EXPECT_NE(backend_->LastError().find("no archive file"), std::string::npos)
      << backend_->LastError();
  ASSERT_EQ(backend_->DropArchiveFile(files[0]), 0);
  EXPECT_EQ(backend_->DropArchiveFile(files[0]), -1);
  EXPECT_EQ(Jobs(*backend_).size(), 1u);  // the job outlives its last file
}

TEST_F(SqliteJobsTest, ArchiveFileIdsStopBelowTwoToTheThirtyOne) {
  uint32_t jobId = JobWithFiles(1, 1, 0);
  RawSqlite(DbPath()).Exec("UPDATE meta SET value = 2147483647 WHERE key = 'next_afile_id'");
  uint32_t afileId = 0;
  ASSERT_EQ(backend_->NewArchiveFile(1, 1, jobId, afileId), 0) << backend_->LastError();
  EXPECT_EQ(afileId, SqliteStorageBackend::kMaxArchiveFileId);
  uint32_t refused = 0;
  EXPECT_EQ(backend_->NewArchiveFile(1, 1, jobId, refused), -1);
  EXPECT_NE(backend_->LastError().find("no archive-file id is left"), std::string::npos)
      << backend_->LastError();
  ListAfileIdByAppIdArgs_t args;
  args.appId = 1;
  args.copyId = 1;
  ListAfileIdByAppIdRet_t ret;
  ASSERT_EQ(backend_->listAfileIdByAppId(args, ret), 0);
  EXPECT_EQ(ret.afileIds, std::vector<int>{INT32_MAX});
}

TEST_F(SqliteJobsTest, JobIdsStopAtTheTopOfTheirRange) {
  RawSqlite(DbPath()).Exec("UPDATE meta SET value = 4294967295 WHERE key = 'next_job_id'");
  uint32_t jobId = 0;
  ASSERT_EQ(backend_->BeginJob(1, 1, jobId), 0) << backend_->LastError();
  EXPECT_EQ(jobId, UINT32_MAX);
  EXPECT_EQ(backend_->BeginJob(1, 1, jobId), -1);
  EXPECT_NE(backend_->LastError().find("no job id is left"), std::string::npos)
      << backend_->LastError();
  EXPECT_EQ(Jobs(*backend_).size(), 1u);
}

}  // namespace
}  // namespace cldbtest
