// Batches of queries, insertions, deletions and refreshes; the archive-file
// lists and substores they consult; the statistics of one job.
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <map>

#include "InstanceFixture.h"
#include "cldb/CLDBStats.h"

namespace cldbtest {
namespace {

namespace fs = std::filesystem;

class Batch : public InstanceTest {
 protected:
  void SetUp() override {
    InstanceTest::SetUp();
    OpenInstance();
  }
  _stCLDBStates Stats() {
    _stCLDBStates s;
    tables->GetStats(s);
    return s;
  }
  std::vector<CLDBQuerySignature> Queries(const std::vector<CacheRecordRef>& blocks) {
    std::vector<CLDBQuerySignature> out(blocks.size());
    for (size_t i = 0; i < blocks.size(); ++i) {
      out[i].record = blocks[i];
      out[i].found = 1;
    }
    return out;
  }
};

TEST_F(Batch, QueryBatchOfMissesLeavesEveryFoundAtZero) {
  auto q = Queries({Block(1, 5), Block(2, 5), Block(3, 6)});
  EXPECT_EQ(0, tables->QuerySignature(q.data(), 3));
  for (const auto& e : q) EXPECT_EQ(0u, e.found);
  EXPECT_EQ(3u, Stats().crcNotFound);
}

TEST_F(Batch, QueryBatchAnswersEachElementInOrder) {
  Insert({Block(1, 5), Block(3, 6)});
  auto q = Queries({Block(1, 5), Block(2, 5), Block(3, 6)});
  EXPECT_EQ(0, tables->QuerySignature(q.data(), 3));
  EXPECT_EQ(1u, q[0].found);
  EXPECT_EQ(0u, q[1].found);
  EXPECT_EQ(1u, q[2].found);
}

TEST_F(Batch, CountBelowOneIsRefusedWithoutTouchingTheTable) {
  Insert({Block(1, 5)});
  CLDBQuerySignature q;
  q.record = Block(1, 5);
  CacheRecordRef r = Block(1, 5);
  for (int count : {0, -1}) {
    EXPECT_EQ(-1, tables->QuerySignature(&q, count));
    EXPECT_EQ(-1, tables->InsertSignature(&r, count));
    EXPECT_EQ(-1, tables->DeleteCacheRecord(&r, count));
    EXPECT_EQ(-1, tables->UpdateLastCacheTime(&r, count));
  }
  for (const char* op :
       {"QuerySignature", "InsertSignature", "DeleteCacheRecord", "UpdateLastCacheTime"})
    EXPECT_EQ(2u, capture.Count(std::string("[ERROR]CCLDBTables::") + op +
                                ": called with 0 size records -[" + Folder() + "]"))
        << op;
  EXPECT_EQ(1, tables->RecordCount());
  EXPECT_EQ(0u, Stats().crcNotFound);
}

TEST_F(Batch, DeleteBatchStopsAtTheFailingElementAndKeepsWhatCameBefore) {
  Insert({Block(1, 5), Block(2, 5), Block(4, 6)});
  std::vector<CacheRecordRef> batch = {Block(1, 5), Block(2, 5), Block(3, 5), Block(4, 6)};
  EXPECT_EQ(-1, tables->DeleteCacheRecord(batch.data(), 4));
  EXPECT_TRUE(
      capture.Contains("[ERROR]CCLDBTables::DeleteCacheRecord: Failed - 2 [" + Folder() + "]"));
  EXPECT_EQ(1, tables->RecordCount());
  EXPECT_TRUE(Found(Block(4, 6)));  // after the failing element: not attempted
  EXPECT_FALSE(Found(Block(1, 5)));
}

TEST_F(Batch, RefreshBatchStopsAtTheFailingElementAndKeepsWhatCameBefore) {
  const std::vector<CacheRecordRef> stored = {Block(1, 5), Block(2, 5), Block(4, 6)};
  InsertAt(kT0 - 100, stored);
  std::vector<CacheRecordRef> batch = {stored[0], stored[1], Block(3, 5), stored[2]};
  EXPECT_EQ(-1, tables->UpdateLastCacheTime(batch.data(), 4));
  EXPECT_TRUE(
      capture.Contains("[ERROR]CCLDBTables::UpdateLastCacheTime: Failed - 2 [" + Folder() + "]"));
  CloseInstance();
  const auto records = RecordsIn(Folder());
  ASSERT_EQ(3u, records.size());
  std::map<uint64_t, uint32_t> lastUse;  // by data size, which the seed fixes
  for (const auto& r : records) lastUse[r.size] = r.LastUpdateTime;
  EXPECT_EQ(kT0, lastUse[stored[0].size]);
  EXPECT_EQ(kT0, lastUse[stored[1].size]);
  EXPECT_EQ(kT0 - 100, lastUse[stored[2].size]);
}

TEST_F(Batch, InsertIntoAClosedTableReturnsTheEngineCode) {
  ASSERT_EQ(0, tables->CloseDB());
  std::vector<CacheRecordRef> batch = {Block(1, 5), Block(2, 5)};
  EXPECT_EQ(TCT_NOT_OPEN, tables->InsertSignature(batch.data(), 2));
  EXPECT_TRUE(
      capture.Contains("[ERROR]CCLDBTables::InsertSignature: Failed - 0 [" + Folder() + "]"));
}

// Writes past the current end of the table file fail while this lives, so an
// engine commit that needs new pages fails.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    previousHandler_ = signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, previousHandler_);
  }

