// Shared set-up of the table-manager tests: an in-memory storage side that
// records every request and can fail any call, a root folder named by an
// absolute rootFolderKey, a captured log and the test clock.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "../instance/InstanceFixture.h"
#include "TestSupport.h"
#include "cldb/CLDBTableManager.h"
#include "platform/InMemoryStorageBackend.h"

namespace cldbtest {

using Storage = InMemoryStorageBackend;

class ManagerTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kT0 = 1700000000;
  static constexpr uint32_t kDay = 86400;

  void SetUp() override {
    TestNow() = kT0;
    previousClock_ = ZelSetClockHook(&ReadTestNow);
    previousBackend_ = StorageBackend::Install(storage);
    log.SetThreshold(-2);
    args.rootFolderKey = root.path();
    args.SIDBStoreId = 500;
    args.jobId = 77;
    args.cldbId = 12;
    args.isAuxCopy = false;
    args.evDebug = &log;
    args.sigType = 3;
    args.copyId = 3;
    args.nAge = 0;
    args.expiryDays = 30;
    args.backupStartTime = kT0;
    args.dbSizeMB = 1024;
    args.extraExpiryDays = 0;
  }
  void TearDown() override {
    manager.reset();
    StorageBackend::Install(previousBackend_);
    ZelSetClockHook(previousClock_);
    ZelPlatformInfo::ClearOverrides();
  }

  // The CLDB folder the arguments name.
  std::string Folder() const {
    return args.isAuxCopy ? root / ("ZEL_CLDB_AUX_" + std::to_string(args.cldbId))
                          : root / ("ZEL_CLDB_APP_" + std::to_string(args.cldbId) + "_" +
                                    std::to_string(args.copyId));
  }

  // `manager` becomes a new manager initialised with `args`.
  int Initialize(bool& offline) {
    manager = std::make_unique<CCLDBTableManager>();
    return manager->Initialize(args, offline);
  }
  void InitializeOk() {
    bool offline = false;
    ASSERT_EQ(0, Initialize(offline));
    ASSERT_TRUE(manager->IsOpened());
  }

  // A closed CLDB holding `blocks`, each last used at its time, that the
  // storage side then reports clean.
  void MakeCleanCLDB(const std::vector<std::pair<uint32_t, CacheRecordRef>>& blocks) {
    InitializeOk();
    for (auto block : blocks) {
      const uint32_t now = TestNow().exchange(block.first);
      ASSERT_EQ(0, manager->InsertSignature(&block.second, 1));
      TestNow() = now;
    }
    ASSERT_EQ(0, manager->Uninitialize(false));
    manager.reset();
    if (args.isAuxCopy)
      storage->SetCopyClean(args.cldbId, true);
    else
      storage->SetClientDirty(args.cldbId, 0);
    storage->ClearRequests();
    capture.Clear();
  }

  // One query of `block` made now; whether it hit.
  bool Found(const CacheRecordRef& block) {
    CLDBQuerySignature q;
    q.record = block;
    q.record.ArchivingTime = TestNow();
    q.found = 7;
    EXPECT_EQ(0, manager->QuerySignature(&q, 1));
    return q.found == 1;
  }

  std::vector<Storage::Request> RequestsOf(Storage::Call call) const {
    std::vector<Storage::Request> out;
    for (const auto& r : storage->Requests())
      if (r.call == call) out.push_back(r);
    return out;
  }

  TempDir root;
  EvDebug log;
  LogCapture capture{&log};
  std::shared_ptr<Storage> storage = std::make_shared<Storage>();
  _CCLDBTableManagerArgs args;
  std::unique_ptr<CCLDBTableManager> manager;

 private:
  ZelClockHook previousClock_ = nullptr;
  std::shared_ptr<StorageBackend> previousBackend_;
};

}  // namespace cldbtest
