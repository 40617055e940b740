// Shared set-up of the storage-side tests: a database in a private folder,
// a fixed clock, and a second, raw SQLite connection to look behind the
// backend's back (schema version, counters, locks).
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "TestSupport.h"
#include "platform/Clock.h"
#include "platform/SqliteStorageBackend.h"

namespace cldbtest {

// A raw connection to the same database.
class RawSqlite {
 public:
  explicit RawSqlite(const std::string& path) {
    EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK) << path;
  }
  ~RawSqlite() { sqlite3_close(db_); }
  RawSqlite(const RawSqlite&) = delete;
  RawSqlite& operator=(const RawSqlite&) = delete;

  // Runs `sql`; returns the first column of the last row it produced, "" for
  // none, or "error: <message>".
  std::string Exec(const std::string& sql) {
    std::string value;
    auto keep = [](void* out, int, char** columns, char**) {
      *static_cast<std::string*>(out) = columns[0] ? columns[0] : "NULL";
      return 0;
    };
    char* message = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), keep, &value, &message) != SQLITE_OK) {
      value = std::string("error: ") + (message ? message : "?");
      sqlite3_free(message);
    }
    return value;
  }

 private:
  sqlite3* db_ = nullptr;
};

class StorageTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kNow = 1700000000;

  void SetUp() override {
    clock_ = kNow;
    previousClock_ = ZelSetClockHook([] { return clock_.load(); });
    backend_ = Open();
    ASSERT_NE(backend_, nullptr);
  }
  void TearDown() override { ZelSetClockHook(previousClock_); }

  std::unique_ptr<SqliteStorageBackend> Open(
      const SqliteStorageBackend::Options& options = SqliteStorageBackend::Options()) {
    std::string error;
    auto backend = SqliteStorageBackend::Open(dir_.path(), options, error);
    EXPECT_NE(backend, nullptr) << error;
    return backend;
  }
  std::string DbPath() const { return dir_ / SqliteStorageBackend::kFileName; }

  // Starts a job of (appId, copyId) and gives it `count` archive files.
  uint32_t JobWithFiles(uint32_t appId, uint32_t copyId, int count,
                        std::vector<uint32_t>* files = nullptr) {
    uint32_t jobId = 0;
    EXPECT_EQ(backend_->BeginJob(appId, copyId, jobId), 0) << backend_->LastError();
    for (int i = 0; i < count; ++i) {
      uint32_t afileId = 0;
      EXPECT_EQ(backend_->NewArchiveFile(appId, copyId, jobId, afileId), 0)
          << backend_->LastError();
      if (files) files->push_back(afileId);
    }
    return jobId;
  }

  static inline std::atomic<uint32_t> clock_{0};
  ZelClockHook previousClock_ = nullptr;
  TempDir dir_;
  std::unique_ptr<SqliteStorageBackend> backend_;
};

}  // namespace cldbtest
