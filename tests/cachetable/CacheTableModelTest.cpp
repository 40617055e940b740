// Drives a real table and a plain in-memory model of the cache rules with the
// same seeded operations and compares every result, every counter and,
// regularly, the whole table.
#include <algorithm>
#include <atomic>
#include <map>

#include "CacheTableFixture.h"
#include "cldb/CLDBTime.h"

namespace cldbtest {
namespace {

// The rules over records kept in insertion order: a walk under a key, and
// the archive-file index within one file, visit records in that order.
struct CacheModel {
  uint32_t nAge = 0, expirySeconds = 0, backupStart = 0;
  uint32_t newest = 0;      // the newest stamp, at least backupStart - 1
  bool listLoaded = false;  // the current job's list
  std::map<unsigned int, unsigned int>* valid = nullptr;
  std::map<unsigned int, unsigned int>* recopied = nullptr;
  std::map<int, int>* inactive = nullptr;
  _stCLDBStates stats;
  std::vector<_CacheRecord> rows;
  int hits = 0;

  static unsigned long long KeyOf(const unsigned char* sig) {
    const unsigned long long crc = CrcOf(sig);
    return crc != 0 ? crc : 1;
  }
  static bool Expire(_CacheRecord& r, uint32_t& counter) {
    ++counter;
    r.Flags |= CACHE_FLAG_EXPIRED;
    r.crc64 = 0;
    return false;
  }

  int Query(const CacheRecordRef& q, uint32_t now) {
    const unsigned long long key = KeyOf(q.Signature);
    _CacheRecord* taken = nullptr;
    bool any = false;
    for (_CacheRecord& r : rows) {
      if (r.crc64 != key) continue;
      any = true;
      if (memcmp(r.Signature, q.Signature, 64) != 0) {
        ++stats.mismatchedSignature;
      } else if (r.size != q.size) {
        ++stats.mismatchedDataSize;
      } else if (r.tagHdrCount != q.tagHdrCount) {
        ++stats.mismatchedTagCount;
      } else if (r.Flags & CACHE_FLAG_EXPIRED) {
        ++stats.expired;
      } else if (uint32_t(q.ArchivingTime - r.LastUpdateTime + 600) >= expirySeconds) {
        Expire(r, stats.expired);
      } else if (nAge == 0 || uint32_t(q.ArchivingTime - r.ArchivingTime + 600) < nAge) {
        taken = &r;
        break;
      } else {
        Expire(r, stats.aged);
      }
    }
    stats.crcNotFound += !any;
    if (taken == nullptr || !MayReference(*taken, q)) return -1;
    taken->LastUpdateTime = Stamp(now);
    taken->archiveFileId = q.archiveFileId;
    ++hits;
    return 0;
  }

  bool MayReference(_CacheRecord& r, const CacheRecordRef& q) {
    if (r.subStoreID != 0 && q.subStoreID != 0 && r.subStoreID != q.subStoreID)
      return Expire(r, stats.offlineSubstores);
    if (inactive && r.subStoreID != 0 && inactive->count(r.subStoreID))
      return Expire(r, stats.offlineSubstores);
    if (recopied && recopied->count(r.archiveFileId)) return Expire(r, stats.foundPruned);
    if (!cldb::Before(r.LastUpdateTime, backupStart)) return true;
    if (!listLoaded) return false;
    if (valid) {
      if (valid->empty()) return false;
      if (!valid->count(r.archiveFileId)) return Expire(r, stats.foundPruned);
    }
    return true;
  }
  // The time a change made now stamps: never before the job's start.
  uint32_t Stamp(uint32_t now) {
    const uint32_t stamp = cldb::Later(now, backupStart);
    newest = cldb::Later(newest, stamp);
    return stamp;
  }
  void StartJob(uint32_t start) {
    backupStart = start;
    newest = cldb::Later(newest, start - 1);
    listLoaded = false;
  }

