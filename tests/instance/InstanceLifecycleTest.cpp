// The life of a CLDB: its folder (name, migration, the refusals of
// Initialize), when an existing CLDB is reused and when it is wiped and made
// again, what Open and Close record in State.xml and how their failures are
// reported, and the compaction schedule of Close.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>

#include "InstanceFixture.h"
#include "platform/MDLock.h"
#include "support/InMemoryStorageBackend.h"

namespace cldbtest {
namespace {

namespace fs = std::filesystem;

class Lifecycle : public InstanceTest {
 protected:
  std::vector<CacheRecordRef> Blocks() const { return {Block(1, 5), Block(2, 6), Block(3, 7)}; }
  // `text` with every '@' replaced by the CLDB folder.
  std::string At(std::string text) const {
    for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at + 1))
      text.replace(at, 1, Folder());
    return text;
  }
  // Stores `version` in State.xml and asks for a CLDB of `sizeMB` in `section`.
  void Oversize(const char* version, const char* section, unsigned long sizeMB) {
    std::string text = ReadFile(Folder() + "/State.xml");
    const size_t at = text.find("<Version>2<");
    ASSERT_NE(std::string::npos, at);
    WriteFile(Folder() + "/State.xml", text.replace(at + 9, 1, version));
    ZelPlatformInfo::SetOverride(section, "MaxCacheDBSizeMB", sizeMB);
  }
  // Holding the state file's lock past a short time-out makes every rewrite
  // of State.xml fail while reads still succeed.
  std::unique_ptr<MDLock> BlockStateRewrites() {
    CCLDBStateFile::SetLockTimeout(20);
    auto lock = std::make_unique<MDLock>(Folder().c_str(), "SIDBStateFileLock_Engine_12");
    EXPECT_TRUE(lock->set(0));
    return lock;
  }
  void TearDown() override {
    CCLDBStateFile::SetLockTimeout(60000);
    InstanceTest::TearDown();
  }
};

TEST_F(Lifecycle, IsTheSameWithOrWithoutTrailingSlash) {
  ASSERT_TRUE(fs::create_directory(root / "ZEL_CLDB_APP_12"));  // no business of an aux copy
  for (bool aux : {true, false}) {
    config.aux = aux;
    if (!aux) fs::remove(root / "ZEL_CLDB_APP_12");
    for (const std::string& rootPath : {root.path(), root.path() + "/"}) {
      CCLDBTables t;
      ASSERT_EQ(0, Init(t, rootPath));
      EXPECT_EQ(root / (aux ? "ZEL_CLDB_AUX_12" : "ZEL_CLDB_APP_12_3"), t.Path()) << rootPath;
    }
    EXPECT_EQ(aux, fs::exists(root / "ZEL_CLDB_APP_12"));
  }
  EXPECT_TRUE(capture.Contains("CCLDBTables::initialize: []Copyid - 3] [Job-ID - 77][CLDB-Path - " +
                               root.path() + "/][SIDB-ID - 500][CLDB-ID - 12]"));
  EXPECT_TRUE(fs::is_empty(root.path()));  // Initialize neither creates nor opens
}

TEST_F(Lifecycle, EmptyRootIsRefusedAndAFolderThatCannotBeMadeFailsTheOpen) {
  CCLDBTables t;
  EXPECT_EQ(-1, Init(t, ""));
  EXPECT_TRUE(capture.Contains("CCLDBTables::initialize: [ERROR] Empty CLDB root folder"));
  EXPECT_EQ("", t.Path());
  WriteFile(Folder(), "a file where the folder should be");
  ASSERT_EQ(0, Init(t));
  EXPECT_EQ(-1, t.Open());
  EXPECT_TRUE(
      capture.Contains(At("CCLDBTables::Open(): [ERROR] CLDB folder (@) refused: it is "
                          "not a folder")));
  EXPECT_EQ(-1, t.Create());
  EXPECT_FALSE(t.InUse());
  fs::remove(Folder());
  WriteFile(root / "plain", "");
  config.copyId = 4;  // a folder that cannot be made
  ASSERT_EQ(0, Init(t, root / "plain"));
  EXPECT_EQ(-1, t.Create());
  EXPECT_TRUE(capture.Contains("CCLDBTables::Create: mkdr(" + t.Path() + "), error="));
}

