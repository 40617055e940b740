// One owner per open CLDB: a second manager or process finds it in use and
// touches nothing, whatever its environment; an owner that died leaves a
// CLDB that is made again; a failed creation leaves the manager usable.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ManagerFixture.h"
#include "platform/MDLock.h"

namespace cldbtest {
namespace {

using ManagerOwnership = ManagerTest;

TEST_F(ManagerOwnership, ASecondManagerFindsTheCLDBInUseAndWipesNothing) {
  InitializeOk();
  std::vector<CacheRecordRef> blocks = {Block(1, 5), Block(2, 5), Block(3, 6)};
  ASSERT_EQ(0, manager->InsertSignature(blocks.data(), 3));
  CCLDBTableManager second;
  for (int dirty : {0, 1}) {  // whether it would open the CLDB or make it anew
    SCOPED_TRACE(dirty);
    storage->SetClientDirty(12, dirty);
    bool offline = false;
    EXPECT_EQ(-1, second.Initialize(args, offline));
    EXPECT_TRUE(second.InUse());
  }
  EXPECT_TRUE(capture.Contains("CCLDBTables::Open(): [ERROR] CLDB (" + Folder() +
                               ") is in use by another process"));
  EXPECT_TRUE(capture.Contains("CCLDBTables::Create: [ERROR] CLDB (" + Folder() +
                               ") is in use by another process"));
  EXPECT_EQ(1u, RequestsOf(Storage::kSetClientCacheDBDirty).size());  // the first's only
  EXPECT_EQ(3, manager->Tables().RecordCount());
  ASSERT_EQ(0, manager->Uninitialize(false));

  storage->SetClientDirty(12, 0);
  storage->SetValidAFiles(12, {5, 6});
  bool offline = false;
  ASSERT_EQ(0, second.Initialize(args, offline));
  EXPECT_FALSE(second.InUse());
  EXPECT_EQ(3, second.Tables().RecordCount());
  CLDBQuerySignature q{blocks[2], 0};
  ASSERT_EQ(0, second.QuerySignature(&q, 1));
  EXPECT_EQ(1u, q.found);
  EXPECT_EQ(0, second.Uninitialize(false));
}

// Another process holds the CLDB with another environment (the lock folders
// of MDLock(name) differ): still in use. Once it is killed, the CLDB it left
// open is made again.
TEST_F(ManagerOwnership, AnotherProcessWithAnotherEnvironmentHoldsItUntilItDies) {
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  const pid_t child = fork();
  if (child == 0) {
    setenv("XDG_RUNTIME_DIR", (root / "runtime").c_str(), 1);
    setenv("CLDB_LOCK_DIR", "relative/locks", 1);
    CCLDBTableManager holder;
    bool offline = false;
    CacheRecordRef block = Block(1, 5);
    const char c =
        holder.Initialize(args, offline) == 0 && holder.InsertSignature(&block, 1) == 0 ? 'y' : 'n';
    if (write(ready[1], &c, 1) == 1) pause();
    _exit(0);
  }
  close(ready[1]);
  char c = 0;
  ASSERT_TRUE(read(ready[0], &c, 1) == 1 && c == 'y');
  close(ready[0]);
  storage->SetClientDirty(12, 0);
  bool offline = false;
  EXPECT_EQ(-1, Initialize(offline));
  EXPECT_TRUE(manager->InUse());
  EXPECT_EQ(0u, StoredState(Folder(), 12));  // created by the holder, not yet closed

  kill(child, SIGKILL);
  ASSERT_EQ(child, waitpid(child, nullptr, 0));
  InitializeOk();
  EXPECT_FALSE(manager->InUse());
  EXPECT_TRUE(capture.Contains("Previous session has been terminated without closing CacheDB"));
  EXPECT_EQ(0, manager->Tables().RecordCount());
}

// Another user's folder at the place of this user's private lock folder
// does not stop the CLDB: its locks live in the CLDB folder.
TEST_F(ManagerOwnership, AForeignPrivateLockFolderDoesNotStopTheCLDB) {
  const std::string foreign = root / "foreign-locks";
  ASSERT_EQ(0, mkdir(foreign.c_str(), 0700));
  GiveToNobody(foreign);
  ScopedEnv lockDir("CLDB_LOCK_DIR", foreign.c_str());
  ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr);
  InitializeOk();
  CacheRecordRef block = Block(1, 5);
  ASSERT_EQ(0, manager->InsertSignature(&block, 1));
  ASSERT_EQ(0, manager->Uninitialize(false));
  EXPECT_EQ(2u, StoredState(Folder(), 12));
}

// A creation after a crash whose state file cannot be written (its lock is
// held past the time-out) fails; it must leave nothing open, so that the
// next Initialize of the same manager succeeds.
TEST_F(ManagerOwnership, AFailedCreationLeavesTheManagerUsable) {
  MakeCleanCLDB({{kT0, Block(1, 5)}});
  StoreValue(Folder(), 12u, &CCLDBStateFile::SetState, 1u);  // as a crash leaves it
  const unsigned int saved = CCLDBStateFile::LockTimeout();
  CCLDBStateFile::SetLockTimeout(20);
  auto holder = std::make_unique<MDLock>(Folder().c_str(), "SIDBStateFileLock_Engine_12");
  ASSERT_TRUE(holder->set(0));
  bool offline = false;
  EXPECT_EQ(-1, Initialize(offline));
  EXPECT_FALSE(manager->InUse());
  EXPECT_TRUE(
      capture.Contains("CCLDBTables::Create: Stat file creation (" + Folder() + ") Failed"));
  holder.reset();
  CCLDBStateFile::SetLockTimeout(saved);
  EXPECT_EQ(0, manager->Initialize(args, offline));
  EXPECT_FALSE(capture.Contains("Cache table initialization failed"));
  EXPECT_EQ(0, manager->Tables().RecordCount());
  CacheRecordRef block = Block(2, 6);
  ASSERT_EQ(0, manager->InsertSignature(&block, 1));
  EXPECT_TRUE(Found(block));
}

}  // namespace
}  // namespace cldbtest
