// The shared layout of a root folder: CLDB folder names, private folders,
// and the per-CLDB lock that only the folder decides.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "StorageFixture.h"
#include "storage/RootFolder.h"

namespace cldbtest {
namespace {

using cldb::CldbFolderLock;

TEST(RootFolderNames, BuildAndParseCldbFolderNames) {
  EXPECT_EQ(cldb::ClientCldbFolderName(3, 14), "ZEL_CLDB_APP_3_14");
  EXPECT_EQ(cldb::AuxCldbFolderName(4294967295u), "ZEL_CLDB_AUX_4294967295");
  struct Case {
    const char* folder;
    bool named;
    uint32_t id;
  };
  for (const Case& c : {Case{"/r/ZEL_CLDB_APP_3_14", true, 3}, Case{"ZEL_CLDB_APP_3_14/", true, 3},
                        Case{"/r/ZEL_CLDB_AUX_9", true, 9}, Case{"/r/ZEL_CLDB_APP_3", false, 0},
                        Case{"/r/ZEL_CLDB_APP_3_x", false, 0}, Case{"/r/ZEL_CLDB_AUX_", false, 0},
                        Case{"/r/ZEL_CLDB_APP_4294967296_1", false, 0}, Case{"/r/other", false, 0},
                        Case{"/ZEL_CLDB_APP_1_1/sub", false, 0}}) {
    SCOPED_TRACE(c.folder);
    uint32_t id = 0;
    EXPECT_EQ(cldb::CldbIdFromFolderName(c.folder, id), c.named);
    if (c.named) {
      EXPECT_EQ(id, c.id);
    }
  }
}

TEST(RootFolderFolders, MadePrivateWithTheirParents) {
  TempDir dir;
  EXPECT_EQ(cldb::MakePrivateFolders(dir / "a/b/c"), "");
  for (const char* folder : {"a", "a/b", "a/b/c"}) {
    struct stat info {};
    ASSERT_EQ(stat((dir / folder).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u) << folder;
  }
  EXPECT_EQ(cldb::MakePrivateFolders(dir / "a/b"), "");  // exists: fine
  WriteFile(dir / "file", "x");
  EXPECT_NE(cldb::MakePrivateFolders(dir / "file/sub"), "");
  EXPECT_NE(cldb::MakePrivateFolders(dir / "file"), "");
}

class CldbFolderLockTest : public ::testing::Test {
 protected:
  std::string Folder() const { return root_ / "ZEL_CLDB_APP_1_1"; }
  std::string LockFile() const { return root_ / ".ZEL_CLDB_APP_1_1.lock"; }
  TempDir root_;
};

// Two holders exclude each other, also in one process; the lock goes with
// its holder, and its file stays, private, beside the folder.
TEST_F(CldbFolderLockTest, OneHolderAtATime) {
  {
    CldbFolderLock first(Folder());
    ASSERT_TRUE(first.TryLock()) << first.Error();
    EXPECT_TRUE(first.TryLock());
    CldbFolderLock second(Folder());
    EXPECT_FALSE(second.TryLock());
    EXPECT_EQ(second.Error(), "");
  }
  struct stat info {};
  ASSERT_EQ(lstat(LockFile().c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  CldbFolderLock third(Folder());
  EXPECT_TRUE(third.TryLock()) << third.Error();
}

// However a command spells the folder, and whatever the environment says,
// it meets the one lock file beside the folder.
TEST_F(CldbFolderLockTest, EverySpellingOfTheFolderMeetsTheSameLock) {
  TempDir elsewhere;
  ASSERT_EQ(symlink(root_.path().c_str(), (elsewhere / "root-link").c_str()), 0);
  CldbFolderLock held(Folder());
  ASSERT_TRUE(held.TryLock()) << held.Error();
  ASSERT_EQ(mkdir(Folder().c_str(), 0700), 0);
  ASSERT_EQ(symlink(Folder().c_str(), (elsewhere / "cldb-link").c_str()), 0);
  setenv("CLDB_LOCK_DIR", (elsewhere / "locks").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", elsewhere.path().c_str(), 1);
  for (const std::string& spelling :
       {Folder() + "/", root_ / "./ZEL_CLDB_APP_1_1", elsewhere / "root-link/ZEL_CLDB_APP_1_1",
        elsewhere / "cldb-link"}) {
    SCOPED_TRACE(spelling);
    std::string error;
    EXPECT_EQ(CldbFolderLock::LockFilePath(spelling, error), LockFile()) << error;
    CldbFolderLock other(spelling);
    EXPECT_FALSE(other.TryLock());
    EXPECT_EQ(other.Error(), "");
  }
  unsetenv("CLDB_LOCK_DIR");
  unsetenv("XDG_RUNTIME_DIR");
}

// Whatever was planted under the lock file's name is refused, never
// followed, and left as it was.
TEST_F(CldbFolderLockTest, APlantedLockFileIsRefusedAndLeftAlone) {
  TempDir outside;
  WriteFile(outside / "target", "precious");
  struct Plant {
    const char* what;
    std::function<int()> plant;
  };
  const std::vector<Plant> plants = {
      {"link to a file", [&] { return symlink((outside / "target").c_str(), LockFile().c_str()); }},
      {"dangling link", [&] { return symlink((outside / "none").c_str(), LockFile().c_str()); }},
      {"hard link", [&] { return link((outside / "target").c_str(), LockFile().c_str()); }},
      {"pipe", [&] { return mkfifo(LockFile().c_str(), 0600); }},
      {"folder", [&] { return mkdir(LockFile().c_str(), 0700); }},
  };
  for (const Plant& plant : plants) {
    SCOPED_TRACE(plant.what);
    ASSERT_EQ(plant.plant(), 0);
    CldbFolderLock lock(Folder());
    EXPECT_FALSE(lock.TryLock());
    EXPECT_NE(lock.Error(), "");
    EXPECT_EQ(ReadFile(outside / "target"), "precious");
    EXPECT_NE(access((outside / "none").c_str(), F_OK), 0);
    ASSERT_EQ(remove(LockFile().c_str()), 0);
  }
  std::string error;
  EXPECT_EQ(CldbFolderLock::LockFilePath(root_ / "missing/ZEL_CLDB_APP_1_1", error), "");
  EXPECT_NE(error, "");
}

}  // namespace
}  // namespace cldbtest
