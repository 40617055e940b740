// MakeCompact and ReBuildIndex on a defined table that is not open.
#include "EngineFixture.h"

namespace enginetest {
namespace {

using EngineMaintenance = EngineTest;

TEST_F(EngineMaintenance, CompactionKeepsEveryRecordAndShrinksTheFileAfterMassDeletion) {
  Fill(3000);
  for (uint64_t crc = 1; crc < 30; ++crc)  // keeps only key 0's records
    Walk(table, kCrc, crc, [&](const _CacheRecord&) { ASSERT_EQ(0, table.deleteRecord()); });
  ASSERT_EQ(0, table.close());
  const long long before = FileSize(table.dataFileName());
  ASSERT_EQ(0, table.MakeCompact());
  EXPECT_LT(FileSize(table.dataFileName()) * 3, before);
  EXPECT_FALSE(Exists(table.dataFileName() + ".compact"));
  ASSERT_EQ(0, table.open(ZelIndexing::kReadWrite));
  EXPECT_EQ(100, table.getRecordCount());
  Tags expected;
  for (uint64_t tag = 0; tag < 3000; tag += 30) expected.push_back(tag);
  EXPECT_EQ(expected, Walk(table, kCrc, 0));
  EXPECT_EQ(100u, Walk(table, kAfid, 0).size());
}

// Each break is sealed as if the engine had left the file so; the repaired
// table is broken anew by the next one. ReBuildIndex judges an index by
// LMDB's counts: an entry moved to a key its record does not bear keeps
// them, so it is left to the reads, which refuse it as damage.
TEST_F(EngineMaintenance, ReBuildIndexRepairsBrokenIndexesAndLeavesAgreeingOnesAlone) {
  Fill(3000);
  ASSERT_EQ(0, table.close());
  const auto loseTag0 = [](MDB_txn* txn, MDB_dbi dbi) {  // record 1, under crc64 0
    uint64_t crc = 0, id = htobe64(1);
    MDB_val k{8, &crc}, d{8, &id};
    ASSERT_EQ(0, mdb_del(txn, dbi, &k, &d));
  };
  const struct {
    const char* db;
    std::function<void(MDB_txn*, MDB_dbi)> change;
  } kBreaks[] = {{"index1", [](MDB_txn* txn, MDB_dbi dbi) { ASSERT_EQ(0, mdb_drop(txn, dbi, 1)); }},
                 {"index0", loseTag0}};
  for (const auto& broken : kBreaks) {
    SCOPED_TRACE(::testing::Message() << "break " << &broken - kBreaks);
    RawChange(table.dataFileName(), broken.db, broken.change);
    Reseal(base);
    EXPECT_EQ(TCT_CORRUPT, table.open(ZelIndexing::kReadOnly));
    ASSERT_EQ(0, table.close());
    ASSERT_EQ(0, table.MakeCompact());  // broken indexes do not stop compaction
    const std::string seal = Seal();
    ASSERT_EQ(0, table.ReBuildIndex());
    EXPECT_NE(seal, Seal());
    ASSERT_EQ(0, table.open(ZelIndexing::kReadOnly));
    ExpectFilled(table, 3000);
    ASSERT_EQ(0, table.close());
  }
  // A table whose indexes agree keeps its file, compact as it is, and its seal.
  ASSERT_EQ(0, table.MakeCompact());
  const std::string compacted = cldbtest::ReadFile(table.dataFileName()), seal = Seal();
  cldbtest::LogCapture log(nullptr);
  ASSERT_EQ(0, table.ReBuildIndex());
  EXPECT_EQ(compacted, cldbtest::ReadFile(table.dataFileName()));
  EXPECT_EQ(seal, Seal());
  EXPECT_FALSE(log.Contains("rebuilt"));

  RawChange(table.dataFileName(), "index1", Misfile(1, 0, 7));
  Reseal(base);
  const std::string misfiled = cldbtest::ReadFile(table.dataFileName());
  ASSERT_EQ(0, table.ReBuildIndex());
  EXPECT_EQ(misfiled, cldbtest::ReadFile(table.dataFileName()));
  ASSERT_EQ(0, table.open(ZelIndexing::kReadOnly));
  _CacheRecord r;
  EXPECT_EQ(TCT_CORRUPT, table.getGTERecord(kAfid, Key(table, kAfid, 7).data(), &r));
  EXPECT_TRUE(log.Contains("index entry names a record without its key"));
}

// Disk footprint of a million 120-byte records loaded in 1000-record
// batches, before and after compaction and the re-indexing that follows it.
// Each batch is a transaction of its own, as the layout's measure: a load in
// groups of batches leaves the pages the last groups freed in the file too
// (reused by later changes, dropped by compaction; bench/README.md).
TEST_F(EngineMaintenance, StressFootprintOfAMillionRecords) {
  for (uint64_t done = 0; done < 1000000; done += 1000) {
    cldb::TCtreeBatch batch(table);
    for (uint64_t i = done; i < done + 1000; ++i) {
      _CacheRecord r = Rec(i * 0x9E3779B97F4A7C15ULL, static_cast<uint32_t>(i / 5000), i);
      ASSERT_EQ(0, table.addRecord(&r));
    }
    ASSERT_EQ(0, batch.Commit());
    ASSERT_EQ(0, table.CommitPending());
  }
  ASSERT_EQ(0, table.close());
  double perRecord[3];
  for (int stage = 0; stage < 3; ++stage) {  // loaded, compacted, re-indexed
    ASSERT_EQ(0, stage == 1 ? table.MakeCompact() : stage == 2 ? table.ReBuildIndex() : 0);
    perRecord[stage] = FileSize(table.dataFileName()) / 1e6;
  }
  printf("bytes/record: loaded %.1f, compacted %.1f, re-indexed %.1f\n", perRecord[0], perRecord[1],
         perRecord[2]);
  EXPECT_LE(perRecord[0], 200.0);
  EXPECT_LE(perRecord[1], 200.0);
  EXPECT_LE(perRecord[2], perRecord[1]);
  ASSERT_EQ(0, table.open(ZelIndexing::kReadWrite));
  EXPECT_EQ(1000000, table.getRecordCount());
}

}  // namespace
}  // namespace enginetest
