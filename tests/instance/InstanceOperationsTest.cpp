// Batches, the archive-file lists they consult and the statistics of one job;
// compaction on request and the CSV dump of a CLDB that is not open.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "InstanceFixture.h"
#include "cldb/CLDBStats.h"
#include "platform/CTkCRC64.h"

namespace cldbtest {
namespace {

namespace fs = std::filesystem;

// What `body` returns when run with files limited to `bytes`: a write past
// them fails (without the signal).
template <typename Body>
int WithFileSizeLimit(rlim_t bytes, const Body& body) {
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  const rlimit limit{bytes, saved.rlim_max};
  const sighandler_t previous = signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &limit);
  const int rc = body();
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);
  return rc;
}

class Operations : public InstanceTest {
 protected:
  void SetUp() override {
    InstanceTest::SetUp();
    ASSERT_EQ(0, chdir(work.path().c_str()));  // dumps land in the working directory
  }
  void TearDown() override {
    EXPECT_EQ(0, chdir("/"));
    InstanceTest::TearDown();
  }
  const std::string name = "CLDBDump_" + std::to_string(kT0) + ".csv";
  TempDir work;
};

TEST_F(Operations, QueryBatchAnswersEachElementAndCountsOneJob) {
  OpenInstance();
  Insert({Block(1, 5), Block(3, 6)});
  std::vector<CLDBQuerySignature> q(3);
  for (unsigned i = 0; i < 3; ++i) q[i].record = Block(i + 1, 5 + i / 2);
  EXPECT_EQ(0, tables->QuerySignature(q.data(), 3));
  for (unsigned i = 0; i < 3; ++i) EXPECT_EQ(i == 1 ? 0u : 1u, q[i].found) << i;
  EXPECT_EQ(-1, tables->InsertSignature(&q[1].record, 0));
  EXPECT_TRUE(
      capture.Contains("[ERROR]CCLDBTables::InsertSignature: called with 0 size records "
                       "-[" +
                       Folder() + "]"));
  EXPECT_EQ(2, tables->RecordCount());
  _stCLDBStates want;
  want.crcNotFound = 1;
  for (auto counter : cldb::kCounters) EXPECT_EQ(want.*counter, Stats().*counter);
  CloseInstance();  // a new initialisation starts the counts of the next job
  OpenInstance();
  for (auto counter : cldb::kCounters) EXPECT_EQ(0u, Stats().*counter);
}

TEST_F(Operations, BatchStopsAtTheFailingElementAndKeepsWhatCameBefore) {
  OpenInstance();
  Insert({Block(1, 5), Block(2, 5), Block(4, 6)});
  std::vector<CacheRecordRef> batch = {Block(1, 5), Block(2, 5), Block(3, 5), Block(4, 6)};
  EXPECT_EQ(-1, tables->DeleteCacheRecord(batch.data(), 4));
  EXPECT_TRUE(
      capture.Contains("[ERROR]CCLDBTables::DeleteCacheRecord: Failed - 2 [" + Folder() + "]"));
  EXPECT_EQ(1, tables->RecordCount());
  EXPECT_TRUE(Found(Block(4, 6)));  // after the failing element: not attempted
}

// Batches share their commits (the engine's group): a commit that fails,
// here at close, is reported, and the table it could not finish is never
// trusted: the next open makes the CLDB anew.
TEST_F(Operations, InsertsWhoseCommitFailsAreReportedAndNeverTrusted) {
  LogCapture engine(nullptr);  // the engine's own log
  OpenInstance();
  Insert({Block(1, 5)});
  std::vector<CacheRecordRef> many;
  for (unsigned i = 0; i < 3000; ++i) many.push_back(Block(100 + i, 7));
  // Writes past the current end of the table file fail: the commit needs
  // new pages, so the table cannot be sealed: the close says so and the
  // state stays open.
  WithFileSizeLimit(fs::file_size(Folder() + "/CacheTable.dat"), [&] {
    EXPECT_EQ(0, tables->InsertSignature(many.data(), static_cast<int>(many.size())));
    EXPECT_NE(0, tables->Close(false));
    tables.reset();
    return 0;
  });
  EXPECT_TRUE(engine.Contains("TCtreeTable::close: [ERROR]"));
  OpenInstance();
  EXPECT_EQ(cldb::RecreateReason::kUnclosed, tables->Recreated());
  EXPECT_EQ(0, tables->RecordCount());
  Insert({many[0]});  // the table goes on working once the disk has room
}

