// Pruning: which archive files a pass lists and expires, the stop handshake
// with the job's thread, and a few seconds of both threads at full speed.
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <tuple>

#include "InstanceFixture.h"
#include "cldb/CLDBTime.h"

namespace cldbtest {
namespace {

// A pass that logs "Added 3 items" is held there until gRelease is set.
// StopPruning's waits are counted; with gReleaseOnSleep the first one lets
// the held pass go and returns once it has ended.
std::atomic<bool> gHeld{false}, gRelease{false}, gReleaseOnSleep{false};
std::atomic<int> gSleeps{0};
CCLDBTables* gTables = nullptr;

bool Eventually(const std::function<bool()>& condition) {
  for (int i = 0; i < 20000 && !condition(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return condition();
}

class Pruning : public InstanceTest {
 protected:
  void SetUp() override {
    InstanceTest::SetUp();
    gHeld = gRelease = gReleaseOnSleep = false;
    gSleeps = 0;
    cldb::hooks::SetGlobalLogSink([](int, const std::string& message) {
      if (message.find("Added 3 items") == std::string::npos) return;
      gHeld = true;
      Eventually([] { return gRelease.load(); });
    });
    TkSetSleepHook([](unsigned int ms) {
      gSleeps += ms == 1000;
      gRelease = gRelease || gReleaseOnSleep;
      if (gReleaseOnSleep) Eventually([] { return !gTables->IsPruning(); });
    });
  }
  std::future<int> StartPass(uint32_t curTime = kT0 + 1000) {  // on a thread of its own
    gTables = tables.get();
    return std::async(std::launch::async,
                      [this, curTime] { return tables->PruneExpiredRecords(curTime); });
  }
  // The word of the status line of `afileId`; "" when it was not listed.
  std::string StatusOf(uint32_t afileId) const {
    const std::string prefix = "CCLDBTables::PruneExpiredRecords: Pruning List status[Afile-id - " +
                               std::to_string(afileId) + "]";
    for (const auto& [level, message] : capture.Lines())
      if (level == 2 && message.rfind(prefix, 0) == 0)
        return message.substr(message.rfind(' ') + 1);
    return "";
  }
};

// Ages count from the pass's current time, or from the job's start when the
// clock was set back behind it: a step back of the clock ages nothing. (A
// pass whose list holds three files is held by the fixture: four here.)
TEST_F(Pruning, ListsArchiveFilesByTheirFirstRecordAndDecidesAtTheBoundaries) {
  const uint32_t start = kT0, now = kT0 + 1000, d30 = 30 * kDay;  // start: the backup's

  using Files = std::vector<std::tuple<uint32_t, uint32_t, std::string>>;  // id, last use, status
  struct {
    struct {
      const char* what;
      unsigned int nAge, extraExpiryDays;
      bool aux;
      uint32_t curTime;
    } run;
    std::vector<int> valid;  // {-2}: no list loaded for the job
    Files files;
  } cases[] = {
      {{"expiry window", 0, 0, false, now},
       {10, 11, 12},
       {{10, now - d30, "Expired"},
        {11, now - d30 + 1, "Fine"},
        {12, start - 1, "Fine"},
        {13, now - d30 - 1, "Pruned"}}},
      {{"clock set back behind the start", 0, 0, false, start - 1000},
       {10, 11, 12},
       {{10, start - 5, "Fine"},
        {11, start - d30 + 1, "Fine"},
        {12, start - d30, "Expired"},
        {13, start - 5, "Pruned"}}},
      {{"age limit", 3600, 0, false, now},
       {10, 11},
       {{10, now - 3600, "Expired"}, {11, now - 3599, "Fine"}}},
      {{"second expiry period", 0, 2, false, now},
       {10, 11},
       {{10, now - 2 * kDay, "Expired"}, {11, now - 2 * kDay + 1, "Fine"}}},
      {{"auxiliary copy, empty list", 0, 0, true, now},
       {},
       {{10, now - d30, "Expired"}, {11, now - kDay, "Fine"}}},
      {{"client, no list for the job", 0, 0, false, now},
       {-2},
       {{10, now - d30, "Expired"}, {11, now - kDay, "Fine"}}},
      {{"client, empty list", 0, 0, false, now},  // only the first record of a file lists it
       {},
       {{5, start, ""},
        {6, start - 1, "Pruned"},
        {8, start - 1000, "Pruned"},
        {8, start, "Pruned"}}},
      {{"last possible archive file", 0, 0, false, now},
       {},
       {{5, start - 1000, "Pruned"}, {4294967295u, start - 1000, "Pruned"}}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.run.what);
    config.cldbId = 20 + (&c - cases);
    config.nAge = c.run.nAge;
    config.extraExpiryDays = c.run.extraExpiryDays;
    config.aux = c.run.aux;
    OpenForEarlierJob();
    for (bool thisJob : {false, true}) {  // the earlier job's blocks, then this job's
      if (thisJob) BeginJob();
      unsigned seed = 100;  // one block per entry, whichever job stores it
      for (const auto& [id, lastUse, status] : c.files) {
        ++seed;
        if (cldb::Before(lastUse, start) != thisJob) InsertAt(lastUse, {Block(seed, id)});
      }
    }
    if (c.valid != std::vector<int>{-2})
      tables->SetValidAFileList(c.valid.data(), static_cast<int>(c.valid.size()));
    capture.Clear();
    auto pass = StartPass(c.run.curTime);
    if (pass.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      tables->StopPruning();  // a scan that started again at 0 would never end
      ADD_FAILURE() << "the pass did not end";
    }
    EXPECT_EQ(0, pass.get());
    long long kept = 0;
    for (const auto& [id, lastUse, status] : c.files) {
      EXPECT_EQ(status, StatusOf(id)) << id;
      kept += status != "Pruned" && status != "Expired";
    }
    EXPECT_EQ(kept, tables->RecordCount());
    EXPECT_TRUE(capture.Contains("CCLDBTables::PruneExpiredRecords: Completed pruning"));
  }
}

TEST_F(Pruning, EmptyOrClosedTableListsNothingAndCleansNothing) {
  OpenInstance();
  EXPECT_EQ(0, tables->PruneExpiredRecords(kT0 + 5));
  EXPECT_TRUE(
      capture.Contains("CCLDBTables::PruneExpiredRecords: Get pruning request[SigExpire"
                       "Time -2592000][CurTime - 1700000005] -[" +
                       Folder() + "]"));
  InsertAt(kT0 - 10, {Block(1, 5)});
  ASSERT_EQ(0, tables->CloseDB());  // the first search fails: the end of the list, not an error
  EXPECT_EQ(0, tables->PruneExpiredRecords(kT0));
  EXPECT_EQ(2u, capture.Count("PruneExpiredRecords: Added 0 items in to Pruning List"));
  EXPECT_FALSE(capture.Contains("Completed pruning"));
  EXPECT_EQ(0, tables->StopPruning());  // no pass running: nothing to do
  EXPECT_FALSE(tables->IsStopRequested());
}

TEST_F(Pruning, BatchFromAnotherThreadStopsThePassAndTheStopIsKept) {
  OpenForEarlierJob();
  InsertAt(kT0 - 10, {Block(1, 5), Block(2, 6), Block(3, 7)});
  BeginJob();
  int valid[] = {6, 7};  // a full pass would prune file 5
  tables->SetValidAFileList(valid, 2);
  gReleaseOnSleep = true;
  auto pass = StartPass();
  ASSERT_TRUE(Eventually([] { return gHeld.load(); }));
  auto second = StartPass();  // returns at once, the first undisturbed
  EXPECT_EQ(std::future_status::ready, second.wait_for(std::chrono::seconds(20)));
  EXPECT_TRUE(
      capture.Contains("CCLDBTables::PruneExpiredRecords: Get pruning request while alredy "
                       "being processed. returning without process-[" +
                       Folder() + "]"));

  EXPECT_TRUE(Found(Block(3, 7)));  // the batch stops the pass, then runs
  EXPECT_EQ(0, pass.get());
  EXPECT_EQ(0, second.get());
  EXPECT_EQ(1, gSleeps.load());
  EXPECT_TRUE(capture.Contains("CCLDBTables::StopPruning: Sending Stop-Pruning request [" +
                               Folder() + "]"));
  // The pass stopped after marking its first file, before any clean-up.
  EXPECT_TRUE(
      capture.Contains("CCLDBTables::PruneExpiredRecords: Quit pruning request "
                       "received. Aborting  pruning process"));
  EXPECT_EQ("Pruned", StatusOf(5));
  EXPECT_EQ("", StatusOf(6));
  EXPECT_FALSE(Found(Block(1, 5)));
  EXPECT_TRUE(Found(Block(2, 6)));
  // The request is kept: every later pass stops at once.
  EXPECT_TRUE(tables->IsStopRequested());
  EXPECT_EQ(0, tables->PruneExpiredRecords(kT0));
  EXPECT_TRUE(
      capture.Contains("CCLDBTables::PruneExpiredRecords: Received Stop pruning request "
                       "-[" +
                       Folder() + "]"));
}

TEST_F(Pruning, StopGivesUpAfterElevenWaitsAndTheBatchFails) {
  OpenForEarlierJob();
  InsertAt(kT0 - 10, {Block(1, 5), Block(2, 6), Block(3, 7)});
  BeginJob();
  auto pass = StartPass();
  ASSERT_TRUE(Eventually([] { return gHeld.load(); }));
  EXPECT_EQ(-1, tables->StopPruning());
  EXPECT_EQ(11, gSleeps.load());
  EXPECT_TRUE(capture.Contains("CCLDBTables::StopPruning: [ERROR]Stop-Pruning request Failed[" +
                               Folder() + "]"));
  EXPECT_TRUE(tables->IsStopRequested());
  CLDBQuerySignature q{Block(1, 5), 7};
  EXPECT_EQ(-1, tables->QuerySignature(&q, 1));
  EXPECT_EQ(7u, q.found);
  EXPECT_TRUE(capture.Contains("[ERROR]CCLDBTables::QuerySignature: cStop Pruning Failed -[" +
                               Folder() + "]"));
  EXPECT_EQ(22, gSleeps.load());
  gRelease = true;
  EXPECT_EQ(0, pass.get());  // the kept request stops it at its next test
  EXPECT_EQ(3, tables->RecordCount());
}

// ---- one instance shared by the job's thread and a pruning thread ----------------

using InstanceStress = InstanceTest;

TEST_F(InstanceStress, StressBatchesBesidePruningAndStatistics) {
  // StopPruning's waits, shortened from 1000 ms.
  TkSetSleepHook([](unsigned int) { std::this_thread::sleep_for(std::chrono::milliseconds(5)); });
  OpenForEarlierJob();
  std::vector<CacheRecordRef> old;  // 20 files nobody vouches for: a full pass prunes them
  for (unsigned i = 0; i < 200; ++i) old.push_back(Block(1000 + i, 1 + i / 10));
  InsertAt(config.backupStart - 1000, old);
  BeginJob();
  tables->SetValidAFileList(nullptr, 0);
  TestNow() = config.backupStart + 100;

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  std::atomic<bool> jobDone{false};
  std::atomic<int> failures{0};  // of batches and passes, on both threads
  int batches = 0, wrongAnswers = 0, passes = 0, statsGoingBack = 0;
  std::vector<CacheRecordRef> inserted;
  std::thread job([&] {
    // Twenty blocks just inserted (used after the backup started, so never
    // listed for pruning), and twenty never stored.
    for (unsigned seed = 1000000; std::chrono::steady_clock::now() < deadline; ++batches) {
      std::vector<CLDBQuerySignature> q(40);
      for (int i = 0; i < 40; ++i, ++seed)
        q[i].record = Block(seed, i < 20 ? 100 + seed % 100 : 150);
      for (int i = 0; i < 20; ++i) inserted.push_back(q[i].record);
      failures += tables->InsertSignature(&inserted[inserted.size() - 20], 20) != 0;
      failures += tables->QuerySignature(q.data(), 40) != 0;
      for (int i = 0; i < 40; ++i) wrongAnswers += q[i].found != (i < 20 ? 1u : 0u);
    }
    jobDone = true;
  });
  std::thread pruner([&] {
    for (_stCLDBStates last, now; !jobDone; ++passes, last = now) {
      failures += tables->PruneExpiredRecords(config.backupStart + 100) != 0;
      tables->GetStats(now);  // without the lock, while the job queries
      statsGoingBack += now.crcNotFound < last.crcNotFound;
      // Passes back to back would always be running when a batch looks.
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  job.join();
  pruner.join();
  EXPECT_TRUE(batches > 0 && passes > 0);
  EXPECT_EQ(0, wrongAnswers);
  EXPECT_EQ(0, failures.load());
  EXPECT_EQ(0, statsGoingBack);
  EXPECT_EQ(static_cast<uint32_t>(batches * 20), Stats().crcNotFound);
  CloseInstance();  // everything the job stored survives a clean close
  OpenInstance();
  std::vector<int> valid;
  for (int id = 100; id < 200; ++id) valid.push_back(id);
  tables->SetValidAFileList(valid.data(), static_cast<int>(valid.size()));
  EXPECT_LE(static_cast<long long>(inserted.size()), tables->RecordCount());
  for (size_t i = 0; i < inserted.size(); i += 97) EXPECT_TRUE(Found(inserted[i]));
}

}  // namespace
}  // namespace cldbtest
