// Shared set-up of the table-manager tests: an in-memory storage side that
// records every request and can fail any call, a root folder named by an
// absolute rootFolderKey, a captured log and the test clock.
#pragma once

#include <filesystem>

#include "../instance/InstanceFixture.h"  // Block and StoredState
#include "cldb/CLDBTableManager.h"
#include "cldb/CLDBTime.h"
#include "support/InMemoryStorageBackend.h"

namespace cldbtest {

using Storage = cldb::InMemoryStorageBackend;
using Requests = std::vector<std::vector<unsigned long long>>;  // the arguments of each

class ManagerTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kT0 = 1700000000;

  void SetUp() override {
    previousBackend_ = cldb::StorageBackend::Install(storage);
    log.SetThreshold(-2);
  }
  void TearDown() override {
    manager.reset();
    cldb::StorageBackend::Install(previousBackend_);
  }

  // The CLDB folder the arguments name.
  std::string Folder() const {
    return root / (args.isAuxCopy ? "ZEL_CLDB_AUX_12" : "ZEL_CLDB_APP_12_3");
  }
  // `manager` becomes a new manager initialised with `args`; its result.
  int Initialize(bool& offline) {
    manager = std::make_unique<CCLDBTableManager>();
    return manager->Initialize(args, offline);
  }
  void InitializeOk() {
    bool offline = false;
    ASSERT_EQ(0, Initialize(offline));
    ASSERT_TRUE(manager->IsOpened());
  }
  // A closed CLDB holding `blocks`, each stored at the time paired with it
  // by an earlier job, that the storage side then reports clean.
  void MakeCleanCLDB(const std::vector<std::pair<uint32_t, CacheRecordRef>>& blocks) {
    const uint32_t start = args.backupStartTime;
    for (const auto& [when, block] : blocks)  // that job started by the first of them
      if (cldb::Before(when, args.backupStartTime)) args.backupStartTime = when;
    InitializeOk();
    args.backupStartTime = start;
    for (auto [when, block] : blocks) {
      TestNow() = when;
      ASSERT_EQ(0, manager->InsertSignature(&block, 1));
    }
    TestNow() = kT0;
    ASSERT_EQ(0, manager->Uninitialize(false));
    storage->SetClientDirty(12, 0);
    storage->SetCopyClean(12, true);
    storage->ClearRequests();
    capture.Clear();
  }
  // One query of `block` made now: 1 when it hits, 0 when it misses, -1
  // when it fails.
  int Answer(const CacheRecordRef& block) {
    CLDBQuerySignature q{block, 7};
    q.record.ArchivingTime = TestNow();
    if (manager->QuerySignature(&q, 1) != 0) return -1;
    return q.found == 1 ? 1 : 0;
  }
  // Whether a query of `block` made now hit; a failed one is a test failure.
  bool Found(const CacheRecordRef& block) {
    const int answer = Answer(block);
    EXPECT_NE(-1, answer);
    return answer == 1;
  }
  Requests RequestsOf(Storage::Call call) const {
    Requests out;
    for (const auto& r : storage->Requests())
      if (r.call == call) out.push_back(r.args);
    return out;
  }
  unsigned int FoundPruned() {
    _stCLDBStates stats;
    manager->GetStats(stats);
    return stats.foundPruned;
  }

  TempDir root;
  EvDebug log;
  LogCapture capture{&log};
  std::shared_ptr<Storage> storage = std::make_shared<Storage>();
  // Folder key, store, job, CLDB, aux copy, log, signature type, copy, age, expiry, start, MB.
  _CCLDBTableManagerArgs args{root.path(), 500, 77, 12, false, &log, 3, 3, 0, 30, kT0, 1024, 0};
  std::unique_ptr<CCLDBTableManager> manager;

 private:
  TestClock clock_{kT0};
  std::shared_ptr<cldb::StorageBackend> previousBackend_;
};

}  // namespace cldbtest