// A CLDB folder that is a link (planted in a shared root) or that belongs to
// another user is refused outright: nothing of the link's target is read
// or removed, dotfiles included.
TEST_F(Lifecycle, AFolderThatIsALinkOrAnotherUsersIsRefusedAndLeftAlone) {
  const std::string victim = root / "victim";
  ASSERT_TRUE(fs::create_directory(victim));
  for (const char* name : {".profile", "CacheTable.dat", "State.xml", "data"})
    WriteFile(victim + "/" + name, name);
  fs::create_directory_symlink(victim, Folder());
  CCLDBTables t;
  ASSERT_EQ(0, Init(t));
  EXPECT_EQ(-1, t.Open());
  EXPECT_EQ(-1, t.Create());
  EXPECT_EQ(-1, t.DeleteCLDB());
  EXPECT_TRUE(
      capture.Contains(At("CCLDBTables::Create: [ERROR] CLDB folder (@) refused: it is a "
                          "symbolic link")));
  for (const char* name : {".profile", "CacheTable.dat", "State.xml", "data"})
    EXPECT_EQ(name, ReadFile(victim + "/" + name));

  fs::remove(Folder());
  ASSERT_TRUE(fs::create_directory(Folder()));
  GiveToNobody(Folder());
  EXPECT_EQ(-1, t.Open());
  EXPECT_TRUE(capture.Contains(At("refused: it belongs to another user")));
  EXPECT_TRUE(fs::is_empty(Folder()));

  // One of ours that others may write to is closed to them, then used.
  ASSERT_EQ(0, lchown(Folder().c_str(), geteuid(), getegid()));
  ASSERT_EQ(0, chmod(Folder().c_str(), 0777));
  EXPECT_EQ(0, t.Open());
  EXPECT_EQ(fs::perms::none, fs::status(Folder()).permissions() &
                                 (fs::perms::group_write | fs::perms::others_write));
  EXPECT_EQ(0, t.Close(false));
}

// The wipe removes the CLDB's own entries and nothing else; one it cannot
// remove fails the creation (here: a folder of root's in a CLDB of nobody's).
TEST_F(Lifecycle, TheWipeRemovesOnlyTheCLDBsOwnEntriesAndAFailedWipeFailsCreate) {
  MakeClosedCLDB(Blocks());
  WriteFile(Folder() + "/notes.txt", "kept");
  WriteFile(Folder() + "/CacheTable.dat.upgrade", "left by a crash");
  ASSERT_TRUE(fs::create_directories(Folder() + "/State.xml.tmp/deeper"));
  CCLDBTables t;
  ASSERT_EQ(0, Init(t));
  ASSERT_EQ(0, t.DeleteCLDB());
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(Folder())) names.insert(e.path().filename());
  EXPECT_EQ((std::set<std::string>{"notes.txt", "Owner.lock", "SIDBStateFileLock_Engine_12.lock"}),
            names);

  ASSERT_TRUE(fs::create_directories(Folder() + "/State.xml/locked"));
  WriteFile(Folder() + "/State.xml/locked/file", "");
  GiveToNobody(Folder());
  ASSERT_EQ(0, lchown((Folder() + "/State.xml/locked").c_str(), 0, 0));
  ASSERT_EQ(0, chmod((Folder() + "/State.xml/locked").c_str(), 0755));
  ASSERT_EQ(0, lchown((Folder() + "/State.xml/locked/file").c_str(), 0, 0));
  ASSERT_EQ(0, chmod(root.path().c_str(), 0755));
  const int status = RunInChild([&] {
    if (!BecomeNobody()) return 2;
    CCLDBTables nobody;
    if (Init(nobody) != 0) return 3;
    if (nobody.Create() != -1 || nobody.IsOpened()) return 1;
    return capture.Contains(At("[ERROR]CCLDBTables::DeleteCLDBFiles(): Remove CLDB files (@) "
                               "Failed, error=remove @/State.xml"))
               ? 0
               : 4;
  });
  EXPECT_TRUE(ExitedWith(status, 0)) << status;
  EXPECT_FALSE(fs::exists(Folder() + "/CacheTable.dat"));  // it went no further
}

