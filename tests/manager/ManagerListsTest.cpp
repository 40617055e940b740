// Agreement with the storage side (valid and recopied lists, offline mount
// paths, inactive substores) and the guard on a manager that is not opened.
#include <filesystem>

#include "ManagerFixture.h"

namespace cldbtest {
namespace {

// An opened client manager over a CLDB whose blocks in files 5 and 6 were
// last used before this job started; the storage side vouches for both.
class ValidList : public ManagerTest {
 protected:
  void SetUp() override {
    ManagerTest::SetUp();
    MakeCleanCLDB({{kT0 - 100, Block(1, 5)}, {kT0 - 100, Block(2, 6)}, {kT0 - 100, Block(3, 6)}});
    storage->SetValidAFiles(12, {5, 6});
    storage->SetHubcellId(42);
    InitializeOk();
    storage->ClearRequests();
    capture.Clear();
  }
  int Configure(unsigned long long job) { return manager->ConfigureValidAfileList(job, offline); }
  bool offline = true;
};

TEST_F(ValidList, SameJobReachesTheStorageSideOnceAnOlderOneNeverANewerOneRefreshes) {
  storage->SetValidAFiles(12, {5, 6, 9});
  EXPECT_EQ(0, Configure(78));
  EXPECT_FALSE(offline);
  EXPECT_EQ((Requests{{78, 12, 3, 500, 5}}), RequestsOf(Storage::kListAfileIdByAppId));
  EXPECT_TRUE(
      capture.Contains("Calling listAfileId  [Copy-id 3] [appId 12][JobID 78]"
                       "[oldestArchFileId 5][SIDBStoreId 500]"));
  EXPECT_TRUE(
      capture.Contains("CCLDBTableManager::ConfigureValidAfileList listAfileId returned 3 "
                       "items [5 to 9]"));
  offline = true;
  EXPECT_EQ(0, Configure(78));
  EXPECT_EQ(-1, Configure(76));
  EXPECT_TRUE(capture.Contains(0,
                               "CCLDBTableManager::ConfigureValidAfileList: [ERROR]New request "
                               "from older job [Processing-job 78][New-job 76]"));
  EXPECT_TRUE(offline);  // untouched by either
  EXPECT_EQ(78u, manager->Args().jobId);
  EXPECT_EQ(1u, RequestsOf(Storage::kListAfileIdByAppId).size());

  storage->SetValidAFiles(12, {6});
  EXPECT_EQ(0, Configure(0x100000000ull + 80));
  EXPECT_EQ(0x100000000ull + 80, manager->Args().jobId);
  EXPECT_EQ(80u, RequestsOf(Storage::kListAfileIdByAppId)[1][0]);  // the low 32 bits
  EXPECT_FALSE(Found(Block(1, 5)));
  EXPECT_TRUE(Found(Block(2, 6)));
  EXPECT_EQ(1u, FoundPruned());
  storage->SetValidAFiles(12, {});  // an empty reply installs an empty list
  EXPECT_EQ(0, Configure(0x100000000ull + 81));
  EXPECT_TRUE(
      capture.Contains("CCLDBTableManager::ConfigureValidAfileList listAfileId returned 0 "
                       "items"));
  EXPECT_FALSE(Found(Block(3, 6)));
  EXPECT_EQ(1u, FoundPruned());  // missed, not pruned
}

TEST_F(ValidList, OfflineMountPathIsReportedEvenWhenTheCopyCannotBeNamed) {
  storage->SetMountPathOffline(3, true);
  storage->SetCopyName(3, "Primary");
  offline = false;
  EXPECT_EQ(0, Configure(78));
  EXPECT_TRUE(offline);
  EXPECT_TRUE(
      capture.Contains("CCLDBTableManager::ConfigureValidAfileList List Afile-Id returned "
                       "ZELA_ANY_MOUNTPATH_OFFLINE_FLAG. Found Mount path(s) offline [copy "
                       "- Primary]. CacheDB lookup is disabled here."));
  storage->FailCall(Storage::kGetAgroupCopyInfo, 9);
  offline = false;
  EXPECT_EQ(0, Configure(79));
  EXPECT_TRUE(offline);
  EXPECT_TRUE(
      capture.Contains("CCLDBTableManager::ConfigureValidAfileList:getAgroupCopyInfo1"
                       "[Copy-id 3][HC ID- 42] failed with 9 "));
}

// A CLDB whose least archive file is 0 counts as new, as an empty one does.
TEST_F(ManagerTest, EmptyCLDBAsksFromTheTopAndDropsTheReply) {
  storage->SetValidAFiles(12, {5, 6});
  InitializeOk();
  EXPECT_EQ((Requests{{77, 12, 3, 500, 268435455}}), RequestsOf(Storage::kListAfileIdByAppId));
  EXPECT_TRUE(
      capture.Contains("CCLDBTableManager::ConfigureValidAfileList As it is a new CacheDB, "
                       "clearing Valid AFlist"));
  ASSERT_EQ(0, manager->Uninitialize(false));
  MakeCleanCLDB({{kT0 - 100, Block(1, 0)}, {kT0 - 100, Block(2, 5)}});
  InitializeOk();
  EXPECT_EQ(268435455u, RequestsOf(Storage::kListAfileIdByAppId).back()[4]);
  EXPECT_FALSE(Found(Block(2, 5)));  // the dropped list does not vouch for it
  EXPECT_EQ(0u, FoundPruned());
}

// Files the storage side recopied miss. Without its recopied list an
// auxiliary copy vouches for nothing stored by earlier jobs, until a later
// load succeeds; an empty list is a list.
TEST_F(ManagerTest, AuxiliaryCopyWithoutItsRecopiedListHitsOnlyItsOwnBlocks) {
  args.isAuxCopy = true;
  for (Storage::Call failing : {Storage::kConnectMediaManager, Storage::kGetAFsToRecopyForCopy}) {
    SCOPED_TRACE(failing);
    MakeCleanCLDB({{kT0 - 100, Block(1, 5)}, {kT0 - 100, Block(2, 6)}});
    storage->SetRecopied(3, {5});
    storage->FailCall(failing, 4);
    InitializeOk();
    storage->FailCall(failing, 0);
    CacheRecordRef own = Block(3, 8);
    ASSERT_EQ(0, manager->InsertSignature(&own, 1));
    EXPECT_TRUE(Found(own));
    EXPECT_FALSE(Found(Block(1, 5)));
    EXPECT_FALSE(Found(Block(2, 6)));
    EXPECT_EQ(0u, FoundPruned());  // missed, kept
    bool offline = true;
    ASSERT_EQ(0, manager->ConfigureRecopiedAfileList(3, offline));
    EXPECT_FALSE(Found(Block(1, 5)));
    EXPECT_TRUE(Found(Block(2, 6)));
    ASSERT_EQ(0, manager->Uninitialize(false));
    std::filesystem::remove_all(Folder());
    storage->SetCopyClean(12, false);
  }
  // Loaded by Initialize.
  for (const std::vector<int>& recopied : {std::vector<int>{}, {5}}) {
    MakeCleanCLDB({{kT0 - 100, Block(1, 5)}, {kT0 - 100, Block(2, 6)}});
    storage->SetRecopied(3, recopied);
    InitializeOk();
    EXPECT_EQ(!recopied.empty(),
              capture.Contains(0,
                               "CCLDBTableManager::ConfigureRecopiedAfileList [Copy-id - 3]  "
                               "Recopy List size - 1 [ret - 0] [Mount-path offline - no]"));
    EXPECT_EQ(recopied.empty(), Found(Block(1, 5)));
    EXPECT_TRUE(Found(Block(2, 6)));
    ASSERT_EQ(0, manager->Uninitialize(false));
    std::filesystem::remove_all(Folder());
  }
}

TEST_F(ManagerTest, AJobWithoutAnIdStillLoadsItsValidList) {
  args.jobId = 0;
  MakeCleanCLDB({{kT0 - 100, Block(1, 5)}, {kT0 - 100, Block(2, 6)}});
  storage->SetValidAFiles(12, {6});
  InitializeOk();
  EXPECT_EQ((Requests{{0, 12, 3, 500, 5}}), RequestsOf(Storage::kListAfileIdByAppId));
  EXPECT_FALSE(Found(Block(1, 5)));
  EXPECT_TRUE(Found(Block(2, 6)));
  EXPECT_EQ(1u, FoundPruned());
}

TEST_F(ManagerTest, InactiveSubstoresOnlyGrowAndEachIsAnnouncedOnce) {
  InitializeOk();
  std::vector<int> none, first = {4, 4}, second = {4, 9};
  capture.Clear();
  manager->SetInactiveSubStoresID(none);
  EXPECT_TRUE(capture.Lines().empty());
  std::vector<CacheRecordRef> blocks = {Block(1, 5, 4), Block(2, 5, 7), Block(3, 5, 9)};
  ASSERT_EQ(0, manager->InsertSignature(blocks.data(), 3));
  manager->SetInactiveSubStoresID(first);
  EXPECT_FALSE(Found(blocks[0]));
  EXPECT_TRUE(Found(blocks[1]));
  manager->SetInactiveSubStoresID(second);  // later additions count at once
  EXPECT_EQ(1u, capture.Count("# Setting Inactive Substore 4"));
  EXPECT_EQ(1u, capture.Count("# Setting Inactive Substore 9"));
  EXPECT_FALSE(Found(blocks[2]));
}

// ---- the guard -----------------------------------------------------------------------

TEST_F(ManagerTest, GuardedOperationsWhenNotOpenedAndASecondInitialize) {
  auto callGuarded = [this](_stCLDBStates& stats) {
    CLDBQuerySignature q{Block(1, 5), 0};
    CacheRecordRef r = Block(1, 5);
    return std::vector<int>{manager->QuerySignature(&q, 1), manager->InsertSignature(&r, 1),
                            manager->GetStats(stats), manager->PruneExpiredRecords(kT0),
                            manager->StopPruning()};
  };
  _stCLDBStates stats;
  stats.aged = 9;
  manager = std::make_unique<CCLDBTableManager>();
  EXPECT_EQ((std::vector<int>{-1, -1, 0, 0, 0}), callGuarded(stats));  // before any Initialize
  EXPECT_TRUE(capture.Lines().empty());                                // no log object yet
  storage->FailCall(Storage::kIsClientCacheDBDirty, 1);
  bool offline = false;
  ASSERT_EQ(-1, Initialize(offline));
  EXPECT_EQ((std::vector<int>{-1, -1, 0, 0, 0}), callGuarded(stats));
  EXPECT_EQ(9u, stats.aged);
  EXPECT_EQ(5u, capture.Count("() Table Not Opened"));  // one for each
  EXPECT_TRUE(capture.Contains(1, "CCLDBTableManager::PruneExpiredRecords() Table Not Opened"));

  storage->FailCall(Storage::kIsClientCacheDBDirty, 0);
  InitializeOk();
  CLDBQuerySignature q;
  EXPECT_EQ(-1, manager->QuerySignature(&q, 0));
  EXPECT_TRUE(capture.Contains(1, "[ERROR] CCLDBTableManager::QuerySignature() Failed"));
  args.jobId = 78;  // a second Initialize replaces the arguments; the open instance refuses
  EXPECT_EQ(-1, manager->Initialize(args, offline));
  EXPECT_TRUE(capture.Contains("CCLDBTableManager::Initialize() - Initializing CLDB failed"));
  EXPECT_TRUE(manager->IsOpened());
  EXPECT_EQ(78u, manager->Args().jobId);
}

}  // namespace
}  // namespace cldbtest