 private:
  rlimit saved_{};
  sighandler_t previousHandler_;
};

TEST_F(Batch, InsertBatchWhoseCommitFailsIsReportedAndLeavesNothing) {
  Insert({Block(1, 5)});
  std::vector<CacheRecordRef> many;
  for (unsigned i = 0; i < 3000; ++i) many.push_back(Block(100 + i, 7));
  int rc = 0;
  {
    FileSizeLimit limit(fs::file_size(Folder() + "/CacheTable.dat"));
    rc = tables->InsertSignature(many.data(), static_cast<int>(many.size()));
  }
  EXPECT_NE(0, rc);
  EXPECT_TRUE(capture.Contains("[ERROR]CCLDBTables::InsertSignature: commit failed ("));
  EXPECT_EQ(1, tables->RecordCount());
  EXPECT_FALSE(Found(many[0]));
  // The table goes on working once the disk has room.
  Insert({many[0]});
  EXPECT_TRUE(Found(many[0]));
}

// ---- lists and substores ---------------------------------------------------------------

TEST_F(Batch, ValidListDecidesOnRecordsLastUsedBeforeTheBackup) {
  InsertAt(kT0 - 100, {Block(1, 5), Block(2, 6)});
  int ids[] = {5};
  EXPECT_EQ(0, tables->SetValidAFileList(ids, 1));
  EXPECT_TRUE(Found(Block(1, 5)));
  EXPECT_FALSE(Found(Block(2, 6)));
  EXPECT_EQ(1u, Stats().foundPruned);
}

TEST_F(Batch, EmptyValidListMissesOldRecordsUntilAListVouchesForThem) {
  InsertAt(kT0 - 100, {Block(1, 5)});
  Insert({Block(2, 6)});  // used during this backup: not checked against the list
  EXPECT_EQ(0, tables->SetValidAFileList(nullptr, 0));
  EXPECT_FALSE(Found(Block(1, 5)));
  EXPECT_TRUE(Found(Block(2, 6)));
  EXPECT_EQ(2, tables->RecordCount());
  int other[] = {6};
  tables->SetValidAFileList(other, 1);
  int mine[] = {5};
  tables->SetValidAFileList(mine, 1);  // replaces, does not add to, the list before
  EXPECT_TRUE(Found(Block(1, 5)));
}

TEST_F(Batch, RepeatedAndNegativeIdsNameUnsignedArchiveFiles) {
  InsertAt(kT0 - 100, {Block(1, 4294967295u), Block(2, 4294967294u)});
  int ids[] = {-1, -1};
  tables->SetValidAFileList(ids, 2);
  EXPECT_TRUE(Found(Block(1, 4294967295u)));
  EXPECT_FALSE(Found(Block(2, 4294967294u)));
}

TEST_F(Batch, RecopiedListIsInstalledOnlyWithIds) {
  InsertAt(kT0 - 100, {Block(1, 5), Block(2, 5)});
  EXPECT_EQ(0, tables->SetRecopiedAFileList(nullptr, 0));
  EXPECT_TRUE(capture.Contains("CCLDBTables::SetRecopiedAFileList(): Setting items"));
  EXPECT_TRUE(Found(Block(1, 5)));
  int ids[] = {5};
  EXPECT_EQ(0, tables->SetRecopiedAFileList(ids, 1));
  EXPECT_FALSE(Found(Block(2, 5)));
  EXPECT_EQ(1u, Stats().foundPruned);
}

TEST_F(Batch, InactiveSubstoresAreSeenThroughTheMapTheCallerOwns) {
  Insert({Block(1, 5, 4), Block(2, 5, 3), Block(3, 5, 6)});
  std::map<int, int> inactive = {{4, 1}};
  tables->setInactiveSubstoresIdMap(&inactive);
  EXPECT_FALSE(Found(Block(1, 5, 4)));
  EXPECT_TRUE(Found(Block(2, 5, 3)));
  inactive[6] = 1;  // later additions count at once
  EXPECT_FALSE(Found(Block(3, 5, 6)));
  EXPECT_EQ(2u, Stats().offlineSubstores);
}

TEST_F(Batch, StatisticsCountOneJobAndNeverRaiseTheUnusedCounters) {
  Insert({Block(1, 5)});
  CacheRecordRef otherSize = Block(1, 5);
  otherSize.size += 1;
  Found(otherSize);
  Found(Block(2, 5));
  const _stCLDBStates s = Stats();
  EXPECT_EQ(1u, s.crcNotFound);
  EXPECT_EQ(1u, s.mismatchedDataSize);
  EXPECT_EQ(0u, s.insertedByThisJob);
  EXPECT_EQ(0u, s.expiredInThisJob);
  CloseInstance();
  tables = std::make_unique<CCLDBTables>();
  ASSERT_EQ(0, Init(*tables));
  const _stCLDBStates fresh = Stats();
  for (auto counter : cldb::kCounters) EXPECT_EQ(0u, fresh.*counter);
}

}  // namespace
}  // namespace cldbtest
