// Agreement with the storage side after Initialize: the valid list of a
// client, the recopied list of an auxiliary copy, offline mount paths and
// inactive substores.
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
    storage->SetCopyName(3, "Primary");
    storage->SetHubcellId(42);
    InitializeOk();
    storage->ClearRequests();
    capture.Clear();
  }
};

TEST_F(ValidList, NonEmptyCLDBAsksFromItsLeastArchiveFile) {
  storage->SetValidAFiles(12, {5, 6, 9});
  bool offline = true;
  EXPECT_EQ(0, manager->ConfigureValidAfileList(78, offline));
  EXPECT_FALSE(offline);
  const auto lists = RequestsOf(Storage::kListAfileIdByAppId);
  ASSERT_EQ(1u, lists.size());
  EXPECT_EQ((std::vector<unsigned long long>{78, 12, 3, 500, 5}), lists[0].args);
  EXPECT_TRUE(
      capture.Contains("CCLDBTableManager::ConfigureValidAfileList Calling listAfileId  "
                       "[Copy-id 3] [appId 12][JobID 78][oldestArchFileId 5][SIDBStoreId "
                       "500]"));
  EXPECT_TRUE(
      capture.Contains("CCLDBTableManager::ConfigureValidAfileList listAfileId returned 3 "
                       "items [5 to 9]"));
  EXPECT_FALSE(capture.Contains("As it is a new CacheDB"));
  EXPECT_TRUE(Found(Block(1, 5)));
}

TEST_F(ValidList, SameJobTwiceReachesTheStorageSideOnce) {
  bool offline = false;
  EXPECT_EQ(0, manager->ConfigureValidAfileList(78, offline));
  offline = true;
  EXPECT_EQ(0, manager->ConfigureValidAfileList(78, offline));
  EXPECT_TRUE(offline);  // untouched by the second call
  EXPECT_EQ(1u, RequestsOf(Storage::kListAfileIdByAppId).size());
}

TEST_F(ValidList, OlderJobIsRejectedAndChangesNothing) {
  storage->SetValidAFiles(12, {});
  bool offline = true;
  EXPECT_EQ(-1, manager->ConfigureValidAfileList(76, offline));
  EXPECT_TRUE(capture.Contains(0,
                               "CCLDBTableManager::ConfigureValidAfileList: [ERROR]New request "
                               "from older job [Processing-job 77][New-job 76]"));
  EXPECT_TRUE(offline);
  EXPECT_EQ(77u, manager->Args().jobId);
  EXPECT_TRUE(storage->Requests().empty());
  EXPECT_TRUE(Found(Block(1, 5)));  // the list in force still vouches
}

TEST_F(ValidList, NewerJobTakesOverAndRefreshesTheList) {
  storage->SetValidAFiles(12, {6});
  bool offline = false;
  EXPECT_EQ(0, manager->ConfigureValidAfileList(0x100000000ull + 80, offline));
  EXPECT_EQ(0x100000000ull + 80, manager->Args().jobId);
  EXPECT_EQ(80u, RequestsOf(Storage::kListAfileIdByAppId)[0].args[0]);  // low 32 bits
  EXPECT_FALSE(Found(Block(1, 5)));
  EXPECT_TRUE(Found(Block(2, 6)));
  _stCLDBStates stats;
  manager->GetStats(stats);
  EXPECT_EQ(1u, stats.foundPruned);
}

TEST_F(ValidList, NewerJobTagsEveryLaterMessage) {
  TempDir logs;
  EvDebug fileLog(logs / "job.log");
  fileLog.SetThreshold(3);
  args.evDebug = &fileLog;
  manager->Uninitialize(false);
  InitializeOk();
  bool offline = false;
  ASSERT_EQ(0, manager->ConfigureValidAfileList(78, offline));
  const std::string text = ReadFile(logs / "job.log");
  EXPECT_NE(std::string::npos, text.find("[job=77] lvl=1 CCLDBTableManager::Initialize()"));
  EXPECT_NE(std::string::npos,
            text.find("[job=78] lvl=1 CCLDBTableManager::ConfigureValidAfileList "
                      "Calling listAfileId"));
  EXPECT_NE(std::string::npos,
            text.find("[job=78] lvl=1 CCLDBTableManager::ConfigureValidAfileList "
                      "listAfileId returned 2 items"));
}

