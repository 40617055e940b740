// Set walks and ordered walks, and how they go on when the record they stand
// on is rewritten or deleted. Every test runs outside and inside a batch: the
// two take different paths (re-seek per call vs. kept cursors).
#include "EngineFixture.h"

namespace enginetest {
namespace {

class EngineWalk : public EngineTest, public ::testing::WithParamInterface<bool> {
 protected:
  void Begin() {
    if (GetParam()) {
      ASSERT_EQ(0, table.BeginBatch());
    }
  }
  void End() {
    if (GetParam()) {
      ASSERT_EQ(0, table.EndBatch(true));
    }
  }
  // Rewrites the current record (read into r) with a changed copy.
  template <typename Change>
  void Rewrite(const _CacheRecord& r, Change change) {
    _CacheRecord copy = r;
    change(copy);
    ASSERT_EQ(0, table.modifyRecord(&copy));
  }
};

using Tags = std::vector<uint64_t>;

TEST_P(EngineWalk, RecordsUnderOneKeyComeInInsertionOrder) {
  Begin();
  for (uint64_t tag = 1; tag <= 6; ++tag) Add(tag % 2 ? 5 : 6, 1, tag);
  EXPECT_EQ((Tags{1, 3, 5}), SetWalk(table, 5));
  EXPECT_EQ((Tags{2, 4, 6}), SetWalk(table, 6));
  // Moving the oldest record of key 5 to key 6 puts it first there: the
  // order is that of insertion, not of arrival under the key.
  auto key = CrcKey(table, 5);
  _CacheRecord r;
  ASSERT_EQ(0, table.firstInSet(kCrc, key.data(), &r, 8));
  Rewrite(r, [](_CacheRecord& c) { c.crc64 = 6; });
  EXPECT_EQ((Tags{1, 2, 4, 6}), SetWalk(table, 6));
  EXPECT_EQ((Tags{}), SetWalk(table, 7));
  End();
  EXPECT_EQ((Tags{3, 5}), SetWalk(table, 5));
}

TEST_P(EngineWalk, OrderedReadsFollowNumericKeyOrder) {
  Begin();
  const uint32_t afids[] = {0x100, 2, 0x10000, 1, 0xFFFFFFFF, 2, 0x100};
  for (uint64_t i = 0; i < std::size(afids); ++i) Add(9, afids[i], i);
  EXPECT_EQ((Tags{3, 1, 5, 0, 6, 2, 4}), OrderedWalk(table, 0));
  EXPECT_EQ((Tags{0, 6, 2, 4}), OrderedWalk(table, 3));
  EXPECT_EQ((Tags{4}), OrderedWalk(table, 0xFFFFFFFF));

  // The highest position of key 2 starts after every record of key 2.
  char key[12];
  char* cursor = key;
  int left = 12;
  uint32_t two = 2;
  ASSERT_EQ(4, table.fillKeySegment(&cursor, &left, &two, 0, kAfid, 0));
  ASSERT_EQ(8, table.finishKey(&cursor, &left, 0, 0));
  _CacheRecord r;
  ASSERT_EQ(0, table.getGTERecord(kAfid, key, &r));
  EXPECT_EQ(0x100u, r.archiveFileId);
  EXPECT_EQ(0u, r.reserved2);
  End();
}

TEST_P(EngineWalk, NothingAtOrAfterTheKeyIsANotFound) {
  Add(3, 3, 1);
  Begin();
  _CacheRecord r;
  auto afid = AfidKey(table, 4);
  EXPECT_EQ(TCT_NOT_FOUND, table.getGTERecord(kAfid, afid.data(), &r));
  EXPECT_NE(0, table.noRecordFound());
  EXPECT_EQ(TCT_NO_CURRENT, table.deleteRecord());
  auto crc = CrcKey(table, 2);
  EXPECT_EQ(TCT_NOT_FOUND, table.firstInSet(kCrc, crc.data(), &r, 8));
  EXPECT_EQ(TCT_NOT_FOUND, table.nextInSet(kCrc, &r));
  EXPECT_EQ(TCT_BAD_KEY, table.firstInSet(kCrc, crc.data(), &r, 9));
  EXPECT_EQ(0, table.noRecordFound());
  EXPECT_EQ(TCT_ARGUMENT, table.firstInSet(2, crc.data(), &r, 8));
  EXPECT_EQ(TCT_NO_CURRENT, table.nextRecord(kAfid, &r));  // the walk was on index 0
  End();
}

// QuerySignature: stale candidates are expired (crc64 to 0) and a hit is
// re-pointed at another archive file, both in the middle of a set walk.
TEST_P(EngineWalk, SetWalkGoesOnAfterTheCurrentRecordMovedToAnotherKey) {
  for (uint64_t tag = 1; tag <= 5; ++tag) Add(7, 1, tag);
  Add(0, 1, 10);
  Begin();
  Tags seen;
  auto key = CrcKey(table, 7);
  _CacheRecord r;
  for (int rc = table.firstInSet(kCrc, key.data(), &r, 8); rc == 0 && seen.size() < 20;
       rc = table.nextInSet(kCrc, &r)) {
    seen.push_back(r.reserved2);
    if (r.reserved2 % 2 == 0) Rewrite(r, [](_CacheRecord& c) { c.crc64 = 0; });
    if (r.reserved2 == 3) Rewrite(r, [](_CacheRecord& c) { c.archiveFileId = 8; });
  }
  EXPECT_EQ((Tags{1, 2, 3, 4, 5}), seen);
  EXPECT_EQ((Tags{1, 3, 5}), SetWalk(table, 7));
  EXPECT_EQ((Tags{2, 4, 10}), SetWalk(table, 0));
  EXPECT_EQ((Tags{1, 2, 4, 5, 10, 3}), OrderedWalk(table, 0));
  End();
}

// CleanUpExpiredSignatures: every record of key 0 deleted during its walk.
TEST_P(EngineWalk, SetWalkGoesOnAfterTheCurrentRecordWasDeleted) {
  for (uint64_t tag = 1; tag <= 8; ++tag) Add(tag % 3 ? 0 : 4, static_cast<uint32_t>(tag), tag);
  Begin();
  Tags seen;
  auto key = CrcKey(table, 0);
  _CacheRecord r;
  for (int rc = table.firstInSet(kCrc, key.data(), &r, 8); rc == 0 && seen.size() < 20;
       rc = table.nextInSet(kCrc, &r)) {
    seen.push_back(r.reserved2);
    ASSERT_EQ(0, table.deleteRecord());
    EXPECT_EQ(TCT_NO_CURRENT, table.deleteRecord());
  }
  EXPECT_EQ((Tags{1, 2, 4, 5, 7, 8}), seen);
  EXPECT_EQ((Tags{}), SetWalk(table, 0));
  EXPECT_EQ((Tags{3, 6}), OrderedWalk(table, 0));
  EXPECT_EQ(2, table.getRecordCount());
  End();
}

// MarkRecordsExpired: an archive file's records are expired (a crc64 and
// flags rewrite) while walking index 1 from that archive file.
TEST_P(EngineWalk, OrderedWalkIsUndisturbedByRewritesOfOtherKeys) {
  for (uint64_t tag = 1; tag <= 9; ++tag) Add(tag, static_cast<uint32_t>(4 + tag % 3), tag);
  Begin();
  Tags marked;
  auto key = AfidKey(table, 5);
  _CacheRecord r;
  for (int rc = table.getGTERecord(kAfid, key.data(), &r);
       rc == 0 && r.archiveFileId == 5 && marked.size() < 20; rc = table.nextRecord(kAfid, &r)) {
    marked.push_back(r.reserved2);
    Rewrite(r, [](_CacheRecord& c) {
      c.Flags |= CACHE_FLAG_EXPIRED;
      c.crc64 = 0;
    });
  }
  EXPECT_EQ((Tags{1, 4, 7}), marked);
  EXPECT_EQ(marked, SetWalk(table, 0));
  End();
  EXPECT_EQ(marked, SetWalk(table, 0));
}

TEST_P(EngineWalk, RecordMovedAheadOfAnOrderedWalkIsNotVisitedTwice) {
  Add(1, 1, 1);
  Add(1, 1, 2);
  Add(1, 2, 3);
  Add(1, 3, 4);
  Begin();
  Tags seen;
  auto key = AfidKey(table, 1);
  _CacheRecord r;
  for (int rc = table.getGTERecord(kAfid, key.data(), &r); rc == 0 && seen.size() < 20;
       rc = table.nextRecord(kAfid, &r)) {
    seen.push_back(r.reserved2);
    if (r.reserved2 == 1) Rewrite(r, [](_CacheRecord& c) { c.archiveFileId = 3; });  // ahead
    if (r.reserved2 == 3) Rewrite(r, [](_CacheRecord& c) { c.archiveFileId = 1; });  // behind
  }
  EXPECT_EQ((Tags{1, 2, 3, 4}), seen);
  EXPECT_EQ((Tags{2, 3, 1, 4}), OrderedWalk(table, 0));
  End();
}

TEST_P(EngineWalk, OrderedWalkGoesOnAfterDeletes) {
  for (uint64_t tag = 1; tag <= 6; ++tag) Add(2, static_cast<uint32_t>(tag / 2), tag);
  Begin();
  Tags seen;
  auto key = AfidKey(table, 0);
  _CacheRecord r;
  for (int rc = table.getGTERecord(kAfid, key.data(), &r); rc == 0 && seen.size() < 20;
       rc = table.nextRecord(kAfid, &r)) {
    seen.push_back(r.reserved2);
    if (r.reserved2 != 4) {
      ASSERT_EQ(0, table.deleteRecord());
    }
  }
  EXPECT_EQ((Tags{1, 2, 3, 4, 5, 6}), seen);
  EXPECT_EQ((Tags{4}), OrderedWalk(table, 0));
  End();
}

TEST_P(EngineWalk, ShorterSetLengthWalksAKeyPrefix) {
  Add(0x200, 1, 1);
  Add(0x1FF, 1, 2);
  Add(0x100, 1, 3);
  Add(0x1FF, 1, 4);
  Begin();
  auto key = CrcKey(table, 0x100);
  Tags seen;
  _CacheRecord r;
  for (int rc = table.firstInSet(kCrc, key.data(), &r, 7); rc == 0 && seen.size() < 20;
       rc = table.nextInSet(kCrc, &r))
    seen.push_back(r.reserved2);
  EXPECT_EQ((Tags{3, 2, 4}), seen);
  End();
}

TEST_P(EngineWalk, NextRecordContinuesASetWalkInKeyOrder) {
  Add(5, 1, 1);
  Add(9, 1, 2);
  Add(5, 1, 3);
  Begin();
  auto key = CrcKey(table, 5);
  _CacheRecord r;
  ASSERT_EQ(0, table.firstInSet(kCrc, key.data(), &r, 8));
  ASSERT_EQ(0, table.nextRecord(kCrc, &r));
  EXPECT_EQ(3u, r.reserved2);
  ASSERT_EQ(0, table.nextRecord(kCrc, &r));
  EXPECT_EQ(2u, r.reserved2);
  EXPECT_EQ(TCT_NO_CURRENT, table.nextInSet(kCrc, &r));
  End();
}

TEST_P(EngineWalk, RecordAddedAheadOfAWalkIsMet) {
  Add(5, 1, 1);
  Begin();
  auto key = CrcKey(table, 5);
  _CacheRecord r;
  ASSERT_EQ(0, table.firstInSet(kCrc, key.data(), &r, 8));
  Add(5, 1, 2);
  _CacheRecord changed = r;
  changed.tagHdrCount = 3;
  ASSERT_EQ(0, table.modifyRecord(&changed));  // addRecord left the current record alone
  ASSERT_EQ(0, table.nextInSet(kCrc, &r));
  EXPECT_EQ(2u, r.reserved2);
  End();
  ASSERT_EQ(0, table.firstInSet(kCrc, key.data(), &r, 8));
  EXPECT_EQ(3u, r.tagHdrCount);
}

INSTANTIATE_TEST_SUITE_P(BatchOrNot, EngineWalk, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return param.param ? "InBatch" : "OwnTransactions";
                         });

}  // namespace
}  // namespace enginetest
