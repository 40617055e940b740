// Open, Create, Close and DeleteCLDB: when an existing CLDB is reused and when
// it is wiped and made again, what each step records in State.xml, and how
// the failures of each step are reported.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "InstanceFixture.h"
#include "platform/InMemoryStorageBackend.h"

namespace cldbtest {
namespace {

namespace fs = std::filesystem;

class Reopen : public InstanceTest {
 protected:
  std::vector<CacheRecordRef> Blocks() const { return {Block(1, 5), Block(2, 6), Block(3, 7)}; }

  // Closes a CLDB holding three blocks, lets `change` alter it behind the
  // instance's back, and opens it again.
  void ReopenAfter(const std::function<void()>& change) {
    MakeClosedCLDB(Blocks());
    change();
    capture.Clear();
    OpenInstance();
  }
  bool Recreated() const {
    return capture.Contains("CCLDBTables::Open(): Creating CacheTable...version - 2 (" + Folder() +
                            ")");
  }
  bool UnclosedReported() const {
    return capture.Contains(
               "CCLDBTables::Open():State found opened. Previous session has been terminated "
               "without closing CacheDB... ") &&
           capture.Contains("CCLDBTables::Open(): creating new CacheDB(" + Folder() + ")");
  }
  void ExpectReused() {
    EXPECT_FALSE(Recreated());
    EXPECT_EQ(3, tables->RecordCount());
    for (const auto& b : Blocks()) EXPECT_TRUE(Found(b));
  }
  void ExpectRecreated(bool unclosed) {
    EXPECT_TRUE(Recreated());
    EXPECT_EQ(unclosed, UnclosedReported());
    EXPECT_TRUE(tables->IsOpened());
    EXPECT_EQ(0, tables->RecordCount());
    EXPECT_EQ(1u, StoredState(Folder(), config.cldbId));
  }
};

TEST_F(Reopen, FreshFolderIsCreatedWithoutTheUnclosedMessage) {
  OpenInstance();
  EXPECT_TRUE(capture.Contains("CCLDBTables::VerifyState: Get State [" + Folder() + "] Failed"));
  ExpectRecreated(false);
  EXPECT_TRUE(
      capture.Contains("CCLDBTables::Open(): CacheTable opened successfully [" + Folder() + "]"));
  EXPECT_TRUE(capture.Contains("CCLDBTables::Open(): RecordCount (0)"));
}

TEST_F(Reopen, CleanlyClosedCLDBIsReusedWithItsRecords) {
  ReopenAfter([] {});
  ExpectReused();
  EXPECT_TRUE(capture.Contains("CCLDBTables::Open(): RecordCount (3)"));
  EXPECT_EQ(1u, StoredState(Folder(), config.cldbId));
}

TEST_F(Reopen, StateLeftOpenedIsRecreated) {
  ReopenAfter(
      [this] { StoreValue<unsigned int>(Folder(), config.cldbId, &CCLDBStateFile::SetState, 1); });
  EXPECT_TRUE(capture.Contains("CCLDBTables::VerifyState: State found opened [" + Folder() +
                               "] Previous session terminated without closing CLDB..."));
  ExpectRecreated(true);
}

TEST_F(Reopen, StateLeftUninitializedOrUnknownIsRecreated) {
  for (unsigned int state : {0u, 7u}) {
    SCOPED_TRACE(state);
    ReopenAfter([this, state] {
      StoreValue<unsigned int>(Folder(), config.cldbId, &CCLDBStateFile::SetState, state);
    });
    EXPECT_TRUE(
        capture.Contains("CCLDBTables::VerifyState: State found uninitialized [" + Folder() +
                         "] Previous session terminated without completeing Initialize-CLDB..."));
    ExpectRecreated(true);
    CloseInstance();
  }
}

TEST_F(Reopen, MissingOrUnreadableStateFileIsRecreatedWithoutTheUnclosedMessage) {
  const std::vector<std::function<void()>> damages = {
      [this] { ASSERT_EQ(0, unlink((Folder() + "/State.xml").c_str())); },
      [this] { WriteFile(Folder() + "/State.xml", std::string(300, 'x')); },
  };
  for (const auto& damage : damages) {
    ReopenAfter(damage);
    EXPECT_TRUE(capture.Contains("CCLDBTables::VerifyState: Get State [" + Folder() + "] Failed"));
    ExpectRecreated(false);
    CloseInstance();
  }
}

TEST_F(Reopen, ForeignStoreIdIsRecreatedForTheNewStore) {
  ReopenAfter([this] { config.storeId = 501; });
  EXPECT_TRUE(capture.Contains("CCLDBTables::VerifyState: Found SIDB id Mismatched [" + Folder() +
                               "][StateFile - 500][Incoming - 501]"));
  ExpectRecreated(false);
  EXPECT_EQ(501u,
            StoredValue<unsigned int>(Folder(), config.cldbId, &CCLDBStateFile::GetSIDBStoreID));
}

TEST_F(Reopen, VersionOneIsRecreatedOnlyAboveTheSizeLimitOfItsSection) {
  struct Case {
    bool aux;
    const char* section;  // nullptr: no MaxCacheDBSizeMB key
    unsigned long sizeMB;
    const char* version;
    bool reused;
  };
  const Case cases[] = {
      {false, nullptr, 0, "1", true},       {false, "Courier", 4096, "1", true},
      {false, "Courier", 4097, "1", false}, {false, "Courier", 4097, "2", true},
      {false, "Courier", 4097, "3", true},  {false, "Warden", 4097, "1", true},
      {true, "Warden", 4097, "1", false},   {true, "Courier", 4097, "1", true},
  };
  unsigned int cldbId = 20;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.aux ? "aux " : "client ") + (c.section ? c.section : "no key") +
                 " " + std::to_string(c.sizeMB) + " version " + c.version);
    config.cldbId = ++cldbId;
    config.aux = c.aux;
    ZelPlatformInfo::ClearOverrides();
    ReopenAfter([&] {
      EditStateElement(Folder(), "Version", c.version);
      if (c.section) ZelPlatformInfo::SetOverride(c.section, "MaxCacheDBSizeMB", c.sizeMB);
    });
    const bool refused = capture.Contains(
        "CCLDBTables::VerifyState: Found MaxCacheDBSizeMB override key. Setting Max-DB-Size to "
        "to 4097 MB which is not compatible with CLDB version is 1.");
    EXPECT_EQ(!c.reused, refused);
    EXPECT_EQ(!c.reused, capture.Contains("CCLDBTables::VerifyState: Clearing existing cache and "
                                          "creating new version - 2"));
    if (c.reused)
      ExpectReused();
    else
      ExpectRecreated(false);
    CloseInstance();
  }
}

