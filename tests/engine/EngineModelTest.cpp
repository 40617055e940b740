// Seeded random sequences of adds, walks with rewrites and deletes, batches
// (committed and aborted) and reopens, checked against an in-memory model.
#include <map>
#include <random>
#include <tuple>

#include "EngineFixture.h"

namespace enginetest {
namespace {

using Tags = std::vector<uint64_t>;

// Records by tag; tags grow with every add, as the engine's record ids do.
struct Model {
  std::map<uint64_t, _CacheRecord> records;

  Tags Set(uint64_t crc) const {
    Tags tags;
    for (const auto& [tag, r] : records)
      if (r.crc64 == crc) tags.push_back(tag);
    return tags;
  }
  Tags Ordered(uint32_t from) const {
    std::vector<std::pair<uint32_t, uint64_t>> order;
    for (const auto& [tag, r] : records)
      if (r.archiveFileId >= from) order.emplace_back(r.archiveFileId, tag);
    std::sort(order.begin(), order.end());
    Tags tags;
    for (const auto& entry : order) tags.push_back(entry.second);
    return tags;
  }
};

class EngineModel : public EngineTest, public ::testing::WithParamInterface<int> {
 protected:
  uint32_t Pick(uint32_t n) { return static_cast<uint32_t>(rng() % n); }

  void AddRandom() {
    const uint64_t tag = nextTag++;
    _CacheRecord r = Rec(Pick(6), Pick(6), tag);
    ASSERT_EQ(0, table.addRecord(&r));
    model.records[tag] = r;
  }

  // One step's action on the record the walk stands on.
  void Act(const _CacheRecord& r) {
    _CacheRecord c = r;
    switch (Pick(6)) {
      case 0: c.crc64 = Pick(6); break;
      case 1: c.archiveFileId = Pick(6); break;
      case 2: c.tagHdrCount += 1; break;
      case 3:
        ASSERT_EQ(0, table.deleteRecord());
        model.records.erase(r.reserved2);
        return;
      default: return;
    }
    ASSERT_EQ(0, table.modifyRecord(&c));
    model.records[r.reserved2] = c;
  }

  // A walk visits the records it would have met at its start, each once,
  // whatever is done to the record it stands on.
  template <typename First, typename Next>
  void Walk(const Tags& expected, First first, Next next) {
    Tags seen;
    _CacheRecord r;
    int rc = first(&r);
    for (; rc == 0 && seen.size() <= expected.size(); rc = next(&r)) {
      seen.push_back(r.reserved2);
      ASSERT_EQ(0, memcmp(&model.records.at(r.reserved2), &r, sizeof(r)));
      Act(r);
      if (Pick(12) == 0) break;
    }
    ASSERT_LE(seen.size(), expected.size());
    if (rc != 0) {
      EXPECT_EQ(TCT_NOT_FOUND, rc);
      EXPECT_EQ(expected, seen);
    } else {
      EXPECT_EQ(Tags(expected.begin(), expected.begin() + seen.size()), seen);
    }
  }

  void SetWalkStep() {
    const uint64_t crc = Pick(6);
    auto key = CrcKey(table, crc);
    Walk(model.Set(crc), [&](_CacheRecord* r) { return table.firstInSet(kCrc, key.data(), r, 8); },
         [&](_CacheRecord* r) { return table.nextInSet(kCrc, r); });
  }

  void OrderedWalkStep() {
    const uint32_t from = Pick(7);
    auto key = AfidKey(table, from);
    Walk(
        model.Ordered(from),
        [&](_CacheRecord* r) { return table.getGTERecord(kAfid, key.data(), r); },
        [&](_CacheRecord* r) { return table.nextRecord(kAfid, r); });
  }

  void Verify() {
    for (uint64_t crc = 0; crc < 6; ++crc) ASSERT_EQ(model.Set(crc), SetWalk(table, crc));
    ASSERT_EQ(model.Ordered(0), OrderedWalk(table, 0));
    ASSERT_EQ(static_cast<long long>(model.records.size()), table.getRecordCount());
  }

  std::mt19937_64 rng{static_cast<uint64_t>(GetParam())};
  Model model, beforeBatch;
  uint64_t nextTag = 1;
};

TEST_P(EngineModel, RandomSequencesMatchTheModel) {
  for (int step = 0; step < 1500 && !HasFatalFailure(); ++step) {
    const uint32_t what = Pick(100);
    if (what < 30) {
      AddRandom();
    } else if (what < 55) {
      SetWalkStep();
    } else if (what < 80) {
      OrderedWalkStep();
    } else if (what < 86) {
      if (!table.InBatch()) {
        ASSERT_EQ(0, table.BeginBatch());
        beforeBatch = model;
      }
    } else if (what < 94) {
      if (!table.InBatch()) continue;
      const bool commit = Pick(3) != 0;
      ASSERT_EQ(0, table.EndBatch(commit));
      if (!commit) model = beforeBatch;
    } else if (what < 96) {
      if (!table.InBatch()) Reopen();
    } else {
      Verify();
    }
  }
  if (table.InBatch()) {
    ASSERT_EQ(0, table.EndBatch(true));
  }
  Verify();
  Reopen();
  Verify();
}

INSTANTIATE_TEST_SUITE_P(Seeds, EngineModel, ::testing::Range(1, 7));

}  // namespace
}  // namespace enginetest
