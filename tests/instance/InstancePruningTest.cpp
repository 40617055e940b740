// Pruning: which archive files a pass lists and expires, and the stop
// handshake with the job's thread.
#include <chrono>
#include <thread>

#include "InstanceFixture.h"
#include "platform/TkSleep.h"

namespace cldbtest {
namespace {

// Runs one pass on a thread of its own.
class PassThread {
 public:
  PassThread(CCLDBTables& tables, uint32_t now)
      : thread_([this, &tables, now] {
          result_ = tables.PruneExpiredRecords(now);
          ended_ = true;
        }) {}
  ~PassThread() {
    if (thread_.joinable()) thread_.join();
  }
  // Whether the pass ends within a generous bound; false means it is stuck.
  bool EndsSoon() const {
    for (int i = 0; i < 10000 && !ended_; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return ended_;
  }
  int Join() {
    thread_.join();
    return result_;
  }

 private:
  int result_ = 99;
  std::atomic<bool> ended_{false};
  std::thread thread_;
};

class Pruning : public InstanceTest {
 protected:
  static constexpr uint32_t kBackupStart = 1700000000;

  void TearDown() override {
    TkSetSleepHook(nullptr);
    InstanceTest::TearDown();
  }

  // The word of the status line of `afileId`, "" when it was not listed.
  std::string StatusOf(uint32_t afileId) const {
    const std::string prefix = "CCLDBTables::PruneExpiredRecords: Pruning List status[Afile-id - " +
                               std::to_string(afileId) + "]";
    for (const auto& [level, message] : capture.Lines()) {
      if (message.rfind(prefix, 0) != 0) continue;
      EXPECT_EQ(2, level);
      return message.substr(message.rfind(' ') + 1);
    }
    return "";
  }
  bool Listed(uint32_t afileId) const { return !StatusOf(afileId).empty(); }
  size_t ListedCount() const { return capture.Count("Pruning List status[Afile-id"); }
};

TEST_F(Pruning, EmptyTableListsNothingAndCleansNothing) {
  OpenInstance();
  EXPECT_EQ(0, tables->PruneExpiredRecords(kT0 + 5));
  EXPECT_TRUE(
      capture.Contains("CCLDBTables::PruneExpiredRecords: Get pruning request[SigExpireTime "
                       "-2592000][CurTime - 1700000005] -[" +
                       Folder() + "]"));
  EXPECT_TRUE(
      capture.Contains("CCLDBTables::PruneExpiredRecords: Added 0 items in to Pruning List"));
  EXPECT_FALSE(capture.Contains("Completed pruning"));
  EXPECT_FALSE(tables->IsPruning());
}

TEST_F(Pruning, OnlyTheFirstRecordOfAFileLastUsedBeforeTheBackupListsIt) {
  OpenInstance();
  InsertAt(kBackupStart, {Block(1, 5)});
  InsertAt(kBackupStart - 1, {Block(2, 6)});
  InsertAt(kBackupStart, {Block(3, 7)});         // first of file 7: new
  InsertAt(kBackupStart - 1000, {Block(4, 7)});  // an old one after it does not count
  InsertAt(kBackupStart - 1000, {Block(5, 8)});  // first of file 8: old
  InsertAt(kBackupStart, {Block(6, 8)});
  EXPECT_EQ(0, tables->PruneExpiredRecords(kT0));
  EXPECT_TRUE(capture.Contains("Added 2 items in to Pruning List"));
  EXPECT_FALSE(Listed(5));
  EXPECT_FALSE(Listed(7));
  // No valid list: on a client every listed file is pruned, all its records.
  EXPECT_EQ("Pruned", StatusOf(6));
  EXPECT_EQ("Pruned", StatusOf(8));
  EXPECT_TRUE(capture.Contains("CCLDBTables::PruneExpiredRecords: Completed pruning"));
  EXPECT_EQ(3, tables->RecordCount());
  EXPECT_TRUE(Found(Block(1, 5)));
  EXPECT_TRUE(Found(Block(4, 7)));
  EXPECT_FALSE(Found(Block(6, 8)));
}

TEST_F(Pruning, ExpiryWindowAndAgeLimitAtTheirBoundaries) {
  config.nAge = 3600;
  OpenInstance();
  const uint32_t now = kBackupStart;
  InsertAt(now - 30 * kDay, {Block(1, 10)});
  InsertAt(now - 3600, {Block(2, 11)});
  InsertAt(now - 3599, {Block(3, 12)});
  int valid[] = {10, 11, 12};
  tables->SetValidAFileList(valid, 3);
  EXPECT_EQ(0, tables->PruneExpiredRecords(now));
  EXPECT_EQ("Expired", StatusOf(10));
  EXPECT_EQ("Expired", StatusOf(11));
  EXPECT_EQ("Fine", StatusOf(12));
  EXPECT_EQ(1, tables->RecordCount());
}

TEST_F(Pruning, ExpiryWindowIsInclusiveAndAFutureLastUseWraps) {
  OpenInstance();
  const uint32_t now = kBackupStart - 1000;
  InsertAt(now - 30 * kDay, {Block(1, 10)});
  InsertAt(now - 30 * kDay + 1, {Block(2, 11)});
  InsertAt(kBackupStart - 10, {Block(3, 12)});  // later than `now`
  InsertAt(now - 40 * kDay, {Block(4, 13)});    // old and not valid
  int valid[] = {10, 11, 12};
  tables->SetValidAFileList(valid, 3);
  EXPECT_EQ(0, tables->PruneExpiredRecords(now));
  EXPECT_EQ("Expired", StatusOf(10));
  EXPECT_EQ("Fine", StatusOf(11));
  EXPECT_EQ("Expired", StatusOf(12));
  EXPECT_EQ("Pruned", StatusOf(13));
  EXPECT_TRUE(capture.Contains(
      2, "[Afile-id - 11][LastUpdateTime - " + std::to_string(now - 30 * kDay + 1) + "] Fine"));
  EXPECT_EQ(1, tables->RecordCount());
}

TEST_F(Pruning, SecondExpiryPeriodAtItsBoundary) {
  config.extraExpiryDays = 2;
  OpenInstance();
  InsertAt(kBackupStart - 2 * kDay, {Block(1, 10)});
  InsertAt(kBackupStart - 2 * kDay + 1, {Block(2, 11)});
  int valid[] = {10, 11};
  tables->SetValidAFileList(valid, 2);
  EXPECT_EQ(0, tables->PruneExpiredRecords(kBackupStart));
  EXPECT_EQ("Expired", StatusOf(10));
  EXPECT_EQ("Fine", StatusOf(11));
}

TEST_F(Pruning, AuxiliaryCopyWithAnEmptyValidListOnlyAppliesTheWindows) {
  config.aux = true;
  OpenInstance();
  InsertAt(kBackupStart - 30 * kDay, {Block(1, 10)});
  InsertAt(kBackupStart - kDay, {Block(2, 11)});
  EXPECT_EQ(0, tables->PruneExpiredRecords(kBackupStart));
  EXPECT_EQ("Expired", StatusOf(10));
  EXPECT_EQ("Fine", StatusOf(11));
  EXPECT_EQ(1, tables->RecordCount());
}

TEST_F(Pruning, LastPossibleArchiveFileEndsTheScan) {
  OpenInstance();
  InsertAt(kBackupStart - 10, {Block(1, 5), Block(2, 4294967295u)});
  PassThread pass(*tables, kBackupStart);
  // A scan that went on from id 0 would never end by itself; a stop ends it.
  if (!pass.EndsSoon()) {
    tables->StopPruning();
    ADD_FAILURE() << "the scan did not end after archive file 4294967295";
  }
  EXPECT_EQ(0, pass.Join());
  EXPECT_TRUE(capture.Contains("Added 2 items in to Pruning List"));
  EXPECT_EQ(2u, ListedCount());
  EXPECT_EQ("Pruned", StatusOf(4294967295u));
  EXPECT_EQ(0, tables->RecordCount());
}

TEST_F(Pruning, PassOverAClosedTableFindsNothingToDo) {
  OpenInstance();
  InsertAt(kBackupStart - 10, {Block(1, 5)});
  ASSERT_EQ(0, tables->CloseDB());
  // The search fails at once; that ends the list and is not an error of the pass.
  EXPECT_EQ(0, tables->PruneExpiredRecords(kBackupStart));
  EXPECT_TRUE(capture.Contains("Added 0 items in to Pruning List"));
  EXPECT_FALSE(capture.Contains("commit failed"));
}

// ---- the stop handshake --------------------------------------------------------------

// What the sleep hooks of these tests see.
std::atomic<int> gSleeps{0};
std::atomic<unsigned long> gSleptMs{0};
LogGate* gGate = nullptr;
CCLDBTables* gTables = nullptr;

void CountingSleep(unsigned int ms) {
  ++gSleeps;
  gSleptMs += ms;
}

// The first wait lets the held pass go and returns once it has ended.
void ReleasingSleep(unsigned int ms) {
  CountingSleep(ms);
  gGate->Release();
  for (int i = 0; i < 10000 && gTables->IsPruning(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

class StopHandshake : public Pruning {
 protected:
  void SetUp() override {
    Pruning::SetUp();
    gSleeps = 0;
    gSleptMs = 0;
    OpenInstance();
    gTables = tables.get();
    // Three old files, none vouched for: a full pass prunes them all.
    InsertAt(kBackupStart - 10, {Block(1, 5), Block(2, 6), Block(3, 7)});
  }
};

TEST_F(StopHandshake, StopWithNoPassRunningDoesNothing) {
  EXPECT_EQ(0, tables->StopPruning());
  EXPECT_FALSE(tables->IsStopRequested());
  EXPECT_FALSE(capture.Contains("Sending Stop-Pruning request"));
  EXPECT_EQ(0, gSleeps.load());
}

TEST_F(StopHandshake, SecondPassWhileOneRunsReturnsAtOnce) {
  LogGate gate("Added 3 items");
  PassThread pass(*tables, kBackupStart);
  ASSERT_TRUE(gate.WaitHeld());
  EXPECT_TRUE(tables->IsPruning());
  PassThread second(*tables, kBackupStart);
  const bool returnedAtOnce = second.EndsSoon();  // else it waits for the lock
  gate.Release();
  EXPECT_TRUE(returnedAtOnce);
  EXPECT_EQ(0, second.Join());
  EXPECT_TRUE(capture.Contains(
      "CCLDBTables::PruneExpiredRecords: Get pruning request while alredy being processed. "
      "returning without process-[" +
      Folder() + "]"));
  EXPECT_EQ(0, pass.Join());
  EXPECT_FALSE(tables->IsPruning());
  EXPECT_FALSE(tables->IsStopRequested());
  EXPECT_EQ(0, tables->RecordCount());  // the running pass was not disturbed
}

TEST_F(StopHandshake, BatchFromAnotherThreadStopsThePassAndRuns) {
  LogGate gate("Added 3 items");
  gGate = &gate;
  TkSetSleepHook(&ReleasingSleep);
  PassThread pass(*tables, kBackupStart);
  ASSERT_TRUE(gate.WaitHeld());

  std::vector<CLDBQuerySignature> q(2);
  q[0].record = Block(3, 7);
  q[1].record = Block(9, 7);
  EXPECT_EQ(0, tables->QuerySignature(q.data(), 2));
  EXPECT_EQ(1u, q[0].found);
  EXPECT_EQ(0u, q[1].found);
  EXPECT_EQ(0, pass.Join());
  EXPECT_TRUE(capture.Contains("CCLDBTables::StopPruning: Sending Stop-Pruning request [" +
                               Folder() + "]"));
  EXPECT_EQ(1, gSleeps.load());
  // The pass stopped after the first file: it was marked, not cleaned out,
  // and the others were left alone.
  EXPECT_TRUE(capture.Contains(
      "CCLDBTables::PruneExpiredRecords: Quit pruning request received. Aborting  pruning "
      "process"));
  EXPECT_FALSE(capture.Contains("Completed pruning"));
  EXPECT_EQ(1u, ListedCount());
  EXPECT_FALSE(Found(Block(1, 5)));
  EXPECT_TRUE(Found(Block(2, 6)));

  // The request is kept: every later pass stops at once.
  EXPECT_TRUE(tables->IsStopRequested());
  capture.Clear();
  EXPECT_EQ(0, tables->PruneExpiredRecords(kBackupStart));
  EXPECT_TRUE(capture.Contains(
      "CCLDBTables::PruneExpiredRecords: Received Stop pruning request -[" + Folder() + "]"));
  EXPECT_TRUE(capture.Contains("Quit pruning request received"));
  EXPECT_EQ(0u, ListedCount());
  EXPECT_TRUE(Found(Block(2, 6)));
}

TEST_F(StopHandshake, StopGivesUpAfterElevenWaitsAndTheBatchFails) {
  LogGate gate("Added 3 items");
  TkSetSleepHook(&CountingSleep);
  PassThread pass(*tables, kBackupStart);
  ASSERT_TRUE(gate.WaitHeld());

  EXPECT_EQ(-1, tables->StopPruning());
  EXPECT_EQ(11, gSleeps.load());
  EXPECT_EQ(11000ul, gSleptMs.load());
  EXPECT_TRUE(capture.Contains("CCLDBTables::StopPruning: [ERROR]Stop-Pruning request Failed[" +
                               Folder() + "]"));
  EXPECT_TRUE(tables->IsStopRequested());

  CLDBQuerySignature q;
  q.record = Block(1, 5);
  q.found = 7;
  EXPECT_EQ(-1, tables->QuerySignature(&q, 1));
  EXPECT_EQ(7u, q.found);
  EXPECT_TRUE(capture.Contains("[ERROR]CCLDBTables::QuerySignature: cStop Pruning Failed -[" +
                               Folder() + "]"));
  CacheRecordRef r = Block(8, 8);
  EXPECT_EQ(-1, tables->InsertSignature(&r, 1));
  EXPECT_EQ(33, gSleeps.load());

  gate.Release();
  EXPECT_EQ(0, pass.Join());  // the kept request stops it at its next test
  EXPECT_FALSE(tables->IsPruning());
  EXPECT_FALSE(capture.Contains("Completed pruning"));
  EXPECT_EQ(3, tables->RecordCount());
}

}  // namespace
}  // namespace cldbtest