  // The live record equal to `ref`, or rows.end().
  std::vector<_CacheRecord>::iterator Search(const CacheRecordRef& ref) {
    const unsigned long long key = KeyOf(ref.Signature);
    return std::find_if(rows.begin(), rows.end(), [&](const _CacheRecord& r) {
      return r.crc64 == key && !(r.Flags & CACHE_FLAG_EXPIRED) &&
             memcmp(r.Signature, ref.Signature, 64) == 0 && r.size == ref.size &&
             r.tagHdrCount == ref.tagHdrCount && r.ArchivingTime == ref.ArchivingTime &&
             r.archiveFileId == ref.archiveFileId;
    });
  }
  int Add(const CacheRecordRef& ref, uint32_t now, uint32_t sigType) {
    if (Touch(ref, now) == 0) return 0;
    const uint32_t stamp = Stamp(now);
    rows.push_back({0,
                    ref.tagHdrCount,
                    KeyOf(ref.Signature),
                    {},
                    ref.size,
                    ref.archiveFileId,
                    ref.ArchivingTime,
                    stamp,
                    stamp,
                    sigType,
                    ref.subStoreID,
                    0});
    memcpy(rows.back().Signature, ref.Signature, 64);
    return 0;
  }
  int Touch(const CacheRecordRef& ref, uint32_t now) {
    auto it = Search(ref);
    if (it == rows.end()) return -1;
    it->LastUpdateTime = Stamp(now);
    return 0;
  }
  int Delete(const CacheRecordRef& ref) {
    auto it = Search(ref);
    if (it == rows.end()) return -1;
    rows.erase(it);
    return 0;
  }
  void Mark(uint32_t afileId) {
    uint32_t uncounted = 0;
    for (_CacheRecord& r : rows)
      if (r.archiveFileId == afileId) Expire(r, uncounted);
  }
  void CleanUp() {
    auto expired = [](auto& r) { return r.crc64 == 0 && (r.Flags & CACHE_FLAG_EXPIRED); };
    rows.erase(std::remove_if(rows.begin(), rows.end(), expired), rows.end());
  }
  // The table's image in archive-file order (then insertion order).
  std::vector<_CacheRecord> Image() const {
    std::vector<_CacheRecord> out = rows;
    std::stable_sort(out.begin(), out.end(), [](const _CacheRecord& a, const _CacheRecord& b) {
      return a.archiveFileId < b.archiveFileId;
    });
    return out;
  }
};

struct ModelConfig {
  uint64_t seed;
  uint32_t nAge, expiryDays;
  bool batches;
};

class CacheTableModel : public CacheTableTest, public ::testing::WithParamInterface<ModelConfig> {
 protected:
  void SetUp() override {
    CacheTableTest::SetUp();
    const ModelConfig& c = GetParam();
    rng.seed(c.seed);
    model.nAge = c.nAge;
    model.expirySeconds = c.expiryDays * 86400;
    model.newest = kT0 - 1;
    model.StartJob(kT0);
    OpenTable(c.nAge, c.expiryDays, model.backupStart);
    // Five unrelated signatures, two that collide with the first, one whose CRC-64 is 0.
    for (int i = 0; i < 5; ++i) pool.push_back(RandomSignature(rng));
    for (int i = 0; i < 2; ++i)
      pool.push_back(SignatureWithCrc(RandomSignature(rng), CrcOf(pool[0].data())));
    pool.push_back(SignatureWithCrc(RandomSignature(rng), 0));
  }

  uint32_t Pick(std::initializer_list<uint32_t> v) { return v.begin()[rng() % v.size()]; }

  // A block inserted before (`percentKnown` of the time), else one near the
  // pool with archiving times around now, including times after it.
  CacheRecordRef SomeRef(unsigned percentKnown) {
    if (!inserted.empty() && rng() % 100 < percentKnown) return inserted[rng() % inserted.size()];
    const uint32_t archived = TestNow() - Pick({0, 300, 700, 5000, 19500, 20000, 90000}) +
                              Pick({0, 0, 0, 600, 601, 2000});
    return MakeRef(pool[rng() % pool.size()], Pick({4096, 4096, 4096, 8192}), Pick({0, 0, 0, 1}),
                   archived, Pick({0, 1, 2, 3, 4, 5}), Pick({0, 0, 1, 2}));
  }

  // Refills `m` (sometimes empty) and installs it `percent` of the time.
  template <typename Map>
  Map* RandomMap(std::initializer_list<typename Map::key_type> keys, unsigned percent, Map& m) {
    m.clear();
    const bool empty = rng() % 5 == 0;
    for (auto k : keys)
      if (!empty && rng() % 2) m[k] = 1;
    return rng() % 100 < percent ? &m : nullptr;
  }