TEST_F(Lifecycle, MigrationCopiesOnlyCLDBFilesIntoTheNewFolderAndRemovesTheOld) {
  const std::string old = root / "ZEL_CLDB_APP_12";
  ASSERT_TRUE(fs::create_directories(old + "/sub.dat"));
  ASSERT_TRUE(fs::create_directories(Folder()));  // an existing new folder is reused
  const std::set<std::string> carried = {"State.xml", "CacheTable.dat", "a.IDX", "b.Xml", "README"};
  for (const auto& name : carried) WriteFile(old + "/" + name, "content of " + name);
  for (const char* name : {"x.dat-lock", "notes.txt", "State.xml.tmp", "sub.dat/in.dat"})
    WriteFile(old + "/" + name, "skip");
  CCLDBTables t;
  ASSERT_EQ(0, Init(t));
  EXPECT_EQ(Folder(), t.Path());
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(Folder())) names.insert(e.path().filename());
  std::set<std::string> want = carried;
  want.insert("Owner.lock");  // the copy ran under the new folder's claim
  EXPECT_EQ(want, names);
  for (const auto& name : carried) EXPECT_EQ("content of " + name, ReadFile(Folder() + "/" + name));
  EXPECT_FALSE(fs::exists(old));
  EXPECT_TRUE(
      capture.Contains("CCLDBTables::initialize: Found older version of CLDB at [" + old + "]"));
  EXPECT_TRUE(capture.Contains("CCLDBTables::initialize: Deleting completed"));
}

// A copied table is another file, which its copied seal does not vouch for:
// the migration seals the copy as one, so the CLDB is carried over whole.
TEST_F(Lifecycle, MigrationCarriesAClosedCLDBOver) {
  MakeClosedCLDB(Blocks());
  fs::rename(Folder(), root / "ZEL_CLDB_APP_12");  // the earlier layout's name
  capture.Clear();
  OpenInstance();
  EXPECT_FALSE(fs::exists(root / "ZEL_CLDB_APP_12"));
  EXPECT_TRUE(capture.Contains("CCLDBTables::Open(): RecordCount (3)"));
  EXPECT_FALSE(capture.Contains("Creating CacheTable"));
  EXPECT_EQ(3, tables->RecordCount());
}

// ---- reuse, recreation, open and close ----------------------------------------------

enum Outcome { kReused, kRecreated, kRecreatedUnclosed, kTableRecreated };

