// Shared set-up of the CLDB-instance tests: a root folder, a captured log, a
// clock the test drives, blocks with distinct signatures, and access to a
// CLDB's State.xml and records behind the instance's back, as another
// process would see them.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "cldb/CLDBStateFile.h"
#include "cldb/CLDBTables.h"
#include "cldb/CacheTable.h"
#include "platform/Clock.h"
#include "platform/EvDebug.h"
#include "platform/ZelPlatformInfo.h"

namespace cldbtest {

// The library clock of every test of this suite.
inline std::atomic<uint32_t>& TestNow() {
  static std::atomic<uint32_t> now{0};
  return now;
}
inline uint32_t ReadTestNow() { return TestNow().load(); }

// A block of archive file `afileId` whose signature is fixed by `seed`; its
// archiving time is the test clock's now.
inline CacheRecordRef Block(unsigned seed, uint32_t afileId, int32_t subStore = 0) {
  CacheRecordRef r;
  std::mt19937_64 rng(seed);
  for (auto& b : r.Signature) b = static_cast<unsigned char>(rng());
  r.size = 4096 + seed;
  r.tagHdrCount = seed % 3;
  r.ArchivingTime = TestNow();
  r.archiveFileId = afileId;
  r.subStoreID = subStore;
  return r;
}

// The arguments of CCLDBTables::Initialize, with the values most tests use.
struct InstanceConfig {
  unsigned int copyId = 3;
  unsigned long long jobId = 77;
  unsigned int storeId = 500;
  unsigned int cldbId = 12;
  int sigType = 3;
  unsigned int nAge = 0;
  unsigned int expiryDays = 30;
  bool aux = false;
  unsigned int extraExpiryDays = 0;
  unsigned int backupStart = 1700000000;
  unsigned int dbSizeMB = 1024;
};

// ---- State.xml, read and changed as another process would -------------------------

template <typename T>
T StoredValue(const std::string& folder, unsigned int cldbId, int (CCLDBStateFile::*get)(T&)) {
  CCLDBStateFile file;
  EXPECT_EQ(0, file.Initialize(cldbId, nullptr, folder.c_str()));
  T value{};
  EXPECT_EQ(0, (file.*get)(value));
  return value;
}

template <typename T>
void StoreValue(const std::string& folder, unsigned int cldbId, int (CCLDBStateFile::*set)(T),
                T value) {
  CCLDBStateFile file;
  ASSERT_EQ(0, file.Initialize(cldbId, nullptr, folder.c_str()));
  ASSERT_EQ(0, (file.*set)(value));
}

inline unsigned int StoredState(const std::string& folder, unsigned int cldbId) {
  return StoredValue<unsigned int>(folder, cldbId, &CCLDBStateFile::GetState);
}

// Rewrites the one element `name` of `folder`'s State.xml as text.
inline void EditStateElement(const std::string& folder, const std::string& name,
                             const std::string& value) {
  const std::string path = folder + "/State.xml";
  std::string text = ReadFile(path);
  const size_t begin = text.find("<" + name + ">");
  const size_t end = text.find("</" + name + ">");
  ASSERT_NE(std::string::npos, begin) << name;
  ASSERT_NE(std::string::npos, end) << name;
  const size_t from = begin + name.size() + 2;
  text.replace(from, end - from, value);
  WriteFile(path, text);
}

// Every record of the closed CLDB in `folder`, archive file 0 included, in
// archive-file order.
inline std::vector<_CacheRecord> RecordsIn(const std::string& folder) {
  CCacheTable table;
  table.Initialize(1, 3, nullptr, 0, 30, 0, false);
  std::vector<_CacheRecord> out;
  EXPECT_EQ(0, table.initialize((folder + "/CacheTable").c_str()));
  EXPECT_EQ(0, table.Open(ZelIndexing::kReadOnly));
  for (int rc = table.FindFirstRecordByAfileId(0); rc == 0; rc = table.FindNextRecordByAfileId())
    out.push_back(*table.getRecordPointer());
  table.close();
  return out;
}

// ---- holding a logging thread at a known point ---------------------------------------

// Holds every thread that logs a message containing `fragment` (through any
// EvDebug) until Release; lets a test freeze a pruning pass where it wants.
class LogGate {
 public:
  explicit LogGate(std::string fragment) : fragment_(std::move(fragment)) {
    EvDebug::SetGlobalSink([this](int, const std::string& message) {
      if (message.find(fragment_) == std::string::npos) return;
      std::unique_lock<std::mutex> lock(mutex_);
      ++held_;
      changed_.notify_all();
      changed_.wait(lock, [this] { return released_; });
    });
  }
  ~LogGate() {
    Release();
    EvDebug::SetGlobalSink(nullptr);
  }
  // True once a thread is held; gives up after a generous bound so that a
  // broken handshake fails the test instead of hanging it.
  bool WaitHeld() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [this] { return held_ > 0; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::string fragment_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int held_ = 0;
  bool released_ = false;
};

// ---- the fixture -------------------------------------------------------------------

class InstanceTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kT0 = 1700000000;
  static constexpr uint32_t kDay = 86400;