TEST_F(ValidList, EmptyReplyInstallsAnEmptyList) {
  storage->SetValidAFiles(12, {});
  bool offline = false;
  EXPECT_EQ(0, manager->ConfigureValidAfileList(78, offline));
  EXPECT_TRUE(
      capture.Contains("CCLDBTableManager::ConfigureValidAfileList listAfileId returned 0 "
                       "items"));
  EXPECT_FALSE(Found(Block(2, 6)));
  _stCLDBStates stats;
  manager->GetStats(stats);
  EXPECT_EQ(0u, stats.foundPruned);
}

TEST_F(ValidList, FailedRequestClearsOfflineAndKeepsTheListInForce) {
  storage->FailCall(Storage::kListAfileIdByAppId, 7);
  bool offline = true;
  EXPECT_EQ(-1, manager->ConfigureValidAfileList(78, offline));
  EXPECT_FALSE(offline);
  EXPECT_TRUE(
      capture.Contains("CCLDBTableManager::ConfigureValidAfileList [ERROR]listAfileId "
                       "failed (7)"));
  EXPECT_TRUE(Found(Block(1, 5)));
}

TEST_F(ValidList, OfflineMountPathNamesTheCopy) {
  storage->SetMountPathOffline(3, true);
  bool offline = false;
  EXPECT_EQ(0, manager->ConfigureValidAfileList(78, offline));
  EXPECT_TRUE(offline);
  EXPECT_TRUE(capture.Contains(
      "CCLDBTableManager::ConfigureValidAfileList List Afile-Id returned "
      "ZELA_ANY_MOUNTPATH_OFFLINE_FLAG. Found Mount path(s) offline [copy - Primary]. CacheDB "
      "lookup is disabled here."));
  const auto info = RequestsOf(Storage::kGetAgroupCopyInfo);
  ASSERT_EQ(1u, info.size());
  EXPECT_EQ((std::vector<unsigned long long>{3, 42}), info[0].args);
  EXPECT_TRUE(Found(Block(1, 5)));  // lookups stay on; that is the caller's call
}

TEST_F(ValidList, OfflineEvenWhenTheCopyCannotBeNamed) {
  storage->SetMountPathOffline(3, true);
  storage->FailCall(Storage::kGetAgroupCopyInfo, 9);
  bool offline = false;
  EXPECT_EQ(0, manager->ConfigureValidAfileList(78, offline));
  EXPECT_TRUE(offline);
  EXPECT_TRUE(
      capture.Contains("CCLDBTableManager::ConfigureValidAfileList:getAgroupCopyInfo1"
                       "[Copy-id 3][HC ID- 42] failed with 9 "));
  EXPECT_FALSE(capture.Contains("Found Mount path(s) offline"));
}

TEST_F(ValidList, InstanceThatIsNotOpenCannotTellItsLeastFile) {
  manager->Uninitialize(false);
  bool offline = true;
  EXPECT_EQ(-1, manager->ConfigureValidAfileList(78, offline));
  EXPECT_FALSE(offline);
  EXPECT_TRUE(
      capture.Contains("CCLDBTableManager::ConfigureValidAfileList [ERROR]Get-Least-AFileId"));
  EXPECT_TRUE(RequestsOf(Storage::kListAfileIdByAppId).empty());
}

using NewCLDB = ManagerTest;

TEST_F(NewCLDB, EmptyCLDBAsksFromTheTopAndDropsTheReply) {
  storage->SetValidAFiles(12, {5, 6});
  InitializeOk();
  EXPECT_EQ(268435455u, RequestsOf(Storage::kListAfileIdByAppId)[0].args[4]);
  EXPECT_TRUE(
      capture.Contains("CCLDBTableManager::ConfigureValidAfileList listAfileId returned 2 "
                       "items [5 to 6]"));
  EXPECT_TRUE(
      capture.Contains("CCLDBTableManager::ConfigureValidAfileList As it is a new CacheDB, "
                       "clearing Valid AFlist"));
  // A block stored before the job started is not vouched for by the dropped list.
  CacheRecordRef old = Block(1, 5);
  TestNow() = kT0 - 100;
  ASSERT_EQ(0, manager->InsertSignature(&old, 1));
  TestNow() = kT0;
  EXPECT_FALSE(Found(old));
}

