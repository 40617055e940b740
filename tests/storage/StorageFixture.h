// Shared set-up of the storage-side tests: a database in a private folder and
// a fixed clock.
#pragma once

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "storage/JobWriter.h"
#include "storage/RawSql.h"
#include "storage/SqliteStorageBackend.h"

namespace cldbtest {

// A block for the storage side: its data and its signature.
struct TestBlock {
  explicit TestBlock(std::string bytes) : data(std::move(bytes)) {
    SHA512(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
  }
  std::string data;
  unsigned char digest[SHA512_DIGEST_LENGTH];

  cldb::JobWriter::Block Ref() const {
    return {digest, static_cast<uint32_t>(data.size()),
            reinterpret_cast<const unsigned char*>(data.data())};
  }
};

// Stores `stored` into archive file `afileId` of running job `jobId` (on
// copy `copyId`) and references `referenced`, as a job's batch does; the
// indexes of the references nothing could serve go to `unresolved`. Blocks
// are stored into an archive file by one call only (it makes its pack).
inline int StoreBatch(cldb::SqliteStorageBackend& backend, uint32_t jobId, uint32_t copyId,
                      uint32_t afileId, const std::vector<const TestBlock*>& stored,
                      const std::vector<const TestBlock*>& referenced = {},
                      std::vector<size_t>* unresolved = nullptr) {
  cldb::JobWriter writer(backend, jobId, copyId, 4096, 2);
  writer.UseArchiveFile(afileId);
  std::vector<cldb::JobWriter::Block> s, r;
  for (const TestBlock* block : stored) s.push_back(block->Ref());
  for (const TestBlock* block : referenced) r.push_back(block->Ref());
  std::vector<size_t> ignored;
  const int rc = writer.StoreBatch(s, r, {}, unresolved ? *unresolved : ignored);
  if (rc != 0) ADD_FAILURE() << writer.Error();
  return rc;
}

class StorageTest : public ::testing::Test {
 protected:
  using JobInfo = cldb::SqliteStorageBackend::JobInfo;
  static constexpr uint32_t kNow = 1700000000;

  void SetUp() override { ASSERT_NE(backend_ = Open(), nullptr); }

  std::unique_ptr<cldb::SqliteStorageBackend> Open(unsigned int busyTimeoutMs = 10000) {
    std::string error;
    auto backend = cldb::SqliteStorageBackend::Open(dir_.path(), {busyTimeoutMs}, error);
    EXPECT_NE(backend, nullptr) << error;
    return backend;
  }
  std::string DbPath() const { return dir_ / cldb::SqliteStorageBackend::kFileName; }

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
  static std::vector<JobInfo> Jobs(cldb::SqliteStorageBackend& backend) {
    std::vector<JobInfo> jobs;
    EXPECT_EQ(backend.ListJobs(jobs), 0) << backend.LastError();
    return jobs;
  }

  TestClock clock_{kNow};
  TempDir dir_;
  std::unique_ptr<cldb::SqliteStorageBackend> backend_;
};

}  // namespace cldbtest
