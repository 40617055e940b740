// Set walks and ordered walks, and how they go on when the record they stand
// on is rewritten or deleted. The deterministic tests run outside and inside
// a batch: the two take different paths (re-seek per call vs. kept cursors).
#include <algorithm>
#include <map>
#include <random>
#include <tuple>

#include "EngineFixture.h"

namespace enginetest {
namespace {

// Parameters: inside a batch; the cache table's index settings (a lazy
// archive-file index, a filtered crc64 index), which must read exactly as
// plain indexes do.
class EngineWalk : public EngineTest, public ::testing::WithParamInterface<std::tuple<bool, bool>> {
 protected:
  void SetUp() override {
    lazyAfid = filteredCrc = std::get<1>(GetParam());
    EngineTest::SetUp();
  }
  void Begin() { ASSERT_EQ(0, std::get<0>(GetParam()) ? table.BeginBatch() : 0); }
  void End() { ASSERT_EQ(0, std::get<0>(GetParam()) ? table.EndBatch(true) : 0); }
};

TEST_P(EngineWalk, KeyPrefixesHighestPositionsMissesAndMisuse) {
  Add(0x200, 1, 1);
  Add(0x1FF, 2, 2);
  Add(0x100, 2, 3);
  Add(0x1FF, 3, 4);
  Begin();
  EXPECT_EQ((Tags{3, 2, 4}), Walk(table, kCrc, 0x100, nullptr, 7));
  _CacheRecord r;
  auto key = Key(table, kAfid, 2, false);  // after every record of archive file 2
  ASSERT_EQ(0, table.getGTERecord(kAfid, key.data(), &r));
  EXPECT_EQ(4u, r.reserved2);
  // nextRecord goes on from a set walk in key order, past the set's end.
  key = Key(table, kCrc, 0x1FF);
  ASSERT_EQ(0, table.firstInSet(kCrc, key.data(), &r, 8));
  ASSERT_EQ(0, table.nextRecord(kCrc, &r));
  EXPECT_EQ(4u, r.reserved2);
  ASSERT_EQ(0, table.nextRecord(kCrc, &r));
  EXPECT_EQ(1u, r.reserved2);
  EXPECT_EQ(TCT_NO_CURRENT, table.nextInSet(kCrc, &r));    // the walk is an ordered one now
  EXPECT_EQ(TCT_NO_CURRENT, table.nextRecord(kAfid, &r));  // and on index 0

  key = Key(table, kAfid, 4);
  EXPECT_EQ(TCT_NOT_FOUND, table.getGTERecord(kAfid, key.data(), &r));
  EXPECT_NE(0, table.noRecordFound());
  EXPECT_EQ(TCT_NO_CURRENT, table.deleteRecord());  // a failed read leaves no current record
  EXPECT_EQ(TCT_BAD_KEY, table.firstInSet(kCrc, key.data(), &r, 9));
  EXPECT_EQ(0, table.noRecordFound());
  char* cursor = key.data();
  int left = 7;  // a crc64 key needs 8 bytes
  EXPECT_LT(table.fillKeySegment(&cursor, &left, &r.crc64, 0, kCrc, 0), 0);
  EXPECT_EQ(key.data(), cursor);
  End();
}

// As the cache table expires candidates (crc64 to 0), re-points hits at
// another archive file and adds and deletes, all in the middle of a set walk.
TEST_P(EngineWalk, SetWalkMeetsEveryRecordOnceWhateverHappensToTheCurrentOne) {
  for (uint64_t tag = 1; tag <= 8; ++tag) Add(7, 1, tag);
  Add(0, 1, 10);
  Begin();
  const Tags seen = Walk(table, kCrc, 7, [&](const _CacheRecord& r) {
    const uint64_t tag = r.reserved2;
    if (tag == 2 || tag == 4) Rewrite(r, [](_CacheRecord& c) { c.crc64 = 0; });
    if (tag == 7) Rewrite(r, [](_CacheRecord& c) { c.crc64 = 9; });
    if (tag == 3) {
      Add(7, 1, 9);  // keeps the current record
      Rewrite(r, [](_CacheRecord& c) { c.archiveFileId = 8; });
    }
    if (tag == 5 || tag == 6) {
      ASSERT_EQ(0, table.deleteRecord());
      EXPECT_EQ(TCT_NO_CURRENT, table.deleteRecord());
    }
  });
  EXPECT_EQ((Tags{1, 2, 3, 4, 5, 6, 7, 8, 9}), seen);
  EXPECT_EQ((Tags{1, 3, 8, 9}), Walk(table, kCrc, 7));
  EXPECT_EQ((Tags{7}), Walk(table, kCrc, 9));
  EXPECT_EQ((Tags{1, 2, 4, 7, 8, 10, 9, 3}), Walk(table, kAfid, 0));
  // Every record of a key deleted during its walk.
  auto erase = [&](const _CacheRecord&) { ASSERT_EQ(0, table.deleteRecord()); };
  EXPECT_EQ((Tags{2, 4, 10}), Walk(table, kCrc, 0, erase));
  EXPECT_EQ((Tags{}), Walk(table, kCrc, 0));
  End();
  EXPECT_EQ(5, table.getRecordCount());
}

// Records moved ahead of the walk (passed over when met again) or behind it,
// rewritten under the other index only, and deleted one after the other.
TEST_P(EngineWalk, OrderedWalkMeetsEveryRecordOnceWhateverHappensToTheCurrentOne) {
  const uint32_t afids[] = {1, 1, 2, 2, 3, 3, 3, 4};
  for (uint64_t tag = 1; tag <= 8; ++tag) Add(5, afids[tag - 1], tag);
  Begin();
  const Tags seen = Walk(table, kAfid, 0, [&](const _CacheRecord& r) {
    const uint64_t tag = r.reserved2;
    if (tag == 1) Rewrite(r, [](_CacheRecord& c) { c.archiveFileId = 3; });
    if (tag == 3) Rewrite(r, [](_CacheRecord& c) { c.archiveFileId = 1; });
    if (tag == 4) Rewrite(r, [](_CacheRecord& c) { c.crc64 = 0; });
    EXPECT_EQ(0, tag == 2 || tag == 5 || tag == 6 ? table.deleteRecord() : 0);
  });
  EXPECT_EQ((Tags{1, 2, 3, 4, 5, 6, 7, 8}), seen);
  EXPECT_EQ((Tags{3, 4, 1, 7, 8}), Walk(table, kAfid, 0));
  EXPECT_EQ((Tags{4}), Walk(table, kCrc, 0));
  End();
  EXPECT_EQ((Tags{3, 4, 1, 7, 8}), Walk(table, kAfid, 0));
}

INSTANTIATE_TEST_SUITE_P(BatchAndIndexSettings, EngineWalk,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()));

// Seeded random sequences of adds, walks with rewrites and deletes, batches
// (committed and aborted), commits of the pending changes and reopens,
// checked against an in-memory model.
class EngineModel : public EngineTest, public ::testing::WithParamInterface<std::tuple<int, bool>> {
 protected:
  void SetUp() override {
    lazyAfid = filteredCrc = std::get<1>(GetParam());
    EngineTest::SetUp();
  }
  uint32_t Pick(uint32_t n) { return static_cast<uint32_t>(rng() % n); }
  // Archive files far apart, so that only numeric key order sorts them.
  uint32_t PickAfid() {
    static const uint32_t kAfids[] = {0, 2, 0x100, 0x10000, 0xFFFFFF00, 0xFFFFFFFF};
    return kAfids[Pick(6)];
  }

