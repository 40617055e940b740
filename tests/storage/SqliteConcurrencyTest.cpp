// Several processes, connections and threads on one storage database: no id
// is handed out twice, no change is lost, and a busy database is waited for.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "StorageFixture.h"

namespace cldbtest {
namespace {

using SqliteConcurrencyTest = StorageTest;
using ArchiveFileInfo = SqliteStorageBackend::ArchiveFileInfo;

constexpr int kWorkers = 4;
constexpr int kRounds = 10;

// One worker's share: kRounds jobs of client `appId`, each with one archive
// file holding one block of `appId` bytes, and one block of one byte added to
// the shared archive file per round. Returns the archive-file ids it got, or
// nothing after the first failure (reported through `error`).
std::vector<uint32_t> Work(SqliteStorageBackend& backend, uint32_t appId, uint32_t sharedAFile,
                           std::string& error) {
  std::vector<uint32_t> ids;
  for (int round = 0; round < kRounds; ++round) {
    uint32_t jobId = 0, afileId = 0;
    if (backend.BeginJob(appId, 1, jobId) != 0 ||
        backend.NewArchiveFile(appId, 1, jobId, afileId) != 0 ||
        backend.AddToArchiveFile(afileId, 1, appId) != 0 ||
        (sharedAFile && backend.AddToArchiveFile(sharedAFile, 1, 1) != 0) ||
        backend.EndJob(jobId, 0) != 0) {
      error = backend.LastError();
      return {};
    }
    ids.push_back(afileId);
  }
  return ids;
}

// Checks what the workers 1..kWorkers left: each client's archive files are
// exactly the ids the worker was given, each with its one block, and no id
// was given twice.
void ExpectWorkersRecorded(SqliteStorageBackend& backend,
                           const std::vector<std::vector<uint32_t>>& given) {
  std::set<uint32_t> all;
  for (uint32_t appId = 1; appId <= kWorkers; ++appId) {
    std::vector<ArchiveFileInfo> files;
    ASSERT_EQ(backend.ListArchiveFiles(appId, 1, files), 0) << backend.LastError();
    std::vector<uint32_t> listed;
    for (const ArchiveFileInfo& file : files) {
      listed.push_back(file.afileId);
      EXPECT_EQ(file.blocks, 1u);
      EXPECT_EQ(file.bytes, appId);
    }
    EXPECT_EQ(listed, given[appId - 1]) << "client " << appId;
    all.insert(listed.begin(), listed.end());
  }
  EXPECT_EQ(all.size(), static_cast<size_t>(kWorkers * kRounds));
  std::vector<SqliteStorageBackend::JobInfo> jobs;
  ASSERT_EQ(backend.ListJobs(jobs), 0);
  std::set<uint32_t> jobIds;
  for (const auto& job : jobs) jobIds.insert(job.jobId);
  EXPECT_EQ(jobIds.size(), jobs.size());
}

// Runs `child(index)` in kWorkers processes that start together once all are
// forked; expects every one to exit with 0.
template <typename Child>
void RunProcesses(Child child) {
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  std::vector<pid_t> pids;
  for (int i = 0; i < kWorkers; ++i) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(gate[1]);
      char byte;
      (void)!read(gate[0], &byte, 1);  // returns at the parent's close
      _exit(child(i));
    }
    pids.push_back(pid);
  }
  close(gate[0]);
  close(gate[1]);
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "worker status " << status;
  }
}

TEST_F(SqliteConcurrencyTest, ProcessesCreatingADatabaseTogetherAllGetIn) {
  TempDir root;
  RunProcesses([&](int index) {
    std::string error;
    auto backend = SqliteStorageBackend::Open(root.path(), error);
    uint32_t jobId = 0;
    if (!backend || backend->BeginJob(index + 1, 1, jobId) != 0) {
      fprintf(stderr, "worker %d: %s\n", index,
              backend ? backend->LastError().c_str() : error.c_str());
      return 1;
    }
    return 0;
  });
  std::string error;
  auto backend = SqliteStorageBackend::Open(root.path(), error);
  ASSERT_NE(backend, nullptr) << error;
  std::vector<SqliteStorageBackend::JobInfo> jobs;
  ASSERT_EQ(backend->ListJobs(jobs), 0);
  std::set<uint32_t> jobIds, appIds;
  for (const auto& job : jobs) {
    jobIds.insert(job.jobId);
    appIds.insert(job.appId);
  }
  EXPECT_EQ(jobIds, (std::set<uint32_t>{1, 2, 3, 4}));
  EXPECT_EQ(appIds, (std::set<uint32_t>{1, 2, 3, 4}));
}