TEST_F(Reopen, TableThatDoesNotOpenIsRecreatedOnce) {
  ReopenAfter([this] { WriteFile(Folder() + "/CacheTable.dat", std::string(8192, 'j')); });
  EXPECT_FALSE(Recreated());  // the state was fine; the table was not
  EXPECT_TRUE(
      capture.Contains("CCLDBTables::Open():[ERROR]CacheTable Open (" + Folder() + ") Failed"));
  EXPECT_TRUE(capture.Contains("CCLDBTables::Open():It may be corrupted so Creating new CacheDB (" +
                               Folder() + ")"));
  EXPECT_TRUE(tables->IsOpened());
  EXPECT_EQ(0, tables->RecordCount());
  Insert({Block(9, 9)});
  EXPECT_TRUE(Found(Block(9, 9)));
}

TEST_F(Reopen, FailedRecreationOfAnUnopenableTableIsReturned) {
  MakeClosedCLDB(Blocks());
  fs::remove(Folder() + "/CacheTable.dat");
  fs::remove(Folder() + "/CacheTable.dat-lock");
  ASSERT_TRUE(fs::create_directory(Folder() + "/CacheTable.dat"));
  CCLDBTables t;
  ASSERT_EQ(0, Init(t));
  EXPECT_NE(0, t.Open());
  EXPECT_FALSE(t.IsOpened());
  EXPECT_TRUE(
      capture.Contains("CCLDBTables::Create: CacheTable creation (" + Folder() + ") Failed"));
  EXPECT_TRUE(
      capture.Contains("CCLDBTables::Open(): CacheTable creation2 (" + Folder() + ") Failed"));
}

