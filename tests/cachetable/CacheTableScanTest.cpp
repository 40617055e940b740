// Scans in archive-file order, expiry of archive files, clean-up, the least
// archive-file id and compaction.
#include "CacheTableFixture.h"

#include <atomic>

namespace cldbtest {
namespace {

class CacheTableScan : public CacheTableTest {
 protected:
  // Inserts one fresh block of each archive file, in the order given.
  std::vector<CacheRecordRef> InsertFiles(std::initializer_list<uint32_t> afileIds) {
    std::vector<CacheRecordRef> out;
    for (uint32_t id : afileIds) {
      out.push_back(MakeRef(RandomSignature(rng), 512, 0, kT0, id));
      EXPECT_EQ(table->AddCacheRecord(out.back(), 0), 0);
    }
    return out;
  }
  std::vector<uint32_t> ScanIds() {
    std::vector<uint32_t> ids;
    for (int rc = table->FindFirstRecord(); rc == 0; rc = table->FindNextRecord())
      ids.push_back(Current().archiveFileId);
    return ids;
  }
  size_t ExpiredCount() {
    size_t n = 0;
    for (const _CacheRecord& r : AllRecords())
      n += (r.Flags & CACHE_FLAG_EXPIRED) && r.crc64 == 0;
    return n;
  }
  std::atomic<bool> quit{false};
};

TEST_F(CacheTableScan, FullScanVisitsFileOneAndUpInOrderExpiredIncluded) {
  OpenTable();
  InsertFiles({5, 0, 2, 9, 2, 1, 0});
  ASSERT_EQ(table->MarkRecordsExpired(2), 0);
  EXPECT_EQ(ScanIds(), (std::vector<uint32_t>{1, 2, 2, 5, 9}));
  EXPECT_EQ(table->FindFirstRecordByAfileId(0), 0);
  EXPECT_EQ(Current().archiveFileId, 0u);
}

TEST_F(CacheTableScan, EmptyTableHasNothingToScan) {
  OpenTable();
  EXPECT_EQ(table->FindFirstRecord(), -1);
  EXPECT_EQ(table->FindFirstRecordByAfileId(0), -1);
}

TEST_F(CacheTableScan, FindByAfileIdLandsOnTheNextGreaterFile) {
  OpenTable();
  InsertFiles({3, 8});
  EXPECT_EQ(table->FindFirstRecordByAfileId(4), 0);
  EXPECT_EQ(Current().archiveFileId, 8u);
  EXPECT_EQ(table->FindNextRecordByAfileId(), -1);
  EXPECT_EQ(table->FindFirstRecordByAfileId(9), -1);

  ASSERT_EQ(table->MarkRecordsExpired(4), 0);  // no file 4: nothing marked
  EXPECT_EQ(ExpiredCount(), 0u);
}

TEST_F(CacheTableScan, MarkingExpiresExactlyOneFileAndIsIdempotent) {
  OpenTable();
  InsertFiles({4, 6, 4, 4, 7});
  ASSERT_EQ(table->MarkRecordsExpired(4), 0);
  const std::vector<_CacheRecord> once = AllRecords();
  for (const _CacheRecord& r : once) {
    const bool marked = r.archiveFileId == 4;
    EXPECT_EQ((r.Flags & CACHE_FLAG_EXPIRED) != 0, marked);
    EXPECT_EQ(r.crc64 == 0, marked);
    EXPECT_EQ(r.Flags & ~CACHE_FLAG_EXPIRED, static_cast<uint32_t>(kSigType));
  }
  EXPECT_EQ(UnderKey(0).size(), 3u);

  ASSERT_EQ(table->MarkRecordsExpired(4), 0);
  const std::vector<_CacheRecord> twice = AllRecords();
  ASSERT_EQ(twice.size(), once.size());
  for (size_t i = 0; i < once.size(); ++i)
    EXPECT_EQ(memcmp(&once[i], &twice[i], sizeof(_CacheRecord)), 0) << i;
}

TEST_F(CacheTableScan, QueryNoLongerMeetsAMarkedBlock) {
  OpenTable();
  CacheRecordRef ref = InsertFiles({4})[0];
  ASSERT_EQ(table->MarkRecordsExpired(4), 0);
  EXPECT_EQ(table->QuerySignature(ref), -1);
  _stCLDBStates want;
  want.crcNotFound = 1;
  ExpectSameStats(want, Stats());
}

TEST_F(CacheTableScan, CleanUpDeletesTheExpiredRecordsAndLogsTheCount) {
  OpenTable();
  InsertFiles({4, 6, 4, 4, 7});
  ASSERT_EQ(table->MarkRecordsExpired(4), 0);
  capture.Clear();
  EXPECT_EQ(table->CleanUpExpiredSignatures(quit), 0);
  EXPECT_EQ(ScanIds(), (std::vector<uint32_t>{6, 7}));
  EXPECT_TRUE(UnderKey(0).empty());
  const auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], std::make_pair(-1, std::string("CCacheTable::CleanUpExpiredSignatures: === "
                                                     "Started cleaning up expired signatuers ===")));
  EXPECT_EQ(lines[1],
            std::make_pair(-1, std::string("CCacheTable::CleanUpExpiredSignatures: === completed "
                                           "cleaning up expired signatuers (count 3)===")));
}