TEST_F(Lifecycle, OpenReusesOnlyACleanlyClosedCLDBOfItsStoreAndVersion) {
  const std::string sizeOverride =
      "CCLDBTables::VerifyState: Found MaxCacheDBSizeMB override key. Setting Max-DB-Size to to "
      "4097 MB which is not compatible with CLDB version is 1.";
  using Reason = cldb::RecreateReason;
  const struct {
    const char* what;
    std::function<void()> change;
    std::string message;
    Outcome outcome;
    Reason reason;  // what Recreated() reports
  } cases[] = {
      {"closed cleanly", [] {}, "CCLDBTables::Open(): RecordCount (3)", kReused, Reason::kNone},
      {"left opened", [&] { StoreValue(Folder(), 12u, &CCLDBStateFile::SetState, 1u); },
       "CCLDBTables::VerifyState: State found opened [@] Previous session terminated without "
       "closing CLDB...",
       kRecreatedUnclosed, Reason::kUnclosed},
      {"left uninitialised", [&] { StoreValue(Folder(), 12u, &CCLDBStateFile::SetState, 0u); },
       "CCLDBTables::VerifyState: State found uninitialized [@] Previous session terminated "
       "without completeing Initialize-CLDB...",
       kRecreatedUnclosed, Reason::kUnclosed},
      {"state file missing", [&] { fs::remove(Folder() + "/State.xml"); },
       "CCLDBTables::VerifyState: Get State [@] Failed", kRecreated, Reason::kDamaged},
      {"nothing of a CLDB left",
       [&] {
         for (const char* name :
              {"State.xml", "CacheTable.dat", "CacheTable.idx", "CacheTable.dat-lock"})
           fs::remove(Folder() + "/" + name);
       },
       "CCLDBTables::VerifyState: Get State [@] Failed", kRecreated, Reason::kNew},
      {"another store", [&] { config.storeId = 501; },
       "CCLDBTables::VerifyState: Found SIDB id Mismatched [@][StateFile - 500][Incoming - 501]",
       kRecreated, Reason::kOtherStore},
      {"version 1 above 4096 MB", [&] { Oversize("1", "Courier", 4097); }, sizeOverride, kRecreated,
       Reason::kIncompatible},
      {"version 1 at 4096 MB", [&] { Oversize("1", "Courier", 4096); }, "", kReused, Reason::kNone},
      {"version 1, other side's key", [&] { Oversize("1", "Warden", 4097); }, "", kReused,
       Reason::kNone},
      {"version 2 above 4096 MB", [&] { Oversize("2", "Courier", 4097); }, "", kReused,
       Reason::kNone},
      {"table does not open", [&] { WriteFile(Folder() + "/CacheTable.dat", "junk"); },
       "CCLDBTables::Open():It may be corrupted so Creating new CacheDB (@)", kTableRecreated,
       Reason::kDamaged},
      {"a file of it is a folder",
       [&] {
         fs::remove(Folder() + "/CacheTable.idx");
         fs::create_directory(Folder() + "/CacheTable.idx");
       },
       "CacheTable.idx is not a regular file", kRecreated, Reason::kDamaged},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    config = InstanceConfig();
    ZelPlatformInfo::ClearOverrides();
    MakeClosedCLDB(Blocks());
    c.change();
    capture.Clear();
    OpenInstance();
    EXPECT_TRUE(capture.Contains(At(c.message)));
    EXPECT_EQ(c.outcome == kRecreatedUnclosed,
              capture.Contains("CCLDBTables::Open():State found opened. Previous session has been "
                               "terminated without closing CacheDB... ") &&
                  capture.Contains(At("CCLDBTables::Open(): creating new CacheDB(@)")));
    EXPECT_EQ(c.outcome != kReused && c.outcome != kTableRecreated,
              capture.Contains(At("CCLDBTables::Open(): Creating CacheTable...version - 2 (@)")));
    EXPECT_EQ(1u, StoredState(Folder(), 12));
    EXPECT_EQ(c.outcome == kReused ? 3 : 0, tables->RecordCount());
    EXPECT_STREQ(cldb::RecreateReasonName(c.reason), cldb::RecreateReasonName(tables->Recreated()));
    CloseInstance();
    fs::remove_all(Folder());
  }
}

TEST_F(Lifecycle, StateThatCannotBeRecordedFailsOpenLeavingNothingOpenAndFailsClose) {
  MakeClosedCLDB(Blocks());
  auto blocked = BlockStateRewrites();
  CCLDBTables failed;
  ASSERT_EQ(0, Init(failed));
  EXPECT_EQ(-1, failed.Open());
  EXPECT_TRUE(capture.Contains(At("[ERROR]CCLDBTables::SetState: SetState [@] Failed")));
  EXPECT_TRUE(capture.Contains(At("CCLDBTables::Open(): set Stat file status (@) Failed")));
  EXPECT_FALSE(failed.IsOpened());
  EXPECT_EQ(-1, failed.RecordCount());  // the engine table is closed
  blocked.reset();
  // While the failed instance lives, another one opens the CLDB as it was left.
  OpenInstance();
  EXPECT_EQ(3, tables->RecordCount());

  blocked = BlockStateRewrites();
  EXPECT_EQ(-1, tables->Close(false));
  EXPECT_TRUE(tables->IsOpened());
  EXPECT_TRUE(capture.Contains(At("CCLDBTables::Close(): Set State (@) Failed")));
  EXPECT_EQ(1u, StoredState(Folder(), 12));
}

