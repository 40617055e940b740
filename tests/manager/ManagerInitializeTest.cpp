// Initialize of a client and of an auxiliary-copy CLDB against the storage
// side: clean and dirty, and every way it can fail.
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <new>

#include "ManagerFixture.h"

namespace cldbtest {
namespace {

namespace fs = std::filesystem;

using ManagerInit = ManagerTest;

TEST_F(ManagerInit, ArgumentsRecordStartsZeroed) {
  alignas(_CCLDBTableManagerArgs) unsigned char raw[sizeof(_CCLDBTableManagerArgs)];
  memset(raw, 0xA5, sizeof(raw));
  auto* a = new (raw) _CCLDBTableManagerArgs;
  EXPECT_EQ("", a->rootFolderKey);
  EXPECT_EQ(0u, a->SIDBStoreId);
  EXPECT_EQ(0u, a->jobId);
  EXPECT_EQ(0u, a->cldbId);
  EXPECT_FALSE(a->isAuxCopy);
  EXPECT_EQ(nullptr, a->evDebug);
  EXPECT_EQ(0, a->sigType);
  EXPECT_EQ(0u, a->copyId);
  EXPECT_EQ(0u, a->nAge);
  EXPECT_EQ(0u, a->expiryDays);
  EXPECT_EQ(0u, a->backupStartTime);
  EXPECT_EQ(0u, a->dbSizeMB);
  EXPECT_EQ(0u, a->extraExpiryDays);
  a->~_CCLDBTableManagerArgs();
}

TEST_F(ManagerInit, DirtyClientIsCreatedMarkedCleanAndAsksForItsList) {
  storage->SetValidAFiles(12, {5, 6});
  InitializeOk();
  EXPECT_TRUE(capture.Contains("CCLDBTableManager::Initialize(): Geting CLDBRootFolder [" +
                               root.path() + "] "));
  EXPECT_TRUE(
      capture.Contains("CCLDBTableManager::IsDBClean IsClientCacheDBDirty [AppId- 12 ] "
                       "returns 1"));
  EXPECT_TRUE(capture.Contains("CCLDBTableManager::Initialize() - Creating CLDB Succeeded"));
  EXPECT_EQ(manager->Tables().Path(), Folder());
  EXPECT_EQ(0, storage->ClientDirty(12));
  EXPECT_EQ(0u, StoredState(Folder(), 12));  // created, not yet closed

  const auto requests = storage->Requests();
  ASSERT_EQ(3u, requests.size());
  EXPECT_EQ(Storage::kIsClientCacheDBDirty, requests[0].call);
  EXPECT_EQ(Storage::kSetClientCacheDBDirty, requests[1].call);
  EXPECT_EQ((std::vector<unsigned long long>{12, 0}), requests[1].args);
  EXPECT_EQ(Storage::kListAfileIdByAppId, requests[2].call);
  // job, app, copy, store, and the oldest id an empty CLDB asks about
  EXPECT_EQ((std::vector<unsigned long long>{77, 12, 3, 500, 268435455}), requests[2].args);
}

TEST_F(ManagerInit, CleanClientIsOpenedAndReused) {
  MakeCleanCLDB({{kT0, Block(1, 5)}});
  for (int dirty : {0, 2}) {  // anything but 1 is clean
    SCOPED_TRACE(dirty);
    storage->SetClientDirty(12, dirty);
    storage->ClearRequests();
    InitializeOk();
    EXPECT_TRUE(capture.Contains("CCLDBTableManager::Initialize() - Opening CLDB Succeeded"));
    EXPECT_FALSE(capture.Contains("IsClientCacheDBDirty [AppId"));
    EXPECT_TRUE(RequestsOf(Storage::kSetClientCacheDBDirty).empty());
    EXPECT_TRUE(Found(Block(1, 5)));
    EXPECT_EQ(0, manager->Uninitialize(false));
  }
}

TEST_F(ManagerInit, DirtyAuxiliaryCopyIsCreatedAndMarkedCleanForTheJob) {
  args.isAuxCopy = true;
  storage->SetRecopied(3, {8});
  InitializeOk();
  EXPECT_TRUE(
      capture.Contains("CCLDBTableManager::IsDBClean isCopyClientCacheDBClean [Job-Id - 77 "
                       "][Copy id - 12] returns No"));
  EXPECT_TRUE(capture.Contains("CCLDBTableManager::Initialize() - Creating CLDB Succeeded"));
  EXPECT_EQ(Folder(), manager->Tables().Path());
  EXPECT_TRUE(storage->CopyClean(12));
  const auto marks = RequestsOf(Storage::kSetCopyClientCacheDBClean);
  ASSERT_EQ(1u, marks.size());
  EXPECT_EQ((std::vector<unsigned long long>{77, 12}), marks[0].args);
  EXPECT_EQ(1u, RequestsOf(Storage::kGetAFsToRecopyForCopy).size());
  EXPECT_EQ(2u, RequestsOf(Storage::kConnectMediaManager)[0].args[0]);
  EXPECT_TRUE(RequestsOf(Storage::kListAfileIdByAppId).empty());
}

TEST_F(ManagerInit, CleanAuxiliaryCopyIsOpenedWithoutMarking) {
  args.isAuxCopy = true;
  MakeCleanCLDB({{kT0, Block(1, 5)}});
  InitializeOk();
  EXPECT_TRUE(capture.Contains("CCLDBTableManager::Initialize() - Opening CLDB Succeeded"));
  EXPECT_FALSE(capture.Contains("isCopyClientCacheDBClean [Job-Id"));
  EXPECT_TRUE(RequestsOf(Storage::kSetCopyClientCacheDBClean).empty());
  EXPECT_TRUE(Found(Block(1, 5)));
}

TEST_F(ManagerInit, OfflineMountPathIsReportedButTheCLDBServes) {
  storage->SetMountPathOffline(3, true);
  bool offline = false;
  ASSERT_EQ(0, Initialize(offline));
  EXPECT_TRUE(offline);
  CacheRecordRef b = Block(1, 5);
  ASSERT_EQ(0, manager->InsertSignature(&b, 1));
  EXPECT_TRUE(Found(b));
}

TEST_F(ManagerInit, JobIdZeroLoadsNoList) {
  args.jobId = 0;
  InitializeOk();
  EXPECT_TRUE(RequestsOf(Storage::kListAfileIdByAppId).empty());
}

// ---- failures ------------------------------------------------------------------------

class ManagerInitFailure : public ManagerTest {
 protected:
  void ExpectFailure(const std::string& message) {
    bool offline = false;
    EXPECT_EQ(-1, Initialize(offline));
    EXPECT_FALSE(manager->IsOpened());
    EXPECT_TRUE(capture.Contains(1, message)) << message;
  }
};

TEST_F(ManagerInitFailure, RootFolderThatCannotBeNamed) {
  if (getuid() != 0) GTEST_SKIP() << "needs to become a user without a home folder";
  // Only a process without a home folder and without configuration has no
  // root folder; a child becomes one.
  args.rootFolderKey = "relative-key";
  const pid_t pid = fork();
  if (pid == 0) {
    unsetenv("XDG_DATA_HOME");
    setenv("HOME", "", 1);
    if (setuid(54321) != 0) _exit(3);
    CCLDBTableManager m;
    bool offline = false;
    const bool ok = m.Initialize(args, offline) == -1 && !m.IsOpened() &&
                    capture.Contains(
                        "CCLDBTableManager::Initialize(): GetCLDBRootFolder [relative-key] Failed");
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
}

TEST_F(ManagerInitFailure, SecondInitializeIsRefusedByTheOpenInstance) {
  InitializeOk();
  args.jobId = 78;
  bool offline = false;
  EXPECT_EQ(-1, manager->Initialize(args, offline));
  EXPECT_TRUE(capture.Contains("CCLDBTableManager::Initialize() - Initializing CLDB failed"));
  EXPECT_TRUE(manager->IsOpened());
  EXPECT_EQ(78u, manager->Args().jobId);
}

TEST_F(ManagerInitFailure, CleanlinessUnknownForAClient) {
  storage->FailCall(Storage::kIsClientCacheDBDirty, 5);
  ExpectFailure(
      "CCLDBTableManager::IsDBClean [ERROR]Get Is-Client-Cache-DB-Dirty failed [AppId- "
      "12 ]");
  EXPECT_TRUE(capture.Contains("CCLDBTableManager::Initialize() - Verifying CLDB status failed"));
  EXPECT_FALSE(fs::exists(Folder()));
}

TEST_F(ManagerInitFailure, CleanlinessUnknownForAnAuxiliaryCopy) {
  args.isAuxCopy = true;
  args.jobId = 0x100000000ull + 77;  // only the low 32 bits travel
  storage->FailCall(Storage::kIsCopyClientCacheDBClean, 5);
  ExpectFailure(
      "CCLDBTableManager::IsDBClean [ERROR]Get is-Copy-Client-Cache-DB-Clean failed "
      "[Job-Id - 77 ][Copy id - 12]");
  EXPECT_EQ((std::vector<unsigned long long>{77, 12}),
            RequestsOf(Storage::kIsCopyClientCacheDBClean)[0].args);
}

TEST_F(ManagerInitFailure, CreationFails) {
  WriteFile(Folder(), "a file where the folder should be");
  ExpectFailure("CCLDBTableManager::Initialize() - Creating CLDB failed");
  EXPECT_TRUE(RequestsOf(Storage::kSetClientCacheDBDirty).empty());
}

TEST_F(ManagerInitFailure, OpeningFails) {
  storage->SetClientDirty(12, 0);
  WriteFile(Folder(), "a file where the folder should be");
  ExpectFailure("CCLDBTableManager::Initialize() - Opening CLDB failed");
}

TEST_F(ManagerInitFailure, ClientCannotBeMarkedCleanLeavingTheInstanceOpen) {
  storage->FailCall(Storage::kSetClientCacheDBDirty, 4);
  ExpectFailure(
      "CCLDBTableManager::Initialize() [ERROR] Set-Client-Cache-DB-Dirty failed (App-id "
      "12)");
  EXPECT_TRUE(manager->Tables().IsOpened());
  capture.Clear();
  EXPECT_EQ(0, manager->Uninitialize(true));  // does nothing
  EXPECT_TRUE(capture.Lines().empty());
  EXPECT_TRUE(manager->Tables().IsOpened());
  EXPECT_EQ(0, manager->CloseDB());  // the one way to the instance
  EXPECT_EQ(-1, manager->Tables().RecordCount());
}

TEST_F(ManagerInitFailure, AuxiliaryCopyCannotBeMarkedClean) {
  args.isAuxCopy = true;
  storage->FailCall(Storage::kSetCopyClientCacheDBClean, 4);
  ExpectFailure(
      "CCLDBTableManager::Initialize() [ERROR]Set Copy-Client-Cache-DB-Clean failed "
      "[Job-Id - 77 ][Copy id - 12]");
  EXPECT_TRUE(RequestsOf(Storage::kGetAFsToRecopyForCopy).empty());
}

// ---- list failures do not fail Initialize -----------------------------------------------

TEST_F(ManagerInit, UnavailableValidListMakesOldRecordsMiss) {
  // Two blocks last used before this job started, in a file the storage
  // side still holds.
  MakeCleanCLDB({{kT0 - 100, Block(1, 5)}, {kT0 - 100, Block(2, 5)}});
  storage->SetValidAFiles(12, {5});
  InitializeOk();
  EXPECT_TRUE(Found(Block(1, 5)));  // vouched for by the list
  ASSERT_EQ(0, manager->Uninitialize(false));

  storage->FailCall(Storage::kListAfileIdByAppId, 7);
  capture.Clear();
  InitializeOk();
  EXPECT_TRUE(
      capture.Contains("CCLDBTableManager::ConfigureValidAfileList [ERROR]listAfileId "
                       "failed (7)"));
  EXPECT_TRUE(
      capture.Contains("CCLDBTableManager::Initialize() [ERROR]Get Get-ValidAfile-List "
                       "failed "));
  // Nothing vouches for the file now: the old record is not trusted.
  EXPECT_FALSE(Found(Block(2, 5)));
  _stCLDBStates stats;
  manager->GetStats(stats);
  EXPECT_EQ(0u, stats.foundPruned);  // a miss, not a verdict on the file
}

TEST_F(ManagerInit, UnavailableRecopiedListDoesNotFailInitialize) {
  args.isAuxCopy = true;
  storage->FailCall(Storage::kConnectMediaManager, 6);
  bool offline = true;
  ASSERT_EQ(0, Initialize(offline));
  EXPECT_TRUE(manager->IsOpened());
  EXPECT_FALSE(offline);
  EXPECT_TRUE(capture.Contains(0,
                               "CCLDBTableManager::ConfigureRecopiedAfileList: [ERROR] Cannot "
                               "connect to MediaManager. Status [6]"));
  EXPECT_TRUE(
      capture.Contains("CCLDBTableManager::Initialize() [ERROR]Get Get-RecopiedAfile-List "
                       "failed "));
}

}  // namespace
}  // namespace cldbtest