// ---- auxiliary copy --------------------------------------------------------------------

class RecopiedList : public ManagerTest {
 protected:
  void SetUp() override {
    ManagerTest::SetUp();
    args.isAuxCopy = true;
    MakeCleanCLDB({{kT0, Block(1, 5)}, {kT0, Block(2, 6)}});
  }
};

TEST_F(RecopiedList, RecopiedFilesMissAfterInitialize) {
  storage->SetRecopied(3, {5});
  InitializeOk();
  EXPECT_TRUE(capture.Contains(0,
                               "CCLDBTableManager::ConfigureRecopiedAfileList [Copy-id - 3]  "
                               "Recopy List size - 1 [ret - 0] [Mount-path offline - no]"));
  EXPECT_FALSE(Found(Block(1, 5)));
  EXPECT_TRUE(Found(Block(2, 6)));
}

TEST_F(RecopiedList, CopyOfTheArgumentsIsAskedWhateverIsPassed) {
  InitializeOk();
  storage->ClearRequests();
  storage->SetRecopied(3, {6});
  storage->SetMountPathOffline(3, true);
  bool offline = false;
  EXPECT_EQ(0, manager->ConfigureRecopiedAfileList(99, offline));
  EXPECT_TRUE(offline);
  EXPECT_EQ((std::vector<unsigned long long>{3}),
            RequestsOf(Storage::kGetAFsToRecopyForCopy)[0].args);
  EXPECT_TRUE(capture.Contains(0, "[Mount-path offline - Yes]"));
  EXPECT_TRUE(
      capture.Contains("CCLDBTableManager::ConfigureRecopiedAfileList List Afile-Id "
                       "returned ZELA_ANY_MOUNTPATH_OFFLINE_FLAG. Found Mount path(s) "
                       "offline [copy - Copy 3]."));
  EXPECT_FALSE(Found(Block(2, 6)));
}

TEST_F(RecopiedList, FailedRequestIsReported) {
  InitializeOk();
  storage->FailCall(Storage::kGetAFsToRecopyForCopy, 8);
  bool offline = true;
  EXPECT_EQ(-1, manager->ConfigureRecopiedAfileList(3, offline));
  EXPECT_FALSE(offline);
  EXPECT_TRUE(capture.Contains(0,
                               "CCLDBTableManager::ConfigureRecopiedAfileList [ERROR] [Copy-id "
                               "- 3]  get AFs To Recopy failed (8)"));
}

// ---- inactive substores ---------------------------------------------------------------

TEST_F(ManagerTest, InactiveSubstoresOnlyGrowAndEachIsAnnouncedOnce) {
  InitializeOk();
  std::vector<int> none;
  capture.Clear();
  manager->SetInactiveSubStoresID(none);
  EXPECT_TRUE(capture.Lines().empty());

  std::vector<CacheRecordRef> blocks = {Block(1, 5, 4), Block(2, 5, 7), Block(3, 5, 9)};
  ASSERT_EQ(0, manager->InsertSignature(blocks.data(), 3));
  std::vector<int> first = {4, 4};
  manager->SetInactiveSubStoresID(first);
  EXPECT_EQ(1u, capture.Count("# Setting Inactive Substore 4"));
  EXPECT_FALSE(Found(blocks[0]));
  EXPECT_TRUE(Found(blocks[1]));
  std::vector<int> second = {4, 9};
  manager->SetInactiveSubStoresID(second);
  EXPECT_EQ(1u, capture.Count("# Setting Inactive Substore 4"));
  EXPECT_EQ(1u, capture.Count("# Setting Inactive Substore 9"));
  EXPECT_FALSE(Found(blocks[2]));
  _stCLDBStates stats;
  manager->GetStats(stats);
  EXPECT_EQ(2u, stats.offlineSubstores);
}

}  // namespace
}  // namespace cldbtest
