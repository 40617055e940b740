// Several processes, connections and threads on one storage database: no id
// is handed out twice, no change is lost, and a busy database is waited for.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "StorageFixture.h"

namespace cldbtest {
namespace {

constexpr uint32_t kWorkers = 4, kRounds = 10;

// The block of client 100's job that every worker's jobs reference.
const TestBlock& Shared() {
  static const TestBlock shared("shared");
  return shared;
}

// One worker's share as client `appId`: kRounds jobs, each with an archive file that
// stores one block of `appId` bytes and references the shared block.
bool Work(cldb::SqliteStorageBackend& backend, uint32_t appId) {
  for (uint32_t round = 0; round < kRounds; ++round) {
    uint32_t jobId = 0, afileId = 0;
    const TestBlock own(std::string(appId, static_cast<char>('a' + round)));
    std::vector<size_t> unresolved;
    if (backend.BeginJob(appId, 1, jobId) != 0 ||
        backend.NewArchiveFile(appId, 1, jobId, afileId) != 0 ||
        StoreBatch(backend, jobId, 1, afileId, {&own}, {&Shared()}, &unresolved) != 0 ||
        !unresolved.empty() || backend.EndJob(jobId, 0) != 0) {
      ADD_FAILURE() << "client " << appId << ": " << backend.LastError();
      return false;
    }
  }
  return true;
}

class SqliteConcurrency : public StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    std::vector<uint32_t> files;
    const uint32_t jobId = JobWithFiles(100, 1, 1, &files);  // job 1 with archive file 1
    ASSERT_EQ(StoreBatch(*backend_, jobId, 1, files[0], {&Shared()}), 0);
  }
  // Every worker's jobs are there, each with its archive file (ids are keys, so none was
  // given twice) and block, and every one of their archive files references the shared
  // block.
  void ExpectAllRecorded(cldb::SqliteStorageBackend& backend) {
    auto jobs = Jobs(backend);
    ASSERT_EQ(jobs.size(), 1 + kWorkers * kRounds);
    for (size_t i = 1; i < jobs.size(); ++i)
      EXPECT_TRUE(jobs[i].archiveFiles == 1 && jobs[i].blocks == 1 &&
                  jobs[i].bytes == jobs[i].appId)
          << "job " << jobs[i].jobId;
    EXPECT_EQ(RawSql(DbPath(), "SELECT count(*) FROM refs"), std::to_string(kWorkers * kRounds));
  }
};

// The workers start together: each opens, and so creates, a new database at
// once, then works on the fixture's.
TEST_F(SqliteConcurrency, ProcessesCreateADatabaseTogetherAndLoseNoChange) {
  backend_.reset();  // no connection crosses the fork
  TempDir fresh;
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  std::vector<pid_t> pids;
  for (uint32_t appId = 1; appId <= kWorkers; ++appId) {
    pids.push_back(fork());
    if (pids.back() == 0) {
      close(gate[1]);
      char byte;
      (void)!read(gate[0], &byte, 1);  // returns at the parent's close
      std::string error;
      uint32_t jobId = 0;
      auto created = cldb::SqliteStorageBackend::Open(fresh.path(), error);
      auto backend = cldb::SqliteStorageBackend::Open(dir_.path(), error);
      _exit(created && created->BeginJob(appId, 1, jobId) == 0 && backend && Work(*backend, appId)
                ? 0
                : 1);
    }
  }
  close(gate[0]);
  close(gate[1]);
  for (pid_t pid : pids) {
    int status = -1;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "worker status " << status;
  }
  ASSERT_NE(backend_ = Open(), nullptr);
  ExpectAllRecorded(*backend_);
}

// Half the threads share the fixture's object, the others a second connection.
TEST_F(SqliteConcurrency, ThreadsOnSharedAndSeparateConnectionsLoseNoChange) {
  auto second = Open();
  ASSERT_NE(second, nullptr);
  std::vector<std::thread> threads;
  for (uint32_t appId = 1; appId <= kWorkers; ++appId)
    threads.emplace_back([&, appId] { Work(appId % 2 ? *second : *backend_, appId); });
  for (auto& thread : threads) thread.join();
  ExpectAllRecorded(*second);
}

// While another connection holds the write lock a change waits for it, or
// fails after the busy time-out without using up an id; readers go on.
TEST_F(SqliteConcurrency, BusyDatabaseIsWaitedForUpToTheTimeout) {
  auto impatient = Open(1);
  ASSERT_NE(impatient, nullptr);
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(DbPath().c_str(), &raw), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(raw, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  uint32_t jobId = 0;
  EXPECT_EQ(impatient->BeginJob(1, 1, jobId), -1);
  EXPECT_NE(impatient->LastError().find("locked"), std::string::npos) << impatient->LastError();
  int dirty = 0, rc = -2;
  EXPECT_EQ(impatient->isClientCacheDBDirty(1, dirty), 0);
  std::thread waiter([&] { rc = backend_->BeginJob(1, 1, jobId); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  waiter.join();
  sqlite3_close(raw);
  EXPECT_EQ(rc, 0) << backend_->LastError();
  EXPECT_EQ(jobId, 2u);  // after the shared file's job; the failed attempt used up none
}

// Opening a database of the current schema writes nothing, so it does not
// wait for a writer: a command may open the storage side before it takes a
// CLDB's lock without ever waiting behind a job.
TEST_F(SqliteConcurrency, OpeningACurrentDatabaseWaitsForNoWriter) {
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(DbPath().c_str(), &raw), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(raw, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  const auto start = std::chrono::steady_clock::now();
  auto opened = Open(5000);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_NE(opened, nullptr);
  EXPECT_LT(waited, std::chrono::seconds(2));
  EXPECT_EQ(sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(raw);
}

}  // namespace
}  // namespace cldbtest
