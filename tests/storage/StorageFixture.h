// Shared set-up of the storage-side tests: a database in a private folder and
// a fixed clock.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "storage/SqliteStorageBackend.h"

namespace cldbtest {

// Runs `sql` on the database at `path` behind the backend's back; returns the
// first column of the last row ("" for none or on failure).
inline std::string RawSql(const std::string& path, const std::string& sql) {
  auto keep = [](void* out, int, char** columns, char**) {
    *static_cast<std::string*>(out) = columns[0] ? columns[0] : "";
    return 0;
  };
  std::string value;
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) == SQLITE_OK)
    sqlite3_exec(db, sql.c_str(), keep, &value, nullptr);
  sqlite3_close(db);
  return value;
}

class StorageTest : public ::testing::Test {
 protected:
  using JobInfo = SqliteStorageBackend::JobInfo;
  static constexpr uint32_t kNow = 1700000000;

  void SetUp() override {
    ASSERT_NE(backend_ = Open(), nullptr);
  }

  std::unique_ptr<SqliteStorageBackend> Open(unsigned int busyTimeoutMs = 10000) {
    std::string error;
    auto backend = SqliteStorageBackend::Open(dir_.path(), {busyTimeoutMs}, error);
    EXPECT_NE(backend, nullptr) << error;
    return backend;
  }
  std::string DbPath() const { return dir_ / SqliteStorageBackend::kFileName; }

  // Starts a job of (appId, copyId) with `count` archive files; their ids go to `files`.
  uint32_t JobWithFiles(uint32_t appId, uint32_t copyId, int count,
                        std::vector<uint32_t>* files = nullptr) {
    uint32_t jobId = 0, afileId = 0;
    EXPECT_EQ(backend_->BeginJob(appId, copyId, jobId), 0) << backend_->LastError();
    for (int i = 0; i < count; ++i) {
      EXPECT_EQ(backend_->NewArchiveFile(appId, copyId, jobId, afileId), 0);
      if (files) files->push_back(afileId);
    }
    return jobId;
  }
  static std::vector<JobInfo> Jobs(SqliteStorageBackend& backend) {
    std::vector<JobInfo> jobs;
    EXPECT_EQ(backend.ListJobs(jobs), 0) << backend.LastError();
    return jobs;
  }

  TestClock clock_{kNow};
  TempDir dir_;
  std::unique_ptr<SqliteStorageBackend> backend_;
};

}  // namespace cldbtest