TEST_F(Reopen, FolderThatCannotBeMadeFailsTheOpen) {
  WriteFile(Folder(), "a file where the folder should be");
  CCLDBTables t;
  ASSERT_EQ(0, Init(t));
  EXPECT_EQ(-1, t.Open());
  EXPECT_FALSE(t.IsOpened());
  EXPECT_TRUE(capture.Contains("CCLDBTables::Create: mkdr(" + Folder() + "), error="));
  EXPECT_TRUE(
      capture.Contains("CCLDBTables::Open(): CacheTable creation1 (" + Folder() + ") Failed"));
}

TEST_F(Reopen, SecondOpenIsRefused) {
  OpenInstance();
  EXPECT_EQ(-1, tables->Open());
  EXPECT_TRUE(
      capture.Contains("CCLDBTables::Open(): CacheTable already opened (" + Folder() + ")"));
  EXPECT_TRUE(tables->IsOpened());
}

// A rewrite of State.xml goes through "State.xml.tmp"; a folder of that name
// makes every rewrite fail while reads still succeed.
void BlockStateRewrites(const std::string& folder) {
  ASSERT_TRUE(fs::create_directory(folder + "/State.xml.tmp"));
}

TEST_F(Reopen, FailureToRecordTheOpenedStateLeavesNothingOpen) {
  MakeClosedCLDB(Blocks());
  BlockStateRewrites(Folder());
  CCLDBTables failed;
  ASSERT_EQ(0, Init(failed));
  EXPECT_EQ(-1, failed.Open());
  EXPECT_TRUE(capture.Contains("[ERROR]CCLDBTables::SetState: SetState [" + Folder() + "] Failed"));
  EXPECT_TRUE(
      capture.Contains("CCLDBTables::Open(): set Stat file status (" + Folder() + ") Failed"));
  EXPECT_FALSE(failed.IsOpened());
  EXPECT_EQ(-1, failed.RecordCount());  // the engine table is closed
  fs::remove(Folder() + "/State.xml.tmp");
  // While the failed instance lives, another one gets the table file and
  // finds the CLDB as it was left: still closed cleanly.
  capture.Clear();
  OpenInstance();
  EXPECT_FALSE(capture.Contains("It may be corrupted"));
  ExpectReused();
}

class CreateAndClose : public InstanceTest {};

TEST_F(CreateAndClose, CreateWipesTheFolderAndLeavesStateUninitialized) {
  MakeClosedCLDB({Block(1, 5)});
  WriteFile(Folder() + "/stray.txt", "stray");
  tables = std::make_unique<CCLDBTables>();
  ASSERT_EQ(0, Init(*tables));
  ASSERT_EQ(0, tables->Create());
  EXPECT_TRUE(tables->IsOpened());
  EXPECT_EQ(0, tables->RecordCount());
  EXPECT_FALSE(fs::exists(Folder() + "/stray.txt"));
  EXPECT_EQ(0u, StoredState(Folder(), config.cldbId));
  EXPECT_EQ(2u, StoredValue<unsigned int>(Folder(), config.cldbId, &CCLDBStateFile::GetVersion));
  CloseInstance();
  EXPECT_EQ(2u, StoredState(Folder(), config.cldbId));
}

TEST_F(CreateAndClose, CreateFailsWhenTheStateFileCannotBeMade) {
  ASSERT_TRUE(fs::create_directories(Folder() + "/State.xml"));
  CCLDBTables t;
  ASSERT_EQ(0, Init(t));
  EXPECT_EQ(-1, t.Create());
  EXPECT_FALSE(t.IsOpened());
  EXPECT_TRUE(capture.Contains("[ERROR]CCLDBTables::CreateStatFile: StateFile crattion [" +
                               Folder() + "] Failed"));
  EXPECT_TRUE(
      capture.Contains("CCLDBTables::Create: Stat file creation (" + Folder() + ") Failed"));
}

TEST_F(CreateAndClose, CloseRecordsTheCountAndTheClosedState) {
  OpenInstance();
  Insert({Block(1, 5), Block(2, 5), Block(3, 8)});
  CloseInstance();
  EXPECT_TRUE(capture.Contains("CCLDBTables::Close(): Setting RecordCount (3)"));
  EXPECT_EQ(2u, StoredState(Folder(), config.cldbId));
  EXPECT_EQ(3u, StoredValue<unsigned long long>(Folder(), config.cldbId,
                                                &CCLDBStateFile::GetRecordCount));
}

