// MakeCompact and ReBuildIndex on a defined table that is not open.
#include <sys/stat.h>

#include "EngineFixture.h"

namespace enginetest {
namespace {

using Tags = std::vector<uint64_t>;

long long FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

class EngineMaintenance : public EngineTest {
 protected:
  // 3000 records over 30 crc64 keys and 10 archive files.
  void Fill() {
    ASSERT_EQ(0, table.BeginBatch());
    for (uint64_t tag = 0; tag < 3000; ++tag) Add(tag % 30, static_cast<uint32_t>(tag % 10), tag);
    ASSERT_EQ(0, table.EndBatch(true));
  }
  void ExpectWalksIntact() {
    for (uint64_t crc = 0; crc < 30; ++crc) {
      Tags expected;
      for (uint64_t tag = crc; tag < 3000; tag += 30) expected.push_back(tag);
      ASSERT_EQ(expected, SetWalk(table, crc));
    }
    Tags expected;
    for (uint64_t afid = 0; afid < 10; ++afid)
      for (uint64_t tag = afid; tag < 3000; tag += 10) expected.push_back(tag);
    EXPECT_EQ(expected, OrderedWalk(table, 0));
  }
  // Breaks an index of the closed table and seals the result.
  void BreakIndex(const char* db, bool drop) {
    BreakWithoutSeal(db, drop);
    Reseal(base);
  }
  void BreakWithoutSeal(const char* db, bool drop) {
    RawFile raw(table.dataFileName());
    raw.Change(db, [drop](MDB_txn* txn, MDB_dbi dbi) {
      if (drop) {
        ASSERT_EQ(0, mdb_drop(txn, dbi, 1));
        return;
      }
      MDB_cursor* c;
      MDB_val k, d;
      ASSERT_EQ(0, mdb_cursor_open(txn, dbi, &c));
      ASSERT_EQ(0, mdb_cursor_get(c, &k, &d, MDB_FIRST));
      ASSERT_EQ(0, mdb_cursor_del(c, 0));
      mdb_cursor_close(c);
    });
  }
};

TEST_F(EngineMaintenance, CompactionKeepsEveryRecordAndShrinksTheFileAfterMassDeletion) {
  Fill();
  ASSERT_EQ(0, table.BeginBatch());
  for (uint64_t crc = 1; crc < 30; ++crc) {  // keep only key 0's records
    auto key = CrcKey(table, crc);
    _CacheRecord r;
    int deleted = 0;
    for (int rc = table.firstInSet(kCrc, key.data(), &r, 8); rc == 0 && deleted < 200;
         rc = table.nextInSet(kCrc, &r), ++deleted)
      ASSERT_EQ(0, table.deleteRecord());
    ASSERT_EQ(100, deleted);
  }
  ASSERT_EQ(0, table.EndBatch(true));
  ASSERT_EQ(0, table.close());
  const long long before = FileSize(table.dataFileName());

  ASSERT_EQ(0, table.MakeCompact());
  EXPECT_LT(FileSize(table.dataFileName()) * 3, before);
  EXPECT_EQ(-1, FileSize(table.dataFileName() + ".compact"));
  ASSERT_EQ(0, table.open(ZelIndexing::kReadWrite));
  EXPECT_EQ(100, table.getRecordCount());
  Tags expected;
  for (uint64_t tag = 0; tag < 3000; tag += 30) expected.push_back(tag);
  EXPECT_EQ(expected, SetWalk(table, 0));
  EXPECT_EQ(100u, OrderedWalk(table, 0).size());
}

TEST_F(EngineMaintenance, CompactionOfAnIntactTableChangesNoRecord) {
  Fill();
  ASSERT_EQ(0, table.close());
  ASSERT_EQ(0, table.MakeCompact());
  ASSERT_EQ(0, table.open(ZelIndexing::kReadWrite));
  ExpectWalksIntact();
}

TEST_F(EngineMaintenance, NeedsADefinedClosedExistingTable) {
  EXPECT_EQ(TCT_ALREADY_OPEN, table.ReBuildIndex());
  TestTable missing, undefined;
  ASSERT_EQ(0, missing.Declare(dir / "Missing"));
  EXPECT_EQ(TCT_NO_FILE, missing.MakeCompact());
  EXPECT_EQ(TCT_NO_FILE, missing.ReBuildIndex());
  EXPECT_EQ(TCT_SCHEMA, undefined.MakeCompact());
}

TEST_F(EngineMaintenance, ReBuildIndexRestoresADroppedIndex) {
  Fill();
  ASSERT_EQ(0, table.close());
  BreakIndex("index1", true);
  EXPECT_EQ(TCT_CORRUPT, table.open(ZelIndexing::kReadWrite));
  ASSERT_EQ(0, table.ReBuildIndex());
  ASSERT_EQ(0, table.open(ZelIndexing::kReadWrite));
  ExpectWalksIntact();
}

TEST_F(EngineMaintenance, ReBuildIndexRestoresAnIndexThatLostEntries) {
  Fill();
  ASSERT_EQ(0, table.close());
  BreakIndex("index0", false);
  EXPECT_EQ(TCT_CORRUPT, table.open(ZelIndexing::kReadWrite));
  ASSERT_EQ(0, table.MakeCompact());  // compacts a table with broken indexes too
  ASSERT_EQ(0, table.ReBuildIndex());
  ASSERT_EQ(0, table.open(ZelIndexing::kReadWrite));
  ExpectWalksIntact();
}

TEST_F(EngineMaintenance, ReBuildIndexRepairsAWrongEntryAmongTheRightCount) {
  Add(1, 1, 1);
  Add(1, 2, 2);
  ASSERT_EQ(0, table.close());
  {
    RawFile raw(table.dataFileName());
    raw.Change("index1", [](MDB_txn* txn, MDB_dbi dbi) {  // record 1 filed under key 7
      auto id = BigEndian(1);
      unsigned char one[4] = {0, 0, 0, 1}, seven[4] = {0, 0, 0, 7};
      MDB_val k{4, one}, d{8, id.data()};
      ASSERT_EQ(0, mdb_del(txn, dbi, &k, &d));
      k.mv_data = seven;
      ASSERT_EQ(0, mdb_put(txn, dbi, &k, &d, 0));
    });
  }
  Reseal(base);
  ASSERT_EQ(0, table.ReBuildIndex());
  ASSERT_EQ(0, table.open(ZelIndexing::kReadWrite));
  EXPECT_EQ((Tags{1, 2}), OrderedWalk(table, 0));
  EXPECT_EQ((Tags{}), OrderedWalk(table, 3));
}

TEST_F(EngineMaintenance, ReBuildIndexKeepsAgreeingIndexesTheFileAndItsSeal) {
  Fill();
  ASSERT_EQ(0, table.close());
  ASSERT_EQ(0, table.MakeCompact());
  const std::string compacted = cldbtest::ReadFile(table.dataFileName());
  const std::string seal = cldbtest::ReadFile(SealOf(base));
  cldbtest::LogCapture log(nullptr);
  ASSERT_EQ(0, table.ReBuildIndex());
  EXPECT_EQ(compacted, cldbtest::ReadFile(table.dataFileName()));
  EXPECT_EQ(seal, cldbtest::ReadFile(SealOf(base)));
  EXPECT_FALSE(log.Contains("rebuilt"));
  ASSERT_EQ(0, table.open(ZelIndexing::kReadWrite));
  ExpectWalksIntact();
}

TEST_F(EngineMaintenance, RebuiltTableIsSealedAnew) {
  Fill();
  ASSERT_EQ(0, table.close());
  BreakIndex("index1", true);
  const std::string seal = cldbtest::ReadFile(SealOf(base));
  ASSERT_EQ(0, table.ReBuildIndex());
  EXPECT_NE(seal, cldbtest::ReadFile(SealOf(base)));
  EXPECT_EQ(-1, FileSize(SealOf(base) + ".tmp"));
  ASSERT_EQ(0, table.MakeCompact());
  ASSERT_EQ(0, table.open(ZelIndexing::kReadOnly));
  ExpectWalksIntact();
}

TEST_F(EngineMaintenance, TableChangedBehindTheEnginesBackIsNeitherCompactedNorReindexed) {
  Fill();
  ASSERT_EQ(0, table.close());
  BreakWithoutSeal("index1", false);
  const std::string changed = cldbtest::ReadFile(table.dataFileName());
  cldbtest::LogCapture log(nullptr);
  EXPECT_EQ(TCT_CORRUPT, table.MakeCompact());
  EXPECT_EQ(TCT_CORRUPT, table.ReBuildIndex());
  EXPECT_EQ(2u, log.Count("does not match its seal"));
  EXPECT_EQ(changed, cldbtest::ReadFile(table.dataFileName()));
  EXPECT_EQ(-1, FileSize(table.dataFileName() + ".compact"));
}

}  // namespace
}  // namespace enginetest