TEST_F(CacheTableScan, CleanUpKeepsUnflaggedRecordsUnderKeyZero) {
  OpenTable();
  _CacheRecord raw{};
  raw.archiveFileId = 2;
  raw.Flags = kSigType;
  AddRaw(raw);
  InsertFiles({3});
  ASSERT_EQ(table->MarkRecordsExpired(3), 0);
  EXPECT_EQ(table->CleanUpExpiredSignatures(quit), 0);
  const std::vector<_CacheRecord> left = AllRecords();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(memcmp(&left[0], &raw, sizeof(raw)), 0);
  EXPECT_TRUE(capture.Contains("(count 1)==="));
}

TEST_F(CacheTableScan, CleanUpWithoutExpiredRecordsIsSilent) {
  OpenTable();
  InsertFiles({1, 2});
  capture.Clear();
  EXPECT_EQ(table->CleanUpExpiredSignatures(quit), 0);
  EXPECT_TRUE(capture.Lines().empty());
  EXPECT_EQ(table->getRecordCount(), 2);
}

TEST_F(CacheTableScan, CleanUpStopsBeforeTheFirstRecordWhenAskedToQuit) {
  OpenTable();
  InsertFiles({4, 4});
  ASSERT_EQ(table->MarkRecordsExpired(4), 0);
  capture.Clear();
  quit = true;
  EXPECT_EQ(table->CleanUpExpiredSignatures(quit), 0);
  EXPECT_EQ(table->getRecordCount(), 2);
  EXPECT_TRUE(capture.Contains(-1, "=== Started cleaning up expired signatuers ==="));
  EXPECT_TRUE(capture.Contains(
      -1, "CCacheTable::CleanUpExpiredSignatures: Quit-Pruning requested. Quiting clean-up "
          "expired signatuers ==="));
  EXPECT_FALSE(capture.Contains("completed"));
}

TEST_F(CacheTableScan, LeastArchiveFileId) {
  OpenTable();
  unsigned int least = 77;
  EXPECT_EQ(table->GetLeastAFileId(least), 0);
  EXPECT_EQ(least, 0u);

  InsertFiles({9, 3, 5});
  ASSERT_EQ(table->MarkRecordsExpired(3), 0);  // expired records still count
  EXPECT_EQ(table->GetLeastAFileId(least), 0);
  EXPECT_EQ(least, 3u);

  InsertFiles({0});
  EXPECT_EQ(table->GetLeastAFileId(least), 0);
  EXPECT_EQ(least, 0u);
}

TEST_F(CacheTableScan, WalksSurviveTheirOwnRewritesInsideABatch) {
  OpenTable(0, 0);  // every matching candidate is stale
  CacheRecordRef ref = MakeRef(RandomSignature(rng), 1, 0, kT0, 1);
  for (uint32_t id = 1; id <= 5; ++id) {
    ref.archiveFileId = id;
    ASSERT_EQ(table->AddCacheRecord(ref, 0), 0);
  }
  TCtreeBatch batch(*table);
  ASSERT_EQ(batch.status(), 0);
  EXPECT_EQ(table->QuerySignature(ref), -1);
  EXPECT_EQ(Stats().expired, 5u);
  EXPECT_EQ(table->CleanUpExpiredSignatures(quit), 0);
  EXPECT_EQ(table->getRecordCount(), 0);
  EXPECT_EQ(batch.Commit(), 0);
  EXPECT_TRUE(capture.Contains("(count 5)==="));
}

TEST_F(CacheTableScan, CompactionKeepsRecordsAndLogsItsSteps) {
  OpenTable();
  std::vector<CacheRecordRef> refs = InsertFiles({2, 1, 3});
  ASSERT_EQ(table->close(), 0);
  capture.Clear();
  EXPECT_EQ(table->MakeCompactDB(), 0);
  std::vector<std::string> texts;
  for (const auto& line : capture.Lines()) {
    EXPECT_EQ(line.first, 1);
    texts.push_back(line.second);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{
                       "CCacheTable::MakeCompact: Making compact CLDB ....",
                       "CCacheTable::MakeCompact: Compact completed....",
                       "CCacheTable::MakeCompact: Reindexing CLDB ....",
                       "CCacheTable::MakeCompact: Reindexing completed....",
                   }));
  ASSERT_EQ(table->Open(ZelIndexing::kReadWrite), 0);
  EXPECT_EQ(ScanIds(), (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(table->QuerySignature(refs[1]), 0);
}

TEST_F(CacheTableScan, CompactionOfAMissingTableFails) {
  table = std::make_unique<CCacheTable>();
  table->Initialize(1, 4, &log, 12345, 90, 45, false);
  ASSERT_EQ(table->initialize(Path().c_str()), 0);
  capture.Clear();
  EXPECT_EQ(table->MakeCompactDB(), -1);
  EXPECT_TRUE(capture.Contains(1, "CCacheTable::MakeCompact: [ERROR] Compact Failed.("));
  EXPECT_FALSE(capture.Contains("Reindexing"));
}

}  // namespace
}  // namespace cldbtest