TEST_F(CreateAndClose, CloseOfAnInstanceNotOpenWritesNothing) {
  MakeClosedCLDB({Block(1, 5)});
  const std::string before = ReadFile(Folder() + "/State.xml");
  CCLDBTables t;
  ASSERT_EQ(0, Init(t));
  capture.Clear();
  EXPECT_EQ(0, t.Close(true));
  EXPECT_EQ(before, ReadFile(Folder() + "/State.xml"));
  EXPECT_TRUE(capture.Lines().empty());
}

TEST_F(CreateAndClose, CloseThatCannotRecordTheClosedStateKeepsTheInstanceOpen) {
  OpenInstance();
  Insert({Block(1, 5)});
  BlockStateRewrites(Folder());
  EXPECT_EQ(-1, tables->Close(false));
  EXPECT_TRUE(tables->IsOpened());
  EXPECT_TRUE(capture.Contains("CCLDBTables::Close(): Set RecordCount (" + Folder() + ") Failed"));
  EXPECT_TRUE(capture.Contains("CCLDBTables::Close(): Set State (" + Folder() + ") Failed"));
  tables.reset();
  fs::remove(Folder() + "/State.xml.tmp");
  EXPECT_EQ(1u, StoredState(Folder(), config.cldbId));
}

TEST_F(CreateAndClose, CloseDBClosesTheTableButNotTheInstance) {
  OpenInstance();
  EXPECT_EQ(0, tables->CloseDB());
  EXPECT_TRUE(tables->IsOpened());
  EXPECT_EQ(-1, tables->RecordCount());
  EXPECT_EQ(1u, StoredState(Folder(), config.cldbId));
  EXPECT_EQ(0, tables->Close(false));
  EXPECT_EQ(2u, StoredState(Folder(), config.cldbId));
}

TEST_F(CreateAndClose, LeastArchiveFileIdNeedsAnOpenInstance) {
  CCLDBTables t;
  ASSERT_EQ(0, Init(t));
  unsigned int least = 1234;
  EXPECT_EQ(-1, t.GetLeastAFileId(least));
  EXPECT_EQ(1234u, least);
  EXPECT_TRUE(capture.Contains("CCLDBTables::GetLeastAFileId():[ERROR] CacheTable Not yet opened"));

  OpenInstance();
  EXPECT_EQ(0, tables->GetLeastAFileId(least));
  EXPECT_EQ(0u, least);
  Insert({Block(1, 9), Block(2, 4), Block(3, 70000)});
  EXPECT_EQ(0, tables->GetLeastAFileId(least));
  EXPECT_EQ(4u, least);
}

class CloudLaptop : public InstanceTest {
 protected:
  void SetUp() override {
    InstanceTest::SetUp();
    previous_ = StorageBackend::Install(backend_);
    ZelPlatformInfo::SetOverride("CLDB", "CloudLaptopClient", 1ul);
  }
  void TearDown() override {
    InstanceTest::TearDown();
    StorageBackend::Install(previous_);
  }
  std::shared_ptr<InMemoryStorageBackend> backend_ = std::make_shared<InMemoryStorageBackend>();
  std::shared_ptr<StorageBackend> previous_;
};

TEST_F(CloudLaptop, CloseReportsTheLeastArchiveFileId) {
  OpenInstance();
  Insert({Block(1, 40), Block(2, 17)});
  CloseInstance();
  unsigned int least = 0;
  ASSERT_TRUE(backend_->LastArchFileId(config.cldbId, least));
  EXPECT_EQ(17u, least);
  const auto requests = backend_->Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ((std::vector<unsigned long long>{12, 77, 17}), requests[0].args);
}

TEST_F(CloudLaptop, FailedReportDoesNotFailTheClose) {
  backend_->FailCall(InMemoryStorageBackend::kSetCachDBLastArchFileId, 5);
  OpenInstance();
  Insert({Block(1, 40)});
  EXPECT_EQ(0, tables->Close(false));
  EXPECT_TRUE(
      capture.Contains("CCLDBTables::Close(): [ERROR]Setting CachDB-LastArchFileId Failed"));
  EXPECT_EQ(2u, StoredState(Folder(), config.cldbId));
}