TEST_F(Lifecycle, CloseRecordsTheCountAndTheLeastFileOfACloudLaptop) {
  auto storage = std::make_shared<cldb::InMemoryStorageBackend>();
  auto previous = cldb::StorageBackend::Install(storage);
  ZelPlatformInfo::SetOverride("CLDB", "CloudLaptopClient", 1ul);
  MakeClosedCLDB(Blocks());
  cldb::StorageBackend::Install(previous);
  EXPECT_TRUE(capture.Contains("CCLDBTables::Close(): Setting RecordCount (3)"));
  EXPECT_EQ(3u, StoredValue(Folder(), 12, &CCLDBStateFile::GetRecordCount));
  EXPECT_EQ(std::vector<unsigned long long>({12, 77, 5}), storage->Requests().at(0).args);
}

TEST_F(Lifecycle, ProcessKilledBeforeCloseLeavesACLDBThatIsRecreated) {
  const pid_t pid = fork();
  if (pid == 0) {
    CCLDBTables t;
    auto blocks = Blocks();
    if (Init(t) == 0 && t.Open() == 0 && t.InsertSignature(blocks.data(), 3) == 0)
      kill(getpid(), SIGKILL);
    _exit(1);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFSIGNALED(status)) << "the child could not open and insert";
  OpenInstance();
  EXPECT_TRUE(capture.Contains("CCLDBTables::Open():State found opened."));
  EXPECT_EQ(0, tables->RecordCount());
}

// ---- the compaction schedule of Close -----------------------------------------------

TEST_F(Lifecycle, CloseCompactsWhenTheIntervalHasPassedAndTheSizeAllows) {
  const struct {
    long courier, warden;  // CLDBCompactIntervalDays; -1: not set
    uint32_t sinceLast;    // seconds since the last compaction, wrapping
    unsigned int dbSizeMB, extraExpiryDays;
    bool allow, runs;
  } cases[] = {
      {-1, -1, 15 * kDay, 1024, 0, true, true},  // the default interval, to the second
      {-1, -1, 15 * kDay - 1, 1024, 0, true, false},
      {-1, -1, 0u - 1, 1024, 0, true, true},    // a last compaction in the future: 49710 days
      {0, 2, 14 * kDay, 1024, 0, true, false},  // Courier's key comes first; 0 means 15
      {-1, 2, 2 * kDay, 1024, 0, true, true},   // Warden's when Courier has none
      {4, 2, 3 * kDay, 1024, 0, true, false},
      {-1, -1, 20 * kDay, 4096, 0, true, true},
      {-1, -1, 20 * kDay, 4097, 0, true, false},  // too large to compact
      {-1, -1, 0, 1024, 1, true, true},           // a second expiry period: at every allowed close
      {-1, -1, 100 * kDay, 1024, 1, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    ZelPlatformInfo::ClearOverrides();
    const char* key = "CLDBCompactIntervalDays";
    if (c.courier >= 0) ZelPlatformInfo::SetOverride("Courier", key, c.courier);
    if (c.warden >= 0) ZelPlatformInfo::SetOverride("Warden", key, c.warden);
    config.dbSizeMB = c.dbSizeMB;
    config.extraExpiryDays = c.extraExpiryDays;
    OpenInstance();
    Insert({Block(1, 5), Block(2, 6)});
    StoreValue(Folder(), 12u, &CCLDBStateFile::SetLastCompactTime, kT0 - c.sinceLast);
    capture.Clear();
    CloseInstance(c.allow);
    EXPECT_EQ(c.runs, capture.Contains("CCacheTable::MakeCompact: Making compact CLDB ...."));
    EXPECT_EQ(c.runs ? kT0 : kT0 - c.sinceLast,
              StoredValue(Folder(), 12, &CCLDBStateFile::GetLastCompactTime));
    EXPECT_EQ(c.allow && c.dbSizeMB <= 4096,  // else not even checked
              capture.Contains("][days-elapsed- " + std::to_string(c.sinceLast / kDay) + "]"));
  }
}

}  // namespace
}  // namespace cldbtest
