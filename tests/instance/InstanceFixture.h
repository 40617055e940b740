// Shared set-up of the CLDB-instance tests: a root folder, a captured log, a
// clock the test drives, blocks with distinct signatures, and State.xml read
// and changed behind the instance's back, as another process would.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "cldb/CLDBStateFile.h"
#include "cldb/CLDBTables.h"
#include "platform/EvDebug.h"
#include "platform/LogCapture.h"
#include "platform/TkSleep.h"
#include "platform/ZelPlatformInfo.h"

namespace cldbtest {

// A block of archive file `afileId` whose signature is fixed by `seed`; its
// archiving time is the test clock's now.
inline CacheRecordRef Block(unsigned seed, uint32_t afileId, int32_t subStore = 0) {
  CacheRecordRef r{{}, 4096 + seed, seed % 3, TestNow(), afileId, subStore};
  std::mt19937_64 rng(seed);
  for (auto& b : r.Signature) b = static_cast<unsigned char>(rng());
  return r;
}

// The arguments of CCLDBTables::Initialize, with the values most tests use.
struct InstanceConfig {
  unsigned int copyId = 3;
  unsigned long long jobId = 77;
  unsigned int storeId = 500, cldbId = 12;
  int sigType = 3;
  unsigned int nAge = 0, expiryDays = 30;
  bool aux = false;
  unsigned int extraExpiryDays = 0, backupStart = 1700000000, dbSizeMB = 1024;
};

template <typename T>
T StoredValue(const std::string& folder, unsigned int cldbId, int (CCLDBStateFile::*get)(T&)) {
  CCLDBStateFile file;
  EXPECT_EQ(0, file.Initialize(cldbId, nullptr, folder.c_str()));
  T value{};
  EXPECT_EQ(0, (file.*get)(value));
  return value;
}
inline unsigned int StoredState(const std::string& folder, unsigned int cldbId) {
  return StoredValue<unsigned int>(folder, cldbId, &CCLDBStateFile::GetState);
}
template <typename T>
void StoreValue(const std::string& folder, unsigned int cldbId, int (CCLDBStateFile::*set)(T),
                T value) {
  CCLDBStateFile file;
  ASSERT_EQ(0, file.Initialize(cldbId, nullptr, folder.c_str()));
  ASSERT_EQ(0, (file.*set)(value));
}

class InstanceTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kT0 = 1700000000;
  static constexpr uint32_t kDay = 86400;

  void SetUp() override {
    log.SetThreshold(-2);  // the capture sees everything; keep the console quiet
  }
  void TearDown() override {
    tables.reset();
    ZelPlatformInfo::ClearOverrides();
    cldb::hooks::SetGlobalLogSink(nullptr);
    TkSetSleepHook(nullptr);
  }

  // The CLDB folder `config` names.
  std::string Folder() const {
    return config.aux ? root / ("ZEL_CLDB_AUX_" + std::to_string(config.cldbId))
                      : root / ("ZEL_CLDB_APP_" + std::to_string(config.cldbId) + "_" +
                                std::to_string(config.copyId));
  }
  int Init(CCLDBTables& t, const std::string& rootPath) {
    const InstanceConfig& c = config;
    return t.Initialize(c.copyId, c.jobId, rootPath.c_str(), c.storeId, c.cldbId, &log, c.sigType,
                        c.nAge, c.expiryDays, c.aux, c.extraExpiryDays, c.backupStart, c.dbSizeMB);
  }
  int Init(CCLDBTables& t) { return Init(t, root.path()); }

  // `tables` becomes a new instance for `config`, initialised and opened.
  void OpenInstance() {
    tables = std::make_unique<CCLDBTables>();
    ASSERT_EQ(0, Init(*tables));
    ASSERT_EQ(0, tables->Open());
  }
  void CloseInstance(bool allowCompaction = false) {
    ASSERT_EQ(0, tables->Close(allowCompaction));
    tables.reset();
  }
  void Insert(std::vector<CacheRecordRef> blocks) {
    ASSERT_EQ(0, tables->InsertSignature(blocks.data(), static_cast<int>(blocks.size())));
  }
  // A CLDB for `config`, closed cleanly, holding `blocks`.
  void MakeClosedCLDB(std::vector<CacheRecordRef> blocks) {
    OpenInstance();
    if (!blocks.empty()) Insert(blocks);
    CloseInstance();
  }
  // Inserts `blocks` with the clock at `when`, as if they were stored then;
  // a stamp is never earlier than the running job's start.
  void InsertAt(uint32_t when, std::vector<CacheRecordRef> blocks) {
    const uint32_t now = TestNow().exchange(when);
    Insert(blocks);
    TestNow() = now;
  }
  // Opens `tables` for an earlier job that started at `earliest`, so that
  // InsertAt stores blocks last used at any time from then on; BeginJob
  // then starts the job under test at config.backupStart, past them all.
  void OpenForEarlierJob(uint32_t earliest = kT0 - 100 * kDay) {
    const uint32_t start = config.backupStart;
    config.backupStart = earliest;
    OpenInstance();
    config.backupStart = start;
  }
  void BeginJob(unsigned long long jobId = 78) {
    const uint32_t now = TestNow().exchange(config.backupStart);
    ASSERT_EQ(0, tables->StartNewJob(jobId));
    TestNow() = now;
    ASSERT_EQ(config.backupStart, tables->JobStart()) << "a block was stored after the start";
  }
  // One query of `block` made now; whether it hit.
  bool Found(const CacheRecordRef& block) {
    CLDBQuerySignature q;
    q.record = block;
    q.record.ArchivingTime = TestNow();
    EXPECT_EQ(0, tables->QuerySignature(&q, 1));
    return q.found == 1;
  }
  _stCLDBStates Stats() {
    _stCLDBStates s;
    tables->GetStats(s);
    return s;
  }

  TempDir root;
  EvDebug log;
  LogCapture capture{&log};
  InstanceConfig config;
  std::unique_ptr<CCLDBTables> tables;

 private:
  TestClock clock_{kT0};
};

}  // namespace cldbtest