TEST_F(SqliteConcurrencyTest, ProcessesAllocateAndAccountWithoutLosingChanges) {
  std::vector<uint32_t> shared;
  JobWithFiles(100, 1, 1, &shared);
  backend_.reset();  // no connection crosses the fork
  RunProcesses([&](int index) {
    std::string error;
    auto backend = SqliteStorageBackend::Open(dir_.path(), error);
    std::vector<uint32_t> ids;
    if (backend) ids = Work(*backend, index + 1, shared[0], error);
    if (ids.empty()) {
      fprintf(stderr, "worker %d: %s\n", index, error.c_str());
      return 1;
    }
    std::ofstream out(dir_ / ("ids-" + std::to_string(index)));
    for (uint32_t id : ids) out << id << '\n';
    return out.flush() ? 0 : 2;
  });

  std::vector<std::vector<uint32_t>> given(kWorkers);
  for (int i = 0; i < kWorkers; ++i) {
    std::istringstream in(ReadFile(dir_ / ("ids-" + std::to_string(i))));
    for (uint32_t id; in >> id;) given[i].push_back(id);
  }
  backend_ = Open();
  ASSERT_NE(backend_, nullptr);
  ExpectWorkersRecorded(*backend_, given);
  std::vector<ArchiveFileInfo> sharedFile;
  ASSERT_EQ(backend_->ListArchiveFiles(100, 1, sharedFile), 0);
  ASSERT_EQ(sharedFile.size(), 1u);
  EXPECT_EQ(sharedFile[0].blocks, static_cast<uint64_t>(kWorkers * kRounds));
  EXPECT_EQ(sharedFile[0].bytes, static_cast<uint64_t>(kWorkers * kRounds));
}

// Half the threads share the fixture's object, the others a second
// connection of their own process.
TEST_F(SqliteConcurrencyTest, ThreadsOnSharedAndSeparateConnections) {
  std::vector<uint32_t> shared;
  JobWithFiles(100, 1, 1, &shared);
  auto second = Open();
  ASSERT_NE(second, nullptr);
  std::vector<std::vector<uint32_t>> given(kWorkers);
  std::vector<std::string> errors(kWorkers);
  std::vector<std::thread> threads;
  for (int i = 0; i < kWorkers; ++i) {
    SqliteStorageBackend& backend = i % 2 ? *second : *backend_;
    threads.emplace_back([&, i] { given[i] = Work(backend, i + 1, shared[0], errors[i]); });
  }
  for (auto& thread : threads) thread.join();
  for (int i = 0; i < kWorkers; ++i) EXPECT_EQ(errors[i], "") << "worker " << i;
  ExpectWorkersRecorded(*backend_, given);
  std::vector<ArchiveFileInfo> sharedFile;
  ASSERT_EQ(second->ListArchiveFiles(100, 1, sharedFile), 0);
  ASSERT_EQ(sharedFile.size(), 1u);
  EXPECT_EQ(sharedFile[0].blocks, static_cast<uint64_t>(kWorkers * kRounds));
}

TEST_F(SqliteConcurrencyTest, ChangeFailsWhenTheLockOutlastsTheTimeout) {
  SqliteStorageBackend::Options impatient;
  impatient.busyTimeoutMs = 1;
  auto backend = Open(impatient);
  ASSERT_NE(backend, nullptr);
  RawSqlite raw(DbPath());
  ASSERT_EQ(raw.Exec("BEGIN IMMEDIATE"), "");
  uint32_t jobId = 0;
  EXPECT_EQ(backend->BeginJob(1, 1, jobId), -1);
  EXPECT_NE(backend->LastError().find("locked"), std::string::npos) << backend->LastError();
  // Readers are not held up by a writer.
  int dirty = 0;
  EXPECT_EQ(backend->isClientCacheDBDirty(1, dirty), 0);
  ASSERT_EQ(raw.Exec("COMMIT"), "");
  ASSERT_EQ(backend->BeginJob(1, 1, jobId), 0) << backend->LastError();
  EXPECT_EQ(jobId, 1u);  // the failed attempt used up no id
}

TEST_F(SqliteConcurrencyTest, BusyDatabaseIsWaitedFor) {
  RawSqlite raw(DbPath());
  ASSERT_EQ(raw.Exec("BEGIN IMMEDIATE"), "");
  std::atomic<bool> started{false};
  int rc = -2;
  uint32_t jobId = 0;
  std::thread waiter([&] {
    started = true;
    rc = backend_->BeginJob(1, 1, jobId);
  });
  while (!started) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(raw.Exec("COMMIT"), "");
  waiter.join();
  EXPECT_EQ(rc, 0) << backend_->LastError();
  EXPECT_EQ(jobId, 1u);
}

}  // namespace
}  // namespace cldbtest