class DeleteFiles : public InstanceTest {};

TEST_F(DeleteFiles, RefusedWhileOpen) {
  OpenInstance();
  EXPECT_EQ(-1, tables->DeleteCLDB());
  EXPECT_TRUE(
      capture.Contains("CCLDBTables::DeleteCLDBFiles() File is in open state unable to "
                       "delete(" +
                       Folder() + ")"));
  EXPECT_TRUE(fs::exists(Folder() + "/State.xml"));
  EXPECT_TRUE(fs::exists(Folder() + "/CacheTable.dat"));
}

TEST_F(DeleteFiles, RemovesEveryFileButKeepsTheFolder) {
  MakeClosedCLDB({Block(1, 5)});
  WriteFile(Folder() + "/other.bin", "x");
  CCLDBTables t;
  ASSERT_EQ(0, Init(t));
  EXPECT_EQ(0, t.DeleteCLDB());
  ASSERT_TRUE(fs::is_directory(Folder()));
  EXPECT_TRUE(fs::is_empty(Folder()));
}

TEST_F(DeleteFiles, SubfolderOrMissingFolderFails) {
  CCLDBTables t;
  ASSERT_EQ(0, Init(t));
  EXPECT_EQ(-1, t.DeleteCLDB());
  EXPECT_TRUE(
      capture.Contains("CCLDBTables::DeleteCLDBFiles() Find file failed (" + Folder() + ")"));
  ASSERT_TRUE(fs::create_directories(Folder() + "/sub"));
  EXPECT_EQ(-1, t.DeleteCLDB());
  EXPECT_TRUE(capture.Contains("[ERROR] Remove file [" + Folder() + "/sub] Failed(21)"));
}

// ---- another process -----------------------------------------------------------------

class OtherProcess : public InstanceTest {
 protected:
  // Runs `body` in a forked child that reports its outcome through a pipe
  // and then waits to be killed (`kill`) or exits. True when the child
  // reported success.
  bool RunChild(const std::function<bool()>& body, bool kill) {
    int fds[2];
    EXPECT_EQ(0, pipe(fds));
    const pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      const char outcome = body() ? '1' : '0';
      if (write(fds[1], &outcome, 1) != 1) _exit(2);
      if (kill) pause();
      _exit(0);
    }
    close(fds[1]);
    char outcome = 0;
    const bool reported = read(fds[0], &outcome, 1) == 1;
    close(fds[0]);
    if (kill) ::kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(kill, WIFSIGNALED(status));
    return reported && outcome == '1';
  }
  std::vector<CacheRecordRef> Blocks() const { return {Block(1, 5), Block(2, 6)}; }
};

TEST_F(OtherProcess, KilledBeforeCloseLeavesACLDBThatIsRecreated) {
  ASSERT_TRUE(RunChild(
      [this] {
        CCLDBTables t;
        auto blocks = Blocks();
        return Init(t) == 0 && t.Open() == 0 && t.InsertSignature(blocks.data(), 2) == 0;
      },
      true));
  EXPECT_EQ(1u, StoredState(Folder(), config.cldbId));
  capture.Clear();
  OpenInstance();
  EXPECT_TRUE(capture.Contains("CCLDBTables::Open():State found opened."));
  EXPECT_EQ(0, tables->RecordCount());
  EXPECT_FALSE(Found(Blocks()[0]));
  Insert(Blocks());
  CloseInstance();
  OpenInstance();
  EXPECT_EQ(2, tables->RecordCount());
}

TEST_F(OtherProcess, CLDBClosedByAnotherProcessIsReusedWithAllItsRecords) {
  ASSERT_TRUE(RunChild(
      [this] {
        CCLDBTables t;
        auto blocks = Blocks();
        return Init(t) == 0 && t.Open() == 0 && t.InsertSignature(blocks.data(), 2) == 0 &&
               t.Close(false) == 0;
      },
      false));
  OpenInstance();
  EXPECT_FALSE(capture.Contains("Creating CacheTable"));
  EXPECT_EQ(2, tables->RecordCount());
  for (const auto& b : Blocks()) EXPECT_TRUE(Found(b));
}

}  // namespace
}  // namespace cldbtest
