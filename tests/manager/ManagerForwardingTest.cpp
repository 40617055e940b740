// The statistics report of Uninitialize, the guard on a manager that is not
// opened, and the forwarding of an opened one.
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "ManagerFixture.h"

namespace cldbtest {
namespace {

namespace fs = std::filesystem;

using ManagerReport = ManagerTest;

// The report's lines: the two banners and the counter lines, in order.
std::vector<std::string> ReportLines(const LogCapture& capture) {
  std::vector<std::string> out;
  for (const auto& [level, message] : capture.Lines()) {
    if (message.rfind("=======", 0) != 0 && message.rfind("[CLDB-Stat]", 0) != 0) continue;
    EXPECT_EQ(1, level) << message;
    out.push_back(message);
  }
  return out;
}

TEST_F(ManagerReport, OnlyNonZeroCountersAreReported) {
  CacheRecordRef aged = Block(6, 5);
  aged.ArchivingTime = kT0 - 7200;
  MakeCleanCLDB({{kT0, Block(1, 5)},
                 {kT0 - 40 * kDay, Block(2, 5)},
                 {kT0, aged},
                 {kT0 - 100, Block(3, 6)},
                 {kT0 - 100, Block(4, 5, 4)}});
  storage->SetValidAFiles(12, {5});
  args.nAge = 3600;
  InitializeOk();
  std::vector<int> inactive = {4};
  manager->SetInactiveSubStoresID(inactive);

  CacheRecordRef otherSize = Block(1, 5), otherTags = Block(1, 5);
  otherSize.size += 1;
  otherTags.tagHdrCount += 1;
  for (const CacheRecordRef& q : {Block(10, 5), Block(11, 5), otherSize, otherTags, Block(2, 5),
                                  aged, Block(3, 6), Block(4, 5, 4)})
    EXPECT_FALSE(Found(q));
  capture.Clear();
  EXPECT_EQ(0, manager->Uninitialize(false));
  EXPECT_EQ((std::vector<std::string>{
                "=======Closing signature cache DB.========== ",
                "[CLDB-Stat]CRC not found        - 2",
                "[CLDB-Stat]Aged                 - 1",
                "[CLDB-Stat]Expired              - 1",
                "[CLDB-Stat]Mismatched tag-count - 1",
                "[CLDB-Stat]Mismatched data size - 1",
                "[CLDB-Stat]Found pruned         - 1",
                "[CLDB-Stat]Offline substores    - 1",
                "======= signature cache DB is closed.========== ",
            }),
            ReportLines(capture));
  EXPECT_FALSE(manager->IsOpened());
  EXPECT_EQ(2u, StoredState(Folder(), 12));
}

TEST_F(ManagerReport, AllCountersZeroGiveTheTwoBannersOnly) {
  InitializeOk();
  capture.Clear();
  EXPECT_EQ(0, manager->Uninitialize(true));
  EXPECT_EQ((std::vector<std::string>{"=======Closing signature cache DB.========== ",
                                      "======= signature cache DB is closed.========== "}),
            ReportLines(capture));
  EXPECT_FALSE(manager->Tables().IsOpened());
}

TEST_F(ManagerReport, UninitializeOfAManagerNotOpenedDoesNothing) {
  manager = std::make_unique<CCLDBTableManager>();
  EXPECT_EQ(0, manager->Uninitialize(true));  // never initialised

  storage->FailCall(Storage::kIsClientCacheDBDirty, 1);
  bool offline = false;
  ASSERT_EQ(-1, Initialize(offline));
  capture.Clear();
  EXPECT_EQ(0, manager->Uninitialize(true));  // failed Initialize
  EXPECT_TRUE(capture.Lines().empty());

  storage->FailCall(Storage::kIsClientCacheDBDirty, 0);
  InitializeOk();
  EXPECT_EQ(0, manager->Uninitialize(true));
  capture.Clear();
  EXPECT_EQ(0, manager->Uninitialize(true));  // already uninitialised
  EXPECT_TRUE(capture.Lines().empty());
}

// ---- the guard -----------------------------------------------------------------------

class ManagerGuard : public ManagerTest {
 protected:
  // Runs every guarded operation; their results in order.
  std::vector<int> CallGuarded(_stCLDBStates& stats) {
    CLDBQuerySignature q;
    q.record = Block(1, 5);
    CacheRecordRef r = Block(1, 5);
    return {manager->QuerySignature(&q, 1), manager->InsertSignature(&r, 1),
            manager->GetStats(stats), manager->PruneExpiredRecords(kT0), manager->StopPruning()};
  }
};

TEST_F(ManagerGuard, BeforeAnyInitializeOnlyQueryAndInsertFail) {
  manager = std::make_unique<CCLDBTableManager>();
  _stCLDBStates stats;
  stats.crcNotFound = 42;
  EXPECT_EQ((std::vector<int>{-1, -1, 0, 0, 0}), CallGuarded(stats));
  EXPECT_EQ(42u, stats.crcNotFound);
  EXPECT_TRUE(capture.Lines().empty());  // no log object yet
}

TEST_F(ManagerGuard, AfterAFailedInitializeEachOperationSaysSo) {
  storage->FailCall(Storage::kIsClientCacheDBDirty, 1);
  bool offline = false;
  ASSERT_EQ(-1, Initialize(offline));
  capture.Clear();
  _stCLDBStates stats;
  stats.aged = 9;
  EXPECT_EQ((std::vector<int>{-1, -1, 0, 0, 0}), CallGuarded(stats));
  EXPECT_EQ(9u, stats.aged);
  for (const char* op :
       {"QuerySignature", "InsertSignature", "GetStats", "PruneExpiredRecords", "StopPruning"})
    EXPECT_TRUE(
        capture.Contains(1, std::string("CCLDBTableManager::") + op + "() Table Not Opened"))
        << op;
  EXPECT_FALSE(fs::exists(Folder() + "/CacheTable.dat"));
}

TEST_F(ManagerGuard, OpenedManagerForwardsAndReportsFailures) {
  InitializeOk();
  CacheRecordRef b = Block(1, 5);
  EXPECT_EQ(0, manager->InsertSignature(&b, 1));
  EXPECT_TRUE(Found(b));
  CLDBQuerySignature q;
  EXPECT_EQ(-1, manager->QuerySignature(&q, 0));
  EXPECT_TRUE(capture.Contains(1, "[ERROR] CCLDBTableManager::QuerySignature() Failed"));
  EXPECT_EQ(-1, manager->InsertSignature(&b, 0));
  EXPECT_TRUE(capture.Contains(1, "[ERROR] CCLDBTableManager::InsertSignature() Failed"));
  _stCLDBStates stats;
  EXPECT_EQ(0, manager->GetStats(stats));
  EXPECT_EQ(0u, stats.crcNotFound);
  EXPECT_EQ(0, manager->PruneExpiredRecords(kT0));
  EXPECT_EQ(0, manager->StopPruning());
  EXPECT_FALSE(manager->Tables().IsStopRequested());
}

TEST_F(ManagerGuard, DumpAndCompactionNeedNoInitialize) {
  MakeCleanCLDB({{kT0, Block(1, 5)}});
  TempDir work;
  char* cwd = getcwd(nullptr, 0);
  ASSERT_EQ(0, chdir(work.path().c_str()));
  CCLDBTableManager m;
  const int dumped = m.DumpCacheTable(&log, Folder().c_str());
  const int compacted = m.CompactCacheTable(&log, Folder().c_str());
  EXPECT_EQ(0, chdir(cwd));
  free(cwd);
  EXPECT_EQ(0, dumped);
  EXPECT_EQ(0, compacted);
  const std::string dump = ReadFile(work / "CLDBDump_1700000000.csv");
  EXPECT_EQ(2, std::count(dump.begin(), dump.end(), '\n'));  // header and one record
  EXPECT_TRUE(capture.Contains("CCacheTable::MakeCompact: Making compact CLDB ...."));
}

}  // namespace
}  // namespace cldbtest
