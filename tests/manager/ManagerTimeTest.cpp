// The CLDB's time against the clock: a clock set back, one that ran far
// ahead and came back, a manager kept open for a newer job, and the wrap of
// the 32-bit clock. Whatever the clock does, a hit is answered only for a
// record the job's list vouches for or that the job itself touched.
#include "ManagerFixture.h"

namespace cldbtest {
namespace {

class ManagerClock : public ManagerTest {
 protected:
  // Opens the CLDB for job `jobId`, starting now, the storage side
  // vouching for `valid`.
  void BeginJob(unsigned long long jobId, std::vector<int> valid) {
    storage->SetValidAFiles(12, std::move(valid));
    args.jobId = jobId;
    args.backupStartTime = TestNow();
    InitializeOk();
  }
  void EndJob() {
    ASSERT_EQ(0, manager->Uninitialize(false));
    storage->SetClientDirty(12, 0);
  }
  void Insert(std::vector<CacheRecordRef> blocks) {
    ASSERT_EQ(0, manager->InsertSignature(blocks.data(), static_cast<int>(blocks.size())));
  }
  // A pruning pass now, under a list that holds archive file 6 but not 5:
  // file 5 is pruned, so Block(1, 5) misses, and Block(2, 6) hits.
  void PruneKeepingOnlyFileSix() {
    capture.Clear();
    ASSERT_EQ(0, manager->PruneExpiredRecords(TestNow()));
    EXPECT_EQ("Pruned", PruneStatus(5));
    EXPECT_EQ("Fine", PruneStatus(6));
    EXPECT_FALSE(Found(Block(1, 5)));
    EXPECT_TRUE(Found(Block(2, 6)));
  }
  // The pruning verdict logged for `afileId` ("" when it was not listed).
  std::string PruneStatus(uint32_t afileId) const {
    const std::string prefix = "CCLDBTables::PruneExpiredRecords: Pruning List status[Afile-id - " +
                               std::to_string(afileId) + "]";
    for (const auto& [level, message] : capture.Lines())
      if (message.rfind(prefix, 0) == 0) return message.substr(message.rfind(' ') + 1);
    return "";
  }
};

// The storage side dropped the first job's archive file 5; the next job
// runs with the clock set back, from not at all (the same second) to a day.
TEST_F(ManagerClock, AClockSetBackAnswersNoHitForWhatTheListNoLongerHolds) {
  for (uint32_t step : {0u, 1u, 3u, 299u, 301u, 600u, 86400u}) {
    SCOPED_TRACE(step);
    std::filesystem::remove_all(Folder());
    storage->SetClientDirty(12, 1);
    TestNow() = kT0;
    BeginJob(100, {});
    const std::vector<CacheRecordRef> dropped = {Block(1, 5), Block(2, 5)}, kept = {Block(3, 6)};
    Insert(dropped);
    Insert(kept);
    EndJob();

    TestNow() = kT0 - step;
    BeginJob(101, {6});
    for (const CacheRecordRef& b : dropped) EXPECT_FALSE(Found(b));
    EXPECT_EQ(2u, FoundPruned());
    EXPECT_TRUE(Found(kept[0]));  // nothing the list still holds is lost
    const CacheRecordRef fresh = Block(4, 7);
    Insert({fresh});
    EXPECT_TRUE(Found(fresh));  // and the job's own blocks hit
    EndJob();
  }
}

// Ten days ahead and back again, the manager closed in between or kept
// open for the next job: what the jump stamped is neither taken for the next
// job's own nor thrown away as if it were from the future.
TEST_F(ManagerClock, AClockThatRanFarAheadAndCameBackLosesNothingAndHitsNothingWrongly) {
  const uint32_t ahead = kT0 + 10 * 86400;
  const CacheRecordRef a = Block(1, 5), b = Block(2, 6), c = Block(3, 7);
  for (bool keepOpen : {false, true}) {
    SCOPED_TRACE(keepOpen ? "kept open" : "closed in between");
    std::filesystem::remove_all(Folder());
    storage->SetClientDirty(12, 1);
    TestNow() = kT0;
    BeginJob(100, {});
    Insert({a});
    EndJob();
    TestNow() = ahead;
    BeginJob(101, {5});
    EXPECT_TRUE(Found(a));
    Insert({b});

    TestNow() = kT0 + 100;
    capture.Clear();
    if (keepOpen) {
      storage->SetValidAFiles(12, {5, 6});
      bool offline = false;
      ASSERT_EQ(0, manager->ConfigureValidAfileList(102, offline));
    } else {
      EndJob();
      BeginJob(102, {5, 6});
    }
    EXPECT_TRUE(capture.Contains("lies ahead of the clock [1700000100]; lowering later stamps"));
    EXPECT_TRUE(Found(a));
    EXPECT_TRUE(Found(b));
    Insert({c});
    EXPECT_TRUE(Found(c));
    EndJob();

    TestNow() = kT0 + 200;
    BeginJob(103, {6, 7});  // archive file 5 is gone now
    EXPECT_FALSE(Found(a));
    EXPECT_TRUE(Found(b));
    EXPECT_TRUE(Found(c));
    EXPECT_EQ(1u, FoundPruned());
    _stCLDBStates stats;
    manager->GetStats(stats);
    EXPECT_EQ(0u, stats.expired);
    EndJob();
  }
}

// One manager kept open while a newer job takes over: what the first job
// touched is checked against the newer job's list, in queries and in
// pruning, and nothing of it hits while that list cannot be had.
TEST_F(ManagerClock, ANewerJobOnAnOpenManagerChecksWhatTheEarlierJobTouched) {
  MakeCleanCLDB({{kT0 - 100, Block(1, 5)}, {kT0 - 100, Block(2, 6)}});
  storage->SetValidAFiles(12, {5, 6});
  InitializeOk();  // job 77
  EXPECT_TRUE(Found(Block(1, 5)));
  Insert({Block(3, 7)});

  storage->SetValidAFiles(12, {6});  // job 78: files 5 and 7 are gone
  bool offline = false;
  ASSERT_EQ(0, manager->ConfigureValidAfileList(78, offline));
  EXPECT_FALSE(Found(Block(3, 7)));
  EXPECT_EQ(1u, FoundPruned());
  PruneKeepingOnlyFileSix();

  storage->FailCall(Storage::kListAfileIdByAppId, 5);
  EXPECT_EQ(-1, manager->ConfigureValidAfileList(79, offline));
  EXPECT_FALSE(Found(Block(2, 6)));  // job 78 touched it; job 79 has no list yet
  const unsigned int pruned = FoundPruned();
  storage->FailCall(Storage::kListAfileIdByAppId, 0);
  ASSERT_EQ(0, manager->ConfigureValidAfileList(79, offline));  // the same job, loaded now
  EXPECT_TRUE(Found(Block(2, 6)));
  EXPECT_EQ(pruned, FoundPruned());
  EXPECT_EQ(79u, manager->Args().jobId);
}

// Stamps from just before February 2106 are older than a job just after it.
TEST_F(ManagerClock, RecordsStampedBeforeTheClockWrapsAreCheckedAfterIt) {
  TestNow() = 0xFFFFFF00u;
  BeginJob(100, {});
  Insert({Block(1, 5), Block(2, 6)});
  EndJob();
  TestNow() = 0x100u;
  BeginJob(101, {6});
  PruneKeepingOnlyFileSix();
}

}  // namespace
}  // namespace cldbtest