TEST_F(Operations, ValidListIsReplacedWholeAndAnEmptyOneVouchesForNothingOld) {
  OpenForEarlierJob();
  InsertAt(kT0 - 100, {Block(1, 5), Block(2, 4294967295u)});
  BeginJob();
  Insert({Block(3, 6)});             // used during this backup: not checked against the list
  EXPECT_FALSE(Found(Block(1, 5)));  // no list for this job yet: nothing vouches
  EXPECT_EQ(0, tables->SetValidAFileList(nullptr, 0));
  EXPECT_FALSE(Found(Block(1, 5)));  // a miss that neither counts nor expires
  EXPECT_TRUE(Found(Block(3, 6)));
  int first[] = {5, 5}, second[] = {-1, 6};  // -1 is archive file 4294967295
  tables->SetValidAFileList(first, 2);
  tables->SetValidAFileList(second, 2);
  EXPECT_TRUE(Found(Block(2, 4294967295u)));
  EXPECT_FALSE(Found(Block(1, 5)));
  EXPECT_EQ(1u, Stats().foundPruned);
}

// ---- compaction on request and the dump, on a CLDB that is not open ----------------

// The dump line of `b`, stored at `when` with the suite's signature type 3.
std::string LineOf(const CacheRecordRef& b, uint32_t when) {
  const unsigned long long crc = CTkCRC64::Compute(b.Signature, 64);
  std::string line;
  for (unsigned long long v :
       {crc ? crc : 1, 0ull + b.size, 0ull + b.tagHdrCount, 0ull + b.ArchivingTime,
        0ull + b.archiveFileId, 3ull, 0ull + when, 0ull + when, 0ull + b.subStoreID})
    line += std::to_string(v) + " , ";
  return line + "0\n";
}

TEST_F(Operations, DumpWritesEveryRecordInArchiveFileOrder) {
  const std::string header =
      "crc64,size,tagHdrCount,archivingTime,archiveFileId,flags,LastUpdateTime,InsertedTime,"
      "subStoreID,reserved2\n";
  const CacheRecordRef nine = Block(1, 9, 4), three = Block(2, 3), seven = Block(3, 7, 2);
  OpenForEarlierJob();
  InsertAt(kT0 - 10, {nine});
  InsertAt(kT0 - 20, {three, Block(4, 0)});  // archive file 0 is never visited
  InsertAt(kT0 - 30, {seven});
  CloseInstance();
  CCLDBTables dumper;
  ASSERT_EQ(0, dumper.DumpCacheTable(&log, Folder().c_str()));
  EXPECT_EQ(header + LineOf(three, kT0 - 20) + LineOf(seven, kT0 - 30) + LineOf(nine, kT0 - 10),
            ReadFile(work / name));
  EXPECT_TRUE(capture.Contains("Dumping cache table records in to [" + name + "]"));
  // An empty CLDB, named with a trailing "/", dumped in the same second:
  // a new file beside the first, which is left alone.
  config.cldbId = 13;
  MakeClosedCLDB({});
  ASSERT_EQ(0, dumper.DumpCacheTable(&log, (Folder() + "/").c_str()));
  const std::string second = "CLDBDump_" + std::to_string(kT0) + "_1.csv";
  EXPECT_EQ(header, ReadFile(work / second));
  const std::string first = ReadFile(work / name);
  EXPECT_EQ(4, std::count(first.begin(), first.end(), '\n'));
  // A dump that cannot be written in full fails.
  fs::remove(work / name);
  fs::remove(work / second);
  config.cldbId = 12;
  EXPECT_EQ(-1, WithFileSizeLimit(header.size() + 10,
                                  [&] { return dumper.DumpCacheTable(&log, Folder().c_str()); }));
  EXPECT_TRUE(capture.Contains("DumpCache: File write failed - " + name));
}

// The dump's name is easy to guess: a link planted there is not followed,
// and the dump goes to a new file only its owner may read.
TEST_F(Operations, DumpNeverFollowsALinkNorReplacesAFile) {
  MakeClosedCLDB({Block(1, 5), Block(2, 6)});
  WriteFile(work / "victim", "keep");
  fs::create_symlink(work / "victim", work / name);
  CCLDBTables dumper;
  ASSERT_EQ(0, dumper.DumpCacheTable(&log, Folder().c_str()));
  EXPECT_EQ("keep", ReadFile(work / "victim"));
  const std::string fresh = work / ("CLDBDump_" + std::to_string(kT0) + "_1.csv");
  const std::string text = ReadFile(fresh);
  EXPECT_EQ(3, std::count(text.begin(), text.end(), '\n'));
  EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write, fs::status(fresh).permissions());
}