  void SetUp() override {
    TestNow() = kT0;
    previousClock_ = ZelSetClockHook(&ReadTestNow);
    log.SetThreshold(-2);  // the capture sees everything; keep the console quiet
  }
  void TearDown() override {
    tables.reset();
    ZelSetClockHook(previousClock_);
    ZelPlatformInfo::ClearOverrides();
  }

  std::string Root() const { return root.path(); }
  // The CLDB folder `c` names.
  std::string FolderOf(const InstanceConfig& c) const {
    return c.aux ? root / ("ZEL_CLDB_AUX_" + std::to_string(c.cldbId))
                 : root / ("ZEL_CLDB_APP_" + std::to_string(c.cldbId) + "_" +
                           std::to_string(c.copyId));
  }
  std::string Folder() const { return FolderOf(config); }

  int Init(CCLDBTables& t, const InstanceConfig& c, const std::string& rootPath) {
    return t.Initialize(c.copyId, c.jobId, rootPath.c_str(), c.storeId, c.cldbId, &log, c.sigType,
                        c.nAge, c.expiryDays, c.aux, c.extraExpiryDays, c.backupStart, c.dbSizeMB);
  }
  int Init(CCLDBTables& t) { return Init(t, config, Root()); }

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
  // A CLDB for `config`, closed cleanly, holding `blocks`.
  void MakeClosedCLDB(std::vector<CacheRecordRef> blocks) {
    OpenInstance();
    if (!blocks.empty()) Insert(blocks);
    CloseInstance();
  }

  void Insert(std::vector<CacheRecordRef> blocks) {
    ASSERT_EQ(0, tables->InsertSignature(blocks.data(), static_cast<int>(blocks.size())));
  }
  // Inserts `blocks` with the clock at `when`, as if they were stored then.
  void InsertAt(uint32_t when, std::vector<CacheRecordRef> blocks) {
    const uint32_t now = TestNow().exchange(when);
    Insert(blocks);
    TestNow() = now;
  }
  // One query of `block` made now; whether it hit.
  bool Found(const CacheRecordRef& block) {
    CLDBQuerySignature q;
    q.record = block;
    q.record.ArchivingTime = TestNow();
    q.found = 7;
    EXPECT_EQ(0, tables->QuerySignature(&q, 1));
    EXPECT_TRUE(q.found == 0 || q.found == 1);
    return q.found == 1;
  }

  TempDir root;
  EvDebug log;
  LogCapture capture{&log};
  InstanceConfig config;
  std::unique_ptr<CCLDBTables> tables;

 private:
  ZelClockHook previousClock_ = nullptr;
};

}  // namespace cldbtest
