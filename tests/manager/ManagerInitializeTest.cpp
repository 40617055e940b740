// Initialize of a client and of an auxiliary-copy CLDB against the storage
// side, clean and dirty, and every way it can fail; Uninitialize's report.
#include "ManagerFixture.h"

namespace cldbtest {
namespace {

TEST_F(ManagerTest, DirtyCLDBIsCreatedAndMarkedCleanACleanOneIsOpened) {
  const struct {
    bool aux;
    int clientDirty;  // -1: a dirty auxiliary copy; -2: a clean one
    const char* dirtyMessage;
  } cases[] = {
      {false, 1, "CCLDBTableManager::IsDBClean IsClientCacheDBDirty [AppId- 12 ] returns 1"},
      {false, 0, nullptr},
      {false, 2, nullptr},  // any value but 1 is clean
      {true, -1,
       "CCLDBTableManager::IsDBClean isCopyClientCacheDBClean [Job-Id - 77 ][Copy id - "
       "12] returns No"},
      {true, -2, nullptr},
  };
  storage->SetValidAFiles(12, {5});
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.aux) + " " + std::to_string(c.clientDirty));
    args.isAuxCopy = c.aux;
    MakeCleanCLDB({{kT0, Block(1, 5)}});
    storage->SetClientDirty(12, c.clientDirty);
    storage->SetCopyClean(12, c.clientDirty == -2);
    InitializeOk();
    const bool create = c.dirtyMessage != nullptr;
    EXPECT_EQ(create, capture.Contains(c.dirtyMessage ? c.dirtyMessage : "returns"));
    EXPECT_TRUE(capture.Contains(std::string("CCLDBTableManager::Initialize() - ") +
                                 (create ? "Creating" : "Opening") + " CLDB Succeeded"));
    EXPECT_EQ(!create, Found(Block(1, 5)));
    EXPECT_EQ(create ? cldb::RecreateReason::kDirty : cldb::RecreateReason::kNone,
              manager->Recreated());
    const Requests mark = {{c.aux ? 77u : 12u, c.aux ? 12u : 0u}};  // job and copy, or app and 0
    EXPECT_EQ(create ? mark : Requests(), RequestsOf(c.aux ? Storage::kSetCopyClientCacheDBClean
                                                           : Storage::kSetClientCacheDBDirty));
    EXPECT_EQ(c.aux ? 0u : 1u, RequestsOf(Storage::kListAfileIdByAppId).size());  // client only
    ASSERT_EQ(0, manager->Uninitialize(false));
  }
  // A folder that never held a CLDB: new, whatever the storage side says.
  for (bool aux : {false, true}) {
    args.isAuxCopy = aux;
    std::filesystem::remove_all(Folder());
    storage->SetClientDirty(12, 1);
    storage->SetCopyClean(12, false);
    InitializeOk();
    EXPECT_EQ(cldb::RecreateReason::kNew, manager->Recreated()) << aux;
    ASSERT_EQ(0, manager->Uninitialize(false));
  }
}