  // What Walk(table, index, key) should read, by tag (which grows with every
  // add, as record ids do).
  Tags Expected(int index, uint64_t key) const {
    Tags tags;
    for (const auto& [tag, r] : model)
      if (index == kCrc ? r.crc64 == key : r.archiveFileId >= key) tags.push_back(tag);
    const auto byAfid = [&](uint64_t a, uint64_t b) {
      return model.at(a).archiveFileId < model.at(b).archiveFileId;
    };
    if (index == kAfid) std::stable_sort(tags.begin(), tags.end(), byAfid);
    return tags;
  }

  // Checks the record a walk stands on and does something random to it.
  void Act(const _CacheRecord& r) {
    ASSERT_EQ(0, memcmp(&model.at(r.reserved2), &r, sizeof(r)));
    _CacheRecord c = r;
    switch (Pick(6)) {
      case 0:
        c.crc64 = Pick(6);
        break;
      case 1:
        c.archiveFileId = PickAfid();
        break;
      case 2:
        c.tagHdrCount += 1;
        break;
      case 3:
        ASSERT_EQ(0, table.deleteRecord());
        model.erase(r.reserved2);
        return;
      default:
        return;
    }
    ASSERT_EQ(0, table.modifyRecord(&c));
    model[r.reserved2] = c;
  }

