// Schema declaration, create, open, close, access modes and batches.
#include "EngineFixture.h"

namespace enginetest {
namespace {

TEST(EngineSchema, DeclarationsThatDoNotFitAreRefused) {
  TestTable t;
  EXPECT_EQ(TCT_SCHEMA, t.internalInitialize("T", 0, 1, 1, 1, 120, 100));  // not fixed-length
  ASSERT_EQ(0, t.internalInitialize("T", 0, 1, 1, 1, 16, 16));
  EXPECT_EQ(0, t.setNextField("a", 0, 128, 16));
  EXPECT_EQ(TCT_SCHEMA, t.setNextIndex("i", 6, 0, 0, 0, 0, 1, 0));  // unique keys
  EXPECT_EQ(0, t.setNextIndex("i", 6, 0, 1, 0, 0, 1, 0));
  EXPECT_EQ(TCT_SCHEMA, t.setNextSegment(0, 4, 1));  // integer segment of a partial field
  EXPECT_EQ(0, t.setNextSegment(0, 8, 0));
  EXPECT_EQ(TCT_SCHEMA, t.initializeComplete());  // 8 segment bytes for a 6-byte key
  EXPECT_EQ(TCT_SCHEMA, t.create());
}

using EngineLifecycle = EngineTest;

TEST_F(EngineLifecycle, ReopenFindsEveryRecordAndCreateOnAnExistingTableIsRefused) {
  Fill(300);
  ASSERT_EQ(0, table.close());
  const std::string before = cldbtest::ReadFile(base + ".dat");
  TestTable again, missing;
  ASSERT_EQ(0, again.Declare(base));
  EXPECT_EQ(TCT_EXISTS, again.create());
  EXPECT_FALSE(again.isOpen());
  EXPECT_EQ(before, cldbtest::ReadFile(base + ".dat"));
  ASSERT_EQ(0, again.open(ZelIndexing::kReadWrite));
  ExpectFilled(again, 300);
  ASSERT_EQ(0, missing.Declare(dir / "Missing"));
  EXPECT_EQ(TCT_NO_FILE, missing.open(ZelIndexing::kReadWrite));
  EXPECT_EQ(TCT_NO_FILE, missing.MakeCompact());
  EXPECT_EQ(TCT_NO_FILE, missing.ReBuildIndex());
  EXPECT_FALSE(Exists(dir / "Missing.dat"));
}

// Keeps the engine's index version 2 instead of taking 3.
class OldIndexTable : public TestTable {
  int processIndexVersionExternal(int&) override { return 0; }
};

TEST_F(EngineLifecycle, AnotherSchemaIsRefused) {
  ASSERT_EQ(0, table.close());
  cldbtest::LogCapture log(nullptr);
  TestTable longer, retyped;
  OldIndexTable old;
  ASSERT_EQ(0, longer.Declare(base, 128));
  EXPECT_EQ(TCT_SCHEMA_MISMATCH, longer.open(ZelIndexing::kReadWrite));
  ASSERT_EQ(0, retyped.Declare(base, 120, 60));
  EXPECT_EQ(TCT_SCHEMA_MISMATCH, retyped.open(ZelIndexing::kReadWrite));
  EXPECT_TRUE(log.Contains("field 0 Spare offset=0 type=59"));
  ASSERT_EQ(0, old.Declare(base));
  EXPECT_EQ(TCT_SCHEMA_MISMATCH, old.open(ZelIndexing::kReadWrite));
  ASSERT_EQ(0, table.open(ZelIndexing::kReadWrite));
}

TEST_F(EngineLifecycle, ClosedReadOnlyAndBusyTablesRefuseWork) {
  TestTable other;
  ASSERT_EQ(0, other.Declare(base));
  EXPECT_EQ(TCT_BUSY, other.open(ZelIndexing::kReadWrite));
  EXPECT_EQ(TCT_BUSY, other.MakeCompact());
  EXPECT_EQ(TCT_ALREADY_OPEN, table.open(ZelIndexing::kReadWrite));
  EXPECT_EQ(TCT_ALREADY_OPEN, table.ReBuildIndex());
  Add(9, 9, 1);
  ASSERT_EQ(0, table.close());
  _CacheRecord r = Rec(9, 9, 2);
  EXPECT_EQ(TCT_NOT_OPEN, table.addRecord(&r));
  EXPECT_EQ(-1, table.getRecordCount());
  ASSERT_EQ(0, other.open(ZelIndexing::kReadOnly));
  EXPECT_EQ((Tags{1}), Walk(other, kCrc, 9));
  EXPECT_EQ(TCT_READ_ONLY, other.addRecord(&r));
  EXPECT_EQ(TCT_READ_ONLY, other.BeginBatch());
}

TEST_F(EngineLifecycle, BatchesCommitOnceAbortOrCloseDiscardAndDoNotNest) {
  ASSERT_EQ(0, table.close());
  const size_t start = RawChange(table.dataFileName());
  ASSERT_EQ(0, table.open(ZelIndexing::kReadWrite));
  Fill(40);
  EXPECT_EQ(TCT_BATCH, table.EndBatch(true));
  ASSERT_EQ(0, table.CommitPending());  // an aborted batch goes back to here
  for (const bool close : {false, true}) {
    {
      cldb::TCtreeBatch batch(table);
      EXPECT_EQ(TCT_BATCH, table.BeginBatch());
      Add(1, 1, 40);
      Walk(table, kCrc, 2, [&](const _CacheRecord& r) {
        Rewrite(r, [](_CacheRecord& c) { c.archiveFileId = 9; });
      });
      Walk(table, kCrc, 3, [&](const _CacheRecord&) { ASSERT_EQ(0, table.deleteRecord()); });
      EXPECT_EQ((Tags{}), Walk(table, kCrc, 3));
      if (close) Reopen();
    }  // destroyed without Commit()
    EXPECT_FALSE(table.InBatch());
    ExpectFilled(table, 40);
  }
  ASSERT_EQ(0, table.close());
  EXPECT_EQ(start + 1, RawChange(table.dataFileName()));  // Fill's 40 adds
}

// Record 1 is misfiled in index 1 (archive file 3, not 1), so a rewrite of
// its archive file breaks off half done.
TEST_F(EngineLifecycle, ChangeThatFailsHalfDoneSpoilsTheBatch) {
  Add(1, 1, 1);
  Add(2, 2, 2);
  ASSERT_EQ(0, table.close());
  RawChange(table.dataFileName(), "index1", Misfile(1, 1, 3));
  Reseal(base);
  ASSERT_EQ(0, table.open(ZelIndexing::kReadWrite));
  const auto repoint = [&](const _CacheRecord& r) {
    Rewrite(
        r, [](_CacheRecord& c) { c.archiveFileId = 9; }, TCT_CORRUPT);
  };
  ASSERT_EQ(0, table.BeginBatch());
  Add(4, 4, 4);
  EXPECT_EQ((Tags{1}), Walk(table, kCrc, 1, repoint));
  EXPECT_EQ(TCT_CORRUPT, table.EndBatch(true));
  EXPECT_EQ(2, table.getRecordCount());
  EXPECT_EQ((Tags{1}), Walk(table, kCrc, 1, repoint));  // outside a batch: nothing left behind
  Walk(table, kCrc, 1, [](const _CacheRecord& r) { EXPECT_EQ(1u, r.archiveFileId); });
  // The misfiled entry names a record that does not bear its key: damage.
  _CacheRecord r;
  EXPECT_EQ(TCT_CORRUPT, table.getGTERecord(kAfid, Key(table, kAfid, 3).data(), &r));
}

}  // namespace
}  // namespace enginetest