TEST_F(ManagerTest, EachFailureOfTheStorageSideOrOfTheCLDBIsReported) {
  const Storage::Call kNone = Storage::kSetCachDBLastArchFileId;  // never made by Initialize
  const struct {
    bool aux;
    Storage::Call call;  // failed with status 6
    int dirty, result;
    const char* message;
  } cases[] = {
      {false, Storage::kIsClientCacheDBDirty, 1, -1,
       "CCLDBTableManager::IsDBClean [ERROR]Get Is-Client-Cache-DB-Dirty failed [AppId- 12 ]"},
      {true, Storage::kIsCopyClientCacheDBClean, 1, -1,
       "CCLDBTableManager::IsDBClean [ERROR]Get is-Copy-Client-Cache-DB-Clean failed [Job-Id - 77 "
       "][Copy id - 12]"},
      {false, kNone, 1, -1, "Initialize() - Creating CLDB failed"},  // the folder is blocked
      {false, kNone, 0, -1, "Initialize() - Opening CLDB failed"},
      {true, Storage::kSetCopyClientCacheDBClean, 1, -1,
       "CCLDBTableManager::Initialize() [ERROR]Set Copy-Client-Cache-DB-Clean failed [Job-Id - 77 "
       "][Copy id - 12]"},
      {false, Storage::kListAfileIdByAppId, 1, 0,
       "CCLDBTableManager::Initialize() [ERROR]Get Get-ValidAfile-List failed "},
      {true, Storage::kConnectMediaManager, 1, 0,
       "CCLDBTableManager::ConfigureRecopiedAfileList: [ERROR] Cannot connect to MediaManager. "
       "Status [6]"},
      {true, Storage::kGetAFsToRecopyForCopy, 1, 0,
       "CCLDBTableManager::ConfigureRecopiedAfileList [ERROR] [Copy-id - 3]  get AFs To Recopy "
       "failed (6)"},
      {false, Storage::kSetClientCacheDBDirty, 1, -1,
       "CCLDBTableManager::Initialize() [ERROR] Set-Client-Cache-DB-Dirty failed (App-id 12)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    args.isAuxCopy = c.aux;
    args.jobId = 0x100000000ull + 77;  // only the low 32 bits travel
    std::filesystem::remove_all(Folder());
    if (c.call == kNone) WriteFile(Folder(), "a file where the folder should be");
    storage->SetClientDirty(12, c.dirty);
    storage->FailCall(c.call, 6);
    capture.Clear();
    bool offline = true;
    EXPECT_EQ(c.result, Initialize(offline));
    storage->FailCall(c.call, 0);
    EXPECT_EQ(c.result == 0, manager->IsOpened());
    EXPECT_TRUE(capture.Contains(c.message));
    EXPECT_TRUE(c.result != 0 || !offline);
  }
  // After the failed mark of the last case the instance stays open; only CloseDB reaches it.
  EXPECT_EQ(0, manager->Uninitialize(false));
  EXPECT_TRUE(manager->Tables().IsOpened());
  EXPECT_EQ(0, manager->CloseDB());
  EXPECT_EQ(-1, manager->Tables().RecordCount());
}

TEST_F(ManagerTest, UnavailableValidListMakesRecordsUsedBeforeTheJobMissInsteadOfHit) {
  MakeCleanCLDB({{kT0 - 100, Block(1, 5)}, {kT0 - 100, Block(2, 5)}});
  storage->SetValidAFiles(12, {5});
  InitializeOk();
  EXPECT_TRUE(Found(Block(1, 5)));  // vouched for by the list
  ASSERT_EQ(0, manager->Uninitialize(false));
  storage->FailCall(Storage::kListAfileIdByAppId, 7);
  InitializeOk();
  EXPECT_FALSE(Found(Block(2, 5)));  // nothing vouches for the file now
  EXPECT_EQ(0u, FoundPruned());      // a miss, not a verdict on the file
}

// ---- Uninitialize's report -----------------------------------------------------------

TEST_F(ManagerTest, UninitializeReportsOnlyNonZeroCountersBetweenTheBanners) {
  auto report = [this] {  // the manager's lines; the instance logs at level -1
    std::vector<std::string> out;
    for (const auto& [level, message] : capture.Lines())
      if (level == 1) out.push_back(message);
    return out;
  };
  manager = std::make_unique<CCLDBTableManager>();
  EXPECT_EQ(0, manager->Uninitialize(true));  // never initialised: nothing at all
  MakeCleanCLDB({{kT0 - 40 * 86400, Block(2, 5)}});
  InitializeOk();
  for (const CacheRecordRef& q : {Block(10, 5), Block(11, 5), Block(2, 5)}) EXPECT_FALSE(Found(q));
  capture.Clear();
  EXPECT_EQ(0, manager->Uninitialize(false));
  EXPECT_EQ((std::vector<std::string>{"=======Closing signature cache DB.========== ",
                                      "[CLDB-Stat]CRC not found        - 2",
                                      "[CLDB-Stat]Expired              - 1",
                                      "======= signature cache DB is closed.========== "}),
            report());
  EXPECT_FALSE(manager->IsOpened());
  EXPECT_EQ(2u, StoredState(Folder(), 12));
  capture.Clear();
  EXPECT_EQ(0, manager->Uninitialize(true));  // already uninitialised
  EXPECT_TRUE(capture.Lines().empty());
}

// A host that forgot to install a storage side gets no cache at all, never
// one that nobody vouches for (a forgetting default would wipe it at every start).
TEST_F(ManagerTest, WithoutAStorageSideInitializeFailsAndTouchesNothing) {
  cldb::StorageBackend::Install(nullptr);
  bool offline = false;
  EXPECT_EQ(-1, Initialize(offline));
  EXPECT_FALSE(manager->IsOpened());
  EXPECT_TRUE(capture.Contains("no storage-side backend installed"));
  EXPECT_FALSE(std::filesystem::exists(Folder()));
}

}  // namespace
}  // namespace cldbtest
