// Batches: one write transaction from BeginBatch to EndBatch.
#include "EngineFixture.h"

namespace enginetest {
namespace {

using Tags = std::vector<uint64_t>;
using EngineBatch = EngineTest;

// Reads the first record of key `crc` and rewrites it with `change` applied.
template <typename Change>
int RewriteFirst(TCtreeTable& t, uint64_t crc, Change change) {
  auto key = CrcKey(t, crc);
  _CacheRecord r;
  if (int rc = t.firstInSet(kCrc, key.data(), &r, 8)) return rc;
  change(r);
  return t.modifyRecord(&r);
}

TEST_F(EngineBatch, CommitKeepsEveryChange) {
  Add(1, 1, 1);
  ASSERT_EQ(0, table.BeginBatch());
  EXPECT_TRUE(table.InBatch());
  for (uint64_t tag = 2; tag <= 40; ++tag) Add(tag % 4, 2, tag);
  ASSERT_EQ(0, RewriteFirst(table, 1, [](_CacheRecord& r) { r.archiveFileId = 9; }));
  ASSERT_EQ(0, RewriteFirst(table, 2, [](_CacheRecord&) {}));
  ASSERT_EQ(0, table.deleteRecord());
  ASSERT_EQ(0, table.EndBatch(true));
  EXPECT_FALSE(table.InBatch());
  Reopen();
  EXPECT_EQ(39, table.getRecordCount());
  EXPECT_EQ((Tags{6, 10, 14, 18, 22, 26, 30, 34, 38}), SetWalk(table, 2));
  EXPECT_EQ((Tags{1}), OrderedWalk(table, 9));
}

TEST_F(EngineBatch, AbortDiscardsEveryChange) {
  for (uint64_t tag = 1; tag <= 4; ++tag) Add(tag, 1, tag);
  {
    TCtreeBatch batch(table);
    ASSERT_EQ(0, batch.status());
    Add(1, 1, 5);
    ASSERT_EQ(0, RewriteFirst(table, 2, [](_CacheRecord& r) { r.crc64 = 1; }));
    ASSERT_EQ(0, RewriteFirst(table, 3, [](_CacheRecord&) {}));
    ASSERT_EQ(0, table.deleteRecord());
    EXPECT_EQ((Tags{1, 2, 5}), SetWalk(table, 1));
  }  // destroyed without Commit()
  EXPECT_FALSE(table.InBatch());
  EXPECT_EQ(4, table.getRecordCount());
  EXPECT_EQ((Tags{1}), SetWalk(table, 1));
  EXPECT_EQ((Tags{1, 2, 3, 4}), OrderedWalk(table, 0));
  Add(1, 1, 6);
  EXPECT_EQ((Tags{1, 6}), SetWalk(table, 1));
}

TEST_F(EngineBatch, ABatchPaysOneCommit) {
  ASSERT_EQ(0, table.close());
  size_t start;
  {
    RawFile raw(table.dataFileName());
    start = raw.LastTxnId();
  }
  ASSERT_EQ(0, table.open(ZelIndexing::kReadWrite));
  {
    TCtreeBatch batch(table);
    for (uint64_t tag = 0; tag < 200; ++tag) Add(tag, 1, tag);
    ASSERT_EQ(0, RewriteFirst(table, 7, [](_CacheRecord& r) { r.archiveFileId = 2; }));
    ASSERT_EQ(0, batch.Commit());
  }
  for (uint64_t tag = 0; tag < 20; ++tag) Add(tag, 1, tag);
  ASSERT_EQ(0, table.close());
  RawFile raw(table.dataFileName());
  EXPECT_EQ(start + 1 + 20, raw.LastTxnId());
}

TEST_F(EngineBatch, MisuseIsRefused) {
  EXPECT_EQ(TCT_BATCH, table.EndBatch(true));
  ASSERT_EQ(0, table.BeginBatch());
  EXPECT_EQ(TCT_BATCH, table.BeginBatch());
  EXPECT_EQ(0, table.EndBatch(false));
  EXPECT_EQ(TCT_BATCH, table.EndBatch(false));
}

TEST_F(EngineBatch, CloseInsideABatchDiscardsIt) {
  Add(1, 1, 1);
  ASSERT_EQ(0, table.BeginBatch());
  Add(1, 1, 2);
  ASSERT_EQ(0, table.close());
  EXPECT_FALSE(table.InBatch());
  ASSERT_EQ(0, table.open(ZelIndexing::kReadWrite));
  EXPECT_EQ((Tags{1}), SetWalk(table, 1));
}

// Index 1 names record 1 under archive file 3 instead of 1, and the file is
// sealed as if the engine had left it so; the counts still agree, so the
// table opens, and the rewrite of record 1's archive file breaks off half done.
class EngineBrokenIndex : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    Add(1, 1, 1);
    Add(2, 2, 2);
    ASSERT_EQ(0, table.close());
    {
      RawFile raw(table.dataFileName());
      raw.Change("index1", [](MDB_txn* txn, MDB_dbi dbi) {
        auto id = BigEndian(1);
        unsigned char one[4] = {0, 0, 0, 1}, three[4] = {0, 0, 0, 3};
        MDB_val k{4, one}, d{8, id.data()};
        ASSERT_EQ(0, mdb_del(txn, dbi, &k, &d));
        k.mv_data = three;
        ASSERT_EQ(0, mdb_put(txn, dbi, &k, &d, 0));
      });
    }
    Reseal(base);
    ASSERT_EQ(0, table.open(ZelIndexing::kReadWrite));
  }
  static void Repoint(_CacheRecord& r) { r.archiveFileId = 9; }
};

TEST_F(EngineBrokenIndex, FailedChangeSpoilsTheBatchAndEndBatchAbortsIt) {
  ASSERT_EQ(0, table.BeginBatch());
  Add(4, 4, 4);
  EXPECT_EQ(TCT_CORRUPT, RewriteFirst(table, 1, Repoint));
  EXPECT_EQ(TCT_CORRUPT, table.EndBatch(true));
  EXPECT_EQ(2, table.getRecordCount());
  EXPECT_EQ((Tags{}), SetWalk(table, 4));
}

TEST_F(EngineBrokenIndex, FailedChangeOutsideABatchChangesNothing) {
  EXPECT_EQ(TCT_CORRUPT, RewriteFirst(table, 1, Repoint));
  EXPECT_EQ((Tags{1}), OrderedWalk(table, 3));
  auto key = CrcKey(table, 1);
  _CacheRecord r;
  ASSERT_EQ(0, table.firstInSet(kCrc, key.data(), &r, 8));
  EXPECT_EQ(1u, r.archiveFileId);
}

}  // namespace
}  // namespace enginetest
