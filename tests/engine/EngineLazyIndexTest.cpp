// Index settings of the cache table. A lazy index: the entries a rewrite
// leaves behind stay in the file until a walk in the changes' own
// transaction (inside a batch, or while changes are pending) sweeps them or
// the index is rebuilt, and no read ever shows them. A filtered index: its
// in-memory filter never hides a key the index holds, however it got there.
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
  Move(5, 2);                           // leaves (1, #1) and (1, #2) behind
  ASSERT_EQ(0, table.CommitPending());  // from here, reads have a transaction of their own
  EXPECT_EQ((Tags{3, 1, 2}), Walk(table, kAfid, 0));
  Reopen();  // a lazy index may hold more entries than records
  Add(7, 2, 4);
  Move(7, 1);  // back where it was: its old entry is its own again
  Move(7, 1);
  Move(7, 2);
  Move(7, 1);
  Walk(table, kCrc, 6, [&](const _CacheRecord&) { ASSERT_EQ(0, table.deleteRecord()); });
  ASSERT_EQ(0, table.CommitPending());
  EXPECT_EQ((Tags{4, 1, 2}), Walk(table, kAfid, 0));
  EXPECT_EQ((Tags{1, 2}), Walk(table, kAfid, 2));
  ASSERT_EQ(0, table.close());
  EXPECT_EQ(6, AfidEntries());  // reads of their own change nothing

  ASSERT_EQ(0, table.open(ZelIndexing::kReadWrite));
  ASSERT_EQ(0, table.BeginBatch());
  EXPECT_EQ((Tags{4, 1, 2}), Walk(table, kAfid, 0));
  ASSERT_EQ(0, table.EndBatch(true));
  ASSERT_EQ(0, table.close());
  EXPECT_EQ(3, AfidEntries());
}

TEST_F(LazyIndex, EagerDeclarationRefusesLeftoversUntilRebuilt) {
  Add(5, 1, 1);
  Add(6, 1, 2);
  Move(5, 3);
  ASSERT_EQ(0, table.close());
  TestTable eager;
  ASSERT_EQ(0, eager.Declare(base));
  EXPECT_EQ(TCT_CORRUPT, eager.open(ZelIndexing::kReadOnly));
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

// When a seek finds its key, LMDB hands the probe back as the key found,
// and the probe is the walk's own position: the walk then takes its new
// position from itself. It gets there twice below: deleting the stale
// (1, #1) and seeking onto the stale (1, #2), and deleting #4 and seeking
// onto (2, #5), the entry of the record it moved ahead.
TEST_F(LazyIndex, BatchWalkTakesItsPositionFromItsOwnProbe) {
  Add(5, 1, 1);
  Add(5, 1, 2);
  Add(6, 1, 3);
  Add(7, 2, 4);
  Add(8, 1, 5);
  Move(5, 4);  // stale (1, #1) and (1, #2)
  ASSERT_EQ(0, table.BeginBatch());
  const Tags seen = Walk(table, kAfid, 0, [&](const _CacheRecord& r) {
    if (r.reserved2 == 5) Rewrite(r, [](_CacheRecord& c) { c.archiveFileId = 2; });
    if (r.reserved2 == 4) {
      ASSERT_EQ(0, table.deleteRecord());
    }
  });
  EXPECT_EQ((Tags{3, 5, 4, 1, 2}), seen);
  EXPECT_EQ((Tags{3, 5, 1, 2}), Walk(table, kAfid, 0));
  ASSERT_EQ(0, table.EndBatch(true));
  EXPECT_EQ((Tags{3, 5, 1, 2}), Walk(table, kAfid, 0));
}

class FilteredIndex : public EngineTest {
 protected:
  FilteredIndex() { filteredCrc = true; }

  // Whether a whole-key lookup finds a record under crc64 key `crc`.
  bool Finds(uint64_t crc) {
    _CacheRecord r;
    auto key = Key(table, kCrc, crc);
    const int rc = table.firstInSet(kCrc, key.data(), &r, 8);
    EXPECT_TRUE(rc == 0 || rc == TCT_NOT_FOUND) << rc;
    return rc == 0 && r.crc64 == crc;
  }
  // Keys i * kStep for i in [1, count], each its own record.
  void AddSpread(uint64_t count) {
    for (uint64_t i = 1; i <= count; ++i) Add(i * kStep, 1, i);
  }
  static constexpr uint64_t kStep = 0x9E3779B97F4A7C15ULL;
};

// Enough keys in one batch for the filter to outgrow its first size and be
// rebuilt from the batch's own, uncommitted entries; then an aborted batch,
// a rewrite to a new key, a reopen and a read-only open.
TEST_F(FilteredIndex, FindsEveryKeyTheIndexHolds) {
  constexpr uint64_t kKeys = 70000;
  {
    cldb::TCtreeBatch batch(table);
    AddSpread(kKeys);
    for (uint64_t i = 1; i <= kKeys; ++i) ASSERT_TRUE(Finds(i * kStep)) << i;
    ASSERT_EQ(0, batch.Commit());
  }
  ASSERT_EQ(0, table.CommitPending());  // what the aborted batch below goes back to
  EXPECT_FALSE(Finds(12345));
  {
    cldb::TCtreeBatch batch(table);
    Add(777, 1, 0);
    ASSERT_TRUE(Finds(777));
  }  // aborted
  EXPECT_FALSE(Finds(777));
  Walk(table, kCrc, kStep,
       [&](const _CacheRecord& r) { Rewrite(r, [](_CacheRecord& c) { c.crc64 = 4242; }); });
  EXPECT_TRUE(Finds(4242));
  Reopen();
  for (uint64_t i = 2; i <= kKeys; ++i) ASSERT_TRUE(Finds(i * kStep)) << i;
  EXPECT_TRUE(Finds(4242));
  ASSERT_EQ(0, table.close());
  ASSERT_EQ(0, table.open(ZelIndexing::kReadOnly));
  EXPECT_TRUE(Finds(4242));
  EXPECT_TRUE(Finds(kKeys * kStep));
}

// The filter is kept in the file at close and read back at open; one that
// fails its check (here a chunk changed behind the engine's back) is built
// anew from the index, never trusted.
TEST_F(FilteredIndex, AStoredFilterThatFailsItsCheckIsRebuilt) {
  constexpr uint64_t kKeys = 5000;
  cldb::TCtreeBatch batch(table);
  AddSpread(kKeys);
  ASSERT_EQ(0, batch.Commit());
  ASSERT_EQ(0, table.close());
  RawChange(base + ".dat", "meta", [](MDB_txn* txn, MDB_dbi dbi) {
    std::string key = "filter0/";
    key.append(8, '\0');  // chunk 0
    MDB_val k{key.size(), &key[0]}, d;
    ASSERT_EQ(0, mdb_get(txn, dbi, &k, &d));
    std::string zeros(d.mv_size, '\0');
    d = {zeros.size(), &zeros[0]};
    ASSERT_EQ(0, mdb_put(txn, dbi, &k, &d, 0));
  });
  Reseal(base);
  ASSERT_EQ(0, table.open(ZelIndexing::kReadOnly));
  for (uint64_t i = 1; i <= kKeys; ++i) ASSERT_TRUE(Finds(i * kStep)) << i;
}

}  // namespace
}  // namespace enginetest