// The dump reads the table read-only: killed in the middle it leaves the
// table sealed, so the next open reuses it; and a folder its owner cannot
// write is dumped all the same.
TEST_F(Operations, AKilledDumpLeavesTheCLDBIntactAndAReadOnlyFolderDumps) {
  MakeClosedCLDB({Block(1, 5), Block(2, 6), Block(3, 7)});
  const int killed = RunInChild([&] {
    cldb::hooks::SetLogSink(log, [](int, const std::string& message) {
      if (message.find("Dumping cache table records in to") != std::string::npos)
        kill(getpid(), SIGKILL);
    });
    CCLDBTables dumper;
    dumper.DumpCacheTable(&log, Folder().c_str());
    return 1;
  });
  ASSERT_TRUE(WIFSIGNALED(killed) && WTERMSIG(killed) == SIGKILL) << killed;
  OpenInstance();
  EXPECT_EQ(3, tables->RecordCount());
  CloseInstance();

  fs::remove(work / name);  // what the killed dump had begun
  // The CLDB of the user who dumps it: handed over while open, so that its
  // close seals the files as they are then (a change of owner is a change).
  OpenInstance();
  GiveToNobody(Folder());
  CloseInstance();
  for (const char* written : {"/CacheTable.idx", "/State.xml"}) GiveToNobody(Folder() + written);
  fs::remove(Folder() + "/Owner.lock");  // nor can its claim be made there
  ASSERT_EQ(0, chmod(Folder().c_str(), 0500));
  ASSERT_EQ(0, chmod(root.path().c_str(), 0755));
  ASSERT_EQ(0, chmod(work.path().c_str(), 0777));
  const int dumped = RunInChild([&] {
    if (!BecomeNobody()) return 2;
    CCLDBTables dumper;
    return dumper.DumpCacheTable(&log, Folder().c_str()) == 0 ? 0 : 1;
  });
  EXPECT_TRUE(ExitedWith(dumped, 0)) << dumped;
  const std::string text = ReadFile(work / name);
  EXPECT_EQ(4, std::count(text.begin(), text.end(), '\n'));
  ASSERT_EQ(0, chmod(Folder().c_str(), 0700));
}

TEST_F(Operations, AnOpenInstanceRefusesFolderOpsAndCompactionKeepsTheRecords) {
  CCLDBTables compactor;
  EXPECT_EQ(-1, compactor.CompactCacheTable(&log, (root / "none").c_str()));
  EXPECT_TRUE(capture.Contains("CCLDBTables::CompactCacheTable(): [ERROR] CLDB folder (" +
                               root / "none" + ") refused: No such file or directory"));
  EXPECT_FALSE(fs::exists(root / "none"));
  OpenInstance();
  Insert({Block(1, 5), Block(2, 6), Block(3, 7)});
  EXPECT_EQ(-1, tables->CompactCacheTable(&log, (root / "none").c_str()));
  EXPECT_EQ(-1, tables->DumpCacheTable(&log, (root / "none").c_str()));
  for (const char* op : {"CompactCacheTable", "DumpCacheTable"})
    EXPECT_TRUE(capture.Contains(std::string("CCLDBTables::") + op +
                                 "(): CacheTable already opened (" + Folder() + ")"));
  config.cldbId = 99;
  EXPECT_EQ(-1, Init(*tables));
  EXPECT_TRUE(capture.Contains("CCLDBTables::initialize: CacheTable already opened"));
  config.cldbId = 12;
  EXPECT_EQ(Folder(), tables->Path());
  EXPECT_EQ(-1, tables->DeleteCLDB());
  EXPECT_TRUE(
      capture.Contains("CCLDBTables::DeleteCLDBFiles() File is in open state unable "
                       "to delete(" +
                       Folder() + ")"));
  CloseInstance();
  ASSERT_EQ(0, compactor.CompactCacheTable(&log, Folder().c_str()));
  EXPECT_TRUE(capture.Contains("CCacheTable::MakeCompact: Reindexing completed...."));
  OpenInstance();
  EXPECT_EQ(3, tables->RecordCount());
  int valid[] = {7};
  tables->SetValidAFileList(valid, 1);
  EXPECT_TRUE(Found(Block(3, 7)));
}

}  // namespace
}  // namespace cldbtest
