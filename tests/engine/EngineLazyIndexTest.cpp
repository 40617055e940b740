// A lazy index: the entries a rewrite leaves behind stay in the file until a
// walk inside a batch sweeps them or the index is rebuilt, and no read ever
// shows them.
#include "EngineFixture.h"

namespace enginetest {
namespace {

class LazyIndex : public EngineTest {
 protected:
  LazyIndex() { lazyAfid = true; }

  // Moves the records of crc64 key `crc` to archive file `afid`.
  void Move(uint64_t crc, uint32_t afid) {
    Walk(table, kCrc, crc, [&](const _CacheRecord& r) {
      _CacheRecord c = r;
      c.archiveFileId = afid;
      ASSERT_EQ(0, table.modifyRecord(&c));
    });
  }
  long long AfidEntries() const { return RawEntries(base + ".dat", "index1"); }
};

TEST_F(LazyIndex, LeftoversAreNeverReadAndGoAtABatchWalk) {
  Add(5, 1, 1);
  Add(5, 1, 2);
  Add(6, 1, 3);
  Move(5, 2);  // leaves (1, #1) and (1, #2) behind
  EXPECT_EQ((Tags{3, 1, 2}), Walk(table, kAfid, 0));
  Reopen();  // a lazy index may hold more entries than records
  Add(7, 2, 4);
  Move(7, 1);  // back where it was: its old entry is its own again
  Move(7, 1);
  Move(7, 2);
  Move(7, 1);
  Walk(table, kCrc, 6, [&](const _CacheRecord&) { ASSERT_EQ(0, table.deleteRecord()); });
  EXPECT_EQ((Tags{4, 1, 2}), Walk(table, kAfid, 0));
  EXPECT_EQ((Tags{1, 2}), Walk(table, kAfid, 2));
  ASSERT_EQ(0, table.close());
  EXPECT_EQ(6, AfidEntries());  // reads outside a batch change nothing

  ASSERT_EQ(0, table.open(ZelIndexing::kReadWrite));
  ASSERT_EQ(0, table.BeginBatch());
  EXPECT_EQ((Tags{4, 1, 2}), Walk(table, kAfid, 0));
  ASSERT_EQ(0, table.EndBatch(true));
  ASSERT_EQ(0, table.close());
  EXPECT_EQ(3, AfidEntries());
}

// An index left with stale entries is not what an eager declaration
// expects; rebuilding it drops them.
TEST_F(LazyIndex, EagerDeclarationRefusesLeftoversUntilRebuilt) {
  Add(5, 1, 1);
  Add(6, 1, 2);
  Move(5, 3);
  ASSERT_EQ(0, table.close());
  TestTable eager;
  ASSERT_EQ(0, eager.Declare(base));
  EXPECT_EQ(TCT_CORRUPT, eager.open(ZelIndexing::kReadWrite));
  ASSERT_EQ(0, eager.ReBuildIndex());
  EXPECT_EQ(2, AfidEntries());
  ASSERT_EQ(0, eager.open(ZelIndexing::kReadWrite));
  EXPECT_EQ((Tags{2, 1}), Walk(eager, kAfid, 0));
  EXPECT_EQ(TCT_ARGUMENT, table.setLazyIndex(2));
  EXPECT_EQ(TCT_ALREADY_OPEN, eager.setLazyIndex(kAfid));
}

// A walk that moves its record ahead meets the record's new entry (passed
// over) and an older, stale one (skipped), in either order: once in all.
TEST_F(LazyIndex, RecordMovedAheadOfAWalkIsMetOnce) {
  for (bool inBatch : {false, true}) {
    SCOPED_TRACE(inBatch ? "in a batch" : "alone");
    const uint64_t crc = inBatch ? 20 : 10;
    Add(crc, 5, crc + 1);
    Add(crc, 3, crc + 2);
    Move(crc, 1);  // stale entries under 3 and 5
    ASSERT_EQ(0, inBatch ? table.BeginBatch() : 0);
    const Tags seen = Walk(table, kAfid, 1, [&](const _CacheRecord& r) {
      _CacheRecord c = r;
      c.archiveFileId = r.reserved2 == crc + 1 ? 7 : 4;
      ASSERT_EQ(0, table.modifyRecord(&c));
    });
    ASSERT_EQ(0, inBatch ? table.EndBatch(true) : 0);
    EXPECT_EQ((Tags{crc + 1, crc + 2}), seen);
    EXPECT_EQ((Tags{crc + 2, crc + 1}), Walk(table, kAfid, 1));
    Walk(table, kCrc, crc, [&](const _CacheRecord&) { ASSERT_EQ(0, table.deleteRecord()); });
  }
}

}  // namespace
}  // namespace enginetest
