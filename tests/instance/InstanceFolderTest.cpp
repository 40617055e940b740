// The CLDB folder: its name, the refusals of Initialize, and the migration of
// a client CLDB of the earlier folder layout.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "InstanceFixture.h"

namespace cldbtest {
namespace {

namespace fs = std::filesystem;

std::set<std::string> Entries(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.insert(e.path().filename());
  return names;
}

using FolderName = InstanceTest;

TEST_F(FolderName, ClientFolderIsTheSameWithOrWithoutTrailingSlash) {
  CCLDBTables plain, slashed;
  ASSERT_EQ(0, Init(plain, config, Root()));
  ASSERT_EQ(0, Init(slashed, config, Root() + "/"));
  EXPECT_EQ(Root() + "/ZEL_CLDB_APP_12_3", plain.Path());
  EXPECT_EQ(plain.Path(), slashed.Path());
  EXPECT_TRUE(capture.Contains("CCLDBTables::initialize: []Copyid - 3] [Job-ID - 77][CLDB-Path - " +
                               Root() + "/][SIDB-ID - 500][CLDB-ID - 12]"));
}

TEST_F(FolderName, AuxiliaryCopyFolderHasNoCopySuffixAndIsNeverMigrated) {
  config.aux = true;
  // A folder of the earlier client layout with the same id is none of its business.
  ASSERT_TRUE(fs::create_directory(root / "ZEL_CLDB_APP_12"));
  CCLDBTables t;
  ASSERT_EQ(0, Init(t, config, Root() + "/"));
  EXPECT_EQ(Root() + "/ZEL_CLDB_AUX_12", t.Path());
  EXPECT_TRUE(fs::exists(root / "ZEL_CLDB_APP_12"));
  EXPECT_FALSE(capture.Contains("Found older version"));
  EXPECT_TRUE(capture.Contains("[AuxCopy - Yes]"));
}

TEST_F(FolderName, InitializeNeitherCreatesNorOpens) {
  CCLDBTables t;
  ASSERT_EQ(0, Init(t));
  EXPECT_FALSE(t.IsOpened());
  EXPECT_FALSE(fs::exists(Folder()));
}

TEST_F(FolderName, EmptyRootFolderIsRefused) {
  CCLDBTables t;
  EXPECT_EQ(-1, Init(t, config, ""));
  EXPECT_TRUE(capture.Contains("CCLDBTables::initialize: [ERROR] Empty CLDB root folder"));
  EXPECT_EQ("", t.Path());
}

TEST_F(FolderName, InitializeOnAnOpenInstanceChangesOnlyTheLog) {
  OpenInstance();
  EvDebug other;
  other.SetThreshold(-2);
  LogCapture otherCapture(&other);
  InstanceConfig changed = config;
  changed.cldbId = 99;
  EXPECT_EQ(-1, tables->Initialize(changed.copyId, changed.jobId, Root().c_str(), changed.storeId,
                                   changed.cldbId, &other, changed.sigType, changed.nAge,
                                   changed.expiryDays, changed.aux, changed.extraExpiryDays,
                                   changed.backupStart, changed.dbSizeMB));
  EXPECT_TRUE(otherCapture.Contains("CCLDBTables::initialize: CacheTable already opened"));
  EXPECT_EQ(Folder(), tables->Path());
  EXPECT_TRUE(tables->IsOpened());
  // The instance now logs to the new object.
  capture.Clear();
  EXPECT_EQ(-1, tables->DeleteCLDB());
  EXPECT_TRUE(otherCapture.Contains("File is in open state unable to delete"));
  EXPECT_FALSE(capture.Contains("File is in open state unable to delete"));
}

class Migration : public InstanceTest {
 protected:
  std::string OldFolder() const { return root / "ZEL_CLDB_APP_12"; }
};

TEST_F(Migration, CopiesOnlyCLDBFilesAndRemovesTheOldFolder) {
  const std::string old = OldFolder();
  ASSERT_TRUE(fs::create_directory(old));
  const std::vector<std::string> carried = {"State.xml", "CacheTable.dat", "a.IDX",  "b.Xml",
                                            "c.DaT",     "README",         "x.y.idx"};
  const std::vector<std::string> skipped = {"CacheTable.dat-lock", "notes.txt", "State.xml.tmp",
                                            "archive.dat.bak"};
  for (const auto& name : carried) WriteFile(old + "/" + name, "content of " + name);
  for (const auto& name : skipped) WriteFile(old + "/" + name, "skip");
  ASSERT_TRUE(fs::create_directory(old + "/sub"));
  ASSERT_TRUE(fs::create_directory(old + "/folder.dat"));
  WriteFile(old + "/sub/inner.dat", "inner");

  CCLDBTables t;
  ASSERT_EQ(0, Init(t));
  EXPECT_EQ(Folder(), t.Path());
  EXPECT_EQ(std::set<std::string>(carried.begin(), carried.end()), Entries(Folder()));
  for (const auto& name : carried)
    EXPECT_EQ("content of " + name, ReadFile(Folder() + "/" + name)) << name;
  EXPECT_FALSE(fs::exists(old));
  EXPECT_TRUE(
      capture.Contains("CCLDBTables::initialize: Found older version of CLDB at [" + old + "]"));
  EXPECT_TRUE(capture.Contains("CCLDBTables::initialize: Moving CLDB to [" + Folder() + "]"));
  EXPECT_TRUE(
      capture.Contains("CCLDBTables::initialize: Moving CLDB Completed..deleting old CLDB"));
  EXPECT_TRUE(capture.Contains("CCLDBTables::initialize: Deleting completed"));
}

TEST_F(Migration, ReusesAnExistingNewFolder) {
  ASSERT_TRUE(fs::create_directory(OldFolder()));
  ASSERT_TRUE(fs::create_directory(Folder()));
  WriteFile(OldFolder() + "/State.xml", "old state");
  WriteFile(Folder() + "/State.xml", "new state");
  WriteFile(Folder() + "/keep.txt", "kept");
  CCLDBTables t;
  ASSERT_EQ(0, Init(t));
  EXPECT_EQ("old state", ReadFile(Folder() + "/State.xml"));
  EXPECT_EQ("kept", ReadFile(Folder() + "/keep.txt"));
  EXPECT_FALSE(fs::exists(OldFolder()));
}

TEST_F(Migration, MigratedCLDBIsReusedWithItsRecords) {
  const std::vector<CacheRecordRef> blocks = {Block(1, 5), Block(2, 6)};
  MakeClosedCLDB(blocks);
  fs::rename(Folder(), OldFolder());
  OpenInstance();
  EXPECT_EQ(Folder(), tables->Path());
  EXPECT_TRUE(
      capture.Contains("CCLDBTables::Open(): CacheTable opened successfully [" + Folder() + "]"));
  EXPECT_EQ(2, tables->RecordCount());
  EXPECT_TRUE(Found(blocks[0]));
  EXPECT_TRUE(Found(blocks[1]));
}

TEST_F(Migration, NewFolderThatCannotBeMadeFailsAndKeepsTheOldName) {
  ASSERT_TRUE(fs::create_directory(OldFolder()));
  WriteFile(OldFolder() + "/State.xml", "old state");
  // A dangling link does not exist, and no folder can be made in its place.
  fs::create_symlink(root / "missing/nowhere", Folder());
  CCLDBTables t;
  EXPECT_EQ(-1, Init(t));
  EXPECT_TRUE(capture.Contains("CCLDBTables::initialize: Error Creating Folder ["));
  EXPECT_EQ(OldFolder(), t.Path());
  EXPECT_EQ("old state", ReadFile(OldFolder() + "/State.xml"));
}

TEST_F(Migration, FailedCopyIsLoggedAndKeepsTheOldFolder) {
  ASSERT_TRUE(fs::create_directory(OldFolder()));
  WriteFile(OldFolder() + "/State.xml", "old state");
  fs::create_symlink(root / "missing.dat", OldFolder() + "/broken.dat");
  CCLDBTables t;
  EXPECT_EQ(0, Init(t));
  EXPECT_EQ(Folder(), t.Path());
  EXPECT_TRUE(capture.Contains("CCLDBTables::MoveCLDB: Error in walking the database path [" +
                               OldFolder() + "]. Error ["));
  EXPECT_TRUE(capture.Contains("CCLDBTables::initialize: [ERROR] Moving CLDB Failed"));
  EXPECT_FALSE(capture.Contains("Deleting completed"));
  EXPECT_TRUE(fs::exists(OldFolder() + "/State.xml"));
}

TEST_F(Migration, FailedRemovalIsLoggedAndTheNewFolderUsed) {
  // The old folder is a link to a folder elsewhere: copied through, never emptied.
  TempDir elsewhere;
  WriteFile(elsewhere / "State.xml", "old state");
  fs::create_directory_symlink(elsewhere.path(), OldFolder());
  CCLDBTables t;
  EXPECT_EQ(0, Init(t));
  EXPECT_EQ(Folder(), t.Path());
  EXPECT_EQ("old state", ReadFile(Folder() + "/State.xml"));
  EXPECT_TRUE(capture.Contains("CCLDBTables::initialize: Error in Deleting CLDB [" + OldFolder() +
                               "]. Error ["));
  EXPECT_FALSE(capture.Contains("Deleting completed"));
}

}  // namespace
}  // namespace cldbtest