  void Verify() {
    for (uint64_t crc = 0; crc < 6; ++crc) ASSERT_EQ(Expected(kCrc, crc), Walk(table, kCrc, crc));
    ASSERT_EQ(Expected(kAfid, 0), Walk(table, kAfid, 0));
    ASSERT_EQ(static_cast<long long>(model.size()), table.getRecordCount());
  }

  std::mt19937_64 rng{static_cast<uint64_t>(std::get<0>(GetParam()))};
  // `committed`: the model at the last commit of the pending changes, to
  // which an aborted batch takes the table back.
  std::map<uint64_t, _CacheRecord> model, committed;
  uint64_t nextTag = 1;
};

// A walk meets the records it would have met at its start, each once,
// whatever is done to the record it stands on.
TEST_P(EngineModel, RandomSequencesMatchTheModel) {
  for (int step = 0; step < 1500 && !HasFatalFailure(); ++step) {
    const uint32_t what = Pick(100);
    if (what < 30) {
      const uint64_t tag = nextTag++;
      model[tag] = Rec(Pick(6), PickAfid(), tag);
      ASSERT_EQ(0, table.addRecord(&model[tag]));
    } else if (what < 80) {
      const int index = what < 55 ? kCrc : kAfid;
      const uint32_t key = index == kCrc ? Pick(6) : PickAfid() + Pick(2);
      const Tags expected = Expected(index, key);
      EXPECT_EQ(expected, Walk(table, index, key, [&](const _CacheRecord& r) { Act(r); }));
    } else if (what < 94 && !table.InBatch()) {
      ASSERT_EQ(0, table.BeginBatch());
    } else if (what < 94) {
      const bool commit = Pick(3) != 0;
      ASSERT_EQ(0, table.EndBatch(commit));
      if (!commit) model = committed;  // with every change since the last commit
    } else if (!table.InBatch()) {
      if (what < 97) {
        ASSERT_EQ(0, table.CommitPending());
      } else {
        Reopen();
      }
      committed = model;
    }
  }
  ASSERT_EQ(0, table.InBatch() ? table.EndBatch(true) : 0);
  Verify();
  Reopen();
  Verify();
  // Walks inside a batch sweep out the stale entries they pass.
  ASSERT_EQ(0, table.BeginBatch());
  Verify();
  ASSERT_EQ(0, table.EndBatch(true));
  ASSERT_EQ(0, table.close());
  EXPECT_EQ(static_cast<long long>(model.size()), RawEntries(base + ".dat", "index1"));
}

INSTANTIATE_TEST_SUITE_P(SeedsAndIndexSettings, EngineModel,
                         ::testing::Combine(::testing::Range(1, 7), ::testing::Bool()));

}  // namespace
}  // namespace enginetest