  void Step() {
    const uint32_t now = TestNow();
    const unsigned kind = rng() % 100;
    CacheRecordRef ref = SomeRef(kind < 30 ? 30 : 60);
    if (kind >= 30 && kind < 65) {  // a query: asked around now, re-pointed, any substore
      ref.ArchivingTime = now + Pick({0, 0, 100, 600}) - Pick({0, 0, 601, 3000});
      ref.archiveFileId = Pick({1, 2, 3, 4, 5});
      ref.subStoreID = Pick({0, 0, 1, 2});
    }
    if (kind < 30) {
      inserted.push_back(ref);
      ASSERT_EQ(model.Add(ref, now, kSigType), table->AddCacheRecord(ref, 0));
    } else if (kind < 65) {
      ASSERT_EQ(model.Query(ref, now), table->QuerySignature(ref));
    } else if (kind < 72) {
      ASSERT_EQ(model.Delete(ref), table->DeleteCacheRecord(ref));
    } else if (kind < 79) {
      ASSERT_EQ(model.Touch(ref, now), table->UpdateLastCacheTime(ref));
    } else if (kind < 84) {
      const uint32_t afileId = ref.archiveFileId + kind % 2;  // sometimes a file not held
      ASSERT_EQ(0, table->MarkRecordsExpired(afileId));
      model.Mark(afileId);
    } else if (kind < 89) {
      const std::atomic<bool> quit{rng() % 3 == 0};
      ASSERT_EQ(0, table->CleanUpExpiredSignatures(quit));
      if (!quit) model.CleanUp();
    } else if (kind < 93) {
      table->setValidAfileIdMap(model.valid = RandomMap({0u, 1u, 2u, 3u, 4u, 5u}, 60, valid));
      table->setRecopiedAFileIdMap(model.recopied = RandomMap({1u, 4u}, 40, recopied));
      table->setInactiveSubstoresIdMap(model.inactive = RandomMap({0, 1, 2}, 40, inactive));
      if (rng() % 4 != 0) {
        table->MarkJobListLoaded();
        model.listLoaded = true;
      }
    } else if (kind < 96) {  // the next job; sometimes it starts ahead of the clock
      model.StartJob(now + Pick({0, 0, 1, 300}));
      table->StartJob(model.backupStart);
      ASSERT_EQ(model.backupStart, table->JobStart());
      ASSERT_FALSE(table->JobListLoaded());
    } else {
      unsigned int least = 99;
      ASSERT_EQ(0, table->GetLeastAFileId(least));
      ASSERT_EQ(model.rows.empty() ? 0u : model.Image()[0].archiveFileId, least);
    }
    ExpectStats(model.stats);
    ASSERT_EQ(model.newest, table->NewestStamp());
  }

  void CompareImages() {
    const std::vector<_CacheRecord> want = model.Image(), got = AllRecords();
    ASSERT_EQ(want.size(), got.size());
    for (size_t i = 0; i < want.size(); ++i)
      ASSERT_EQ(0, memcmp(&got[i], &want[i], sizeof(_CacheRecord))) << "record " << i;
  }

  CacheModel model;
  std::vector<Signature> pool;
  std::vector<CacheRecordRef> inserted;
  std::map<unsigned int, unsigned int> valid, recopied;
  std::map<int, int> inactive;
};

TEST_P(CacheTableModel, AgreesWithTheModelOnEveryResultAndCounter) {
  for (int op = 0; op < 3000 && !HasFailure(); ++op) {
    if (GetParam().batches && rng() % 20 == 0) {  // batches of random length
      ASSERT_EQ(0, table->InBatch() ? table->EndBatch(true) : table->BeginBatch());
    }
    SCOPED_TRACE("op " + std::to_string(op));
    TestNow() += rng() % 1500;
    ASSERT_NO_FATAL_FAILURE(Step());
    if (op % 50 == 49) {
      ASSERT_NO_FATAL_FAILURE(CompareImages());
    }
  }
  // Every field reads back the same in another instance of the table.
  ASSERT_EQ(0, table->InBatch() ? table->EndBatch(true) : 0);
  ASSERT_EQ(0, table->close());
  OpenTable(GetParam().nAge, GetParam().expiryDays, model.backupStart);
  CompareImages();
  // The run must have exercised the rules, not only misses.
  EXPECT_GT(model.stats.expired + model.stats.aged, 0u);
  EXPECT_GT(model.stats.mismatchedSignature, 0u);
  const bool hitsPossible = GetParam().expiryDays > 0;
  EXPECT_TRUE(!hitsPossible || model.hits > 0);
  EXPECT_TRUE(!hitsPossible || model.stats.foundPruned + model.stats.offlineSubstores > 0);
}

INSTANTIATE_TEST_SUITE_P(
    Seeds, CacheTableModel,
    ::testing::Values(ModelConfig{1, 20000, 1, false}, ModelConfig{2, 0, 2, true},
                      ModelConfig{3, 20000, 1, true}, ModelConfig{4, 5000, 0, false},
                      ModelConfig{5, 0, 1, false}, ModelConfig{6, 9000, 3, true}));

}  // namespace
}  // namespace cldbtest
