// Drives a real table and a plain in-memory model of the cache rules with the
// same seeded operations and compares every result, every counter and,
// regularly, the whole table.
#include "CacheTableFixture.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <tuple>

namespace cldbtest {
namespace {

// The rules over a vector of records kept in insertion order; a walk under a
// key visits the live records of that key in that order.
class CacheModel {
 public:
  struct Row {
    uint64_t id;
    _CacheRecord rec;
  };

  uint32_t nAge = 0;
  uint32_t expirySeconds = 0;
  uint32_t backupStart = 0;
  int sigType = 0;
  std::map<unsigned int, unsigned int>* valid = nullptr;
  std::map<unsigned int, unsigned int>* recopied = nullptr;
  std::map<int, int>* inactive = nullptr;
  _stCLDBStates stats;
  std::vector<Row> rows;

  int Query(const CacheRecordRef& q, uint32_t now) {
    const unsigned long long key = KeyOf(q);
    _CacheRecord* taken = nullptr;
    bool any = false;
    for (Row& row : rows) {
      _CacheRecord& r = row.rec;
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
        ++stats.expired;
        Expire(r);
      } else if (nAge == 0 || uint32_t(q.ArchivingTime - r.ArchivingTime + 600) < nAge) {
        taken = &r;
        break;
      } else {
        ++stats.aged;
        Expire(r);
      }
    }
    if (!any) ++stats.crcNotFound;
    if (taken == nullptr || !MayReference(*taken, q)) return -1;
    taken->LastUpdateTime = now;
    taken->archiveFileId = q.archiveFileId;
    return 0;
  }

  int Add(const CacheRecordRef& ref, uint32_t now) {
    if (Row* row = Search(ref)) {
      row->rec.LastUpdateTime = now;
      return 0;
    }
    _CacheRecord r{};
    r.tagHdrCount = ref.tagHdrCount;
    r.crc64 = KeyOf(ref);
    memcpy(r.Signature, ref.Signature, 64);
    r.size = ref.size;
    r.archiveFileId = ref.archiveFileId;
    r.ArchivingTime = ref.ArchivingTime;
    r.LastUpdateTime = r.InsertedTime = now;
    r.Flags = sigType;
    r.subStoreID = ref.subStoreID;
    rows.push_back({nextId_++, r});
    return 0;
  }

  int Update(const CacheRecordRef& ref, uint32_t now) {
    Row* row = Search(ref);
    if (row == nullptr) return -1;
    row->rec.LastUpdateTime = now;
    return 0;
  }

  int Delete(const CacheRecordRef& ref) {
    Row* row = Search(ref);
    if (row == nullptr) return -1;
    rows.erase(rows.begin() + (row - rows.data()));
    return 0;
  }

  void Mark(uint32_t afileId) {
    for (Row& row : rows)
      if (row.rec.archiveFileId == afileId && !(row.rec.Flags & CACHE_FLAG_EXPIRED))
        Expire(row.rec);
  }

  void CleanUp() {
    rows.erase(std::remove_if(rows.begin(), rows.end(),
                              [](const Row& row) {
                                return row.rec.crc64 == 0 &&
                                       (row.rec.Flags & CACHE_FLAG_EXPIRED);
                              }),
               rows.end());
  }

  unsigned int Least() const {
    unsigned int least = 0;
    for (size_t i = 0; i < rows.size(); ++i)
      if (i == 0 || rows[i].rec.archiveFileId < least) least = rows[i].rec.archiveFileId;
    return least;
  }

  // The table's image in archive-file order (then insertion order).
  std::vector<_CacheRecord> Image() const {
    std::vector<Row> sorted = rows;
    std::stable_sort(sorted.begin(), sorted.end(), [](const Row& a, const Row& b) {
      return std::tie(a.rec.archiveFileId, a.id) < std::tie(b.rec.archiveFileId, b.id);
    });
    std::vector<_CacheRecord> out;
    for (const Row& row : sorted) out.push_back(row.rec);
    return out;
  }

 private:
  static unsigned long long KeyOf(const CacheRecordRef& ref) {
    const unsigned long long crc = CTkCRC64::Compute(ref.Signature, 64);
    return crc != 0 ? crc : 1;
  }
  static void Expire(_CacheRecord& r) {
    r.Flags |= CACHE_FLAG_EXPIRED;
    r.crc64 = 0;
  }

  Row* Search(const CacheRecordRef& ref) {
    const unsigned long long key = KeyOf(ref);
    for (Row& row : rows) {
      const _CacheRecord& r = row.rec;
      if (r.crc64 == key && !(r.Flags & CACHE_FLAG_EXPIRED) &&
          memcmp(r.Signature, ref.Signature, 64) == 0 && r.size == ref.size &&
          r.tagHdrCount == ref.tagHdrCount && r.ArchivingTime == ref.ArchivingTime &&
          r.archiveFileId == ref.archiveFileId)
        return &row;
    }
    return nullptr;
  }

  bool Reject(_CacheRecord& r, uint32_t& counter) {
    ++counter;
    Expire(r);
    return false;
  }

  bool MayReference(_CacheRecord& r, const CacheRecordRef& q) {
    if (r.subStoreID != 0 && q.subStoreID != 0 && r.subStoreID != q.subStoreID)
      return Reject(r, stats.offlineSubstores);
    if (inactive && r.subStoreID != 0 && inactive->count(r.subStoreID))
      return Reject(r, stats.offlineSubstores);
    if (recopied && recopied->count(r.archiveFileId)) return Reject(r, stats.foundPruned);
    if (valid && r.LastUpdateTime < backupStart) {
      if (valid->empty()) return false;
      if (!valid->count(r.archiveFileId)) return Reject(r, stats.foundPruned);
    }
    return true;
  }

  uint64_t nextId_ = 0;
};

struct ModelConfig {
  uint64_t seed;
  uint32_t nAge;
  uint32_t expiryDays;
  bool batches;
};

class CacheTableModel : public CacheTableTest, public ::testing::WithParamInterface<ModelConfig> {
 protected:
  static constexpr int kOperations = 3000;

  void SetUp() override {
    CacheTableTest::SetUp();
    const ModelConfig& c = GetParam();
    rng.seed(c.seed);
    model.nAge = c.nAge;
    model.expirySeconds = c.expiryDays * 86400;
    model.backupStart = kT0 + 400000;
    model.sigType = kSigType;
    OpenTable(c.nAge, c.expiryDays, model.backupStart);

    // Five unrelated signatures, two that collide with the first, and one
    // whose CRC-64 is 0.
    for (int i = 0; i < 5; ++i) pool.push_back(RandomSignature(rng));
    for (int i = 0; i < 2; ++i) pool.push_back(SignatureWithCrc(RandomSignature(rng), CrcOf(pool[0])));
    pool.push_back(SignatureWithCrc(RandomSignature(rng), 0));
  }

  uint32_t Pick(std::initializer_list<uint32_t> values) {
    return *(values.begin() + rng() % values.size());
  }
  int32_t PickSubStore() { return static_cast<int32_t>(Pick({0, 0, 1, 2})); }

  // A block near the pool: mostly shared sizes and tag counts, archiving
  // times around now including times after it.
  CacheRecordRef RandomRef() {
    const uint32_t now = TestNow();
    const uint32_t archived = now - Pick({0, 300, 700, 5000, 19500, 20000, 90000}) +
                              Pick({0, 0, 0, 600, 601, 2000});
    return MakeRef(pool[rng() % pool.size()], Pick({4096, 4096, 4096, 8192}),
                   Pick({0, 0, 0, 1}), archived, Pick({0, 1, 2, 3, 4, 5}), PickSubStore());
  }

  // A block inserted before (exactly, for twins) or a random one.
  CacheRecordRef KnownOrRandomRef(unsigned percentKnown) {
    if (!inserted.empty() && rng() % 100 < percentKnown) return inserted[rng() % inserted.size()];
    return RandomRef();
  }

  // Mostly blocks near the pool; sometimes a stored block asked exactly at,
  // or one second before, its expiry or age boundary.
  CacheRecordRef QueryRef() {
    CacheRecordRef q = KnownOrRandomRef(60);
    q.ArchivingTime = TestNow() + Pick({0, 0, 100, 600}) - Pick({0, 0, 601, 3000});
    if (!model.rows.empty() && rng() % 100 < 25) {
      const _CacheRecord& r = model.rows[rng() % model.rows.size()].rec;
      q = MakeRef(Signature(r.Signature, r.Signature + 64), r.size, r.tagHdrCount, 0, 0);
      const bool onAge = model.nAge != 0 && rng() % 2;
      q.ArchivingTime = (onAge ? r.ArchivingTime + model.nAge : r.LastUpdateTime +
                         model.expirySeconds) - 600 - Pick({0, 1});
    }
    q.archiveFileId = Pick({1, 2, 3, 4, 5});
    q.subStoreID = PickSubStore();
    return q;
  }

  template <typename Map, typename Key>
  Map* RandomMap(std::vector<Key> keys, unsigned percentInstalled, Map& storage) {
    storage.clear();
    const bool empty = rng() % 5 == 0;
    for (Key k : keys)
      if (!empty && rng() % 2) storage[k] = 1;
    return rng() % 100 < percentInstalled ? &storage : nullptr;
  }

  void ChangeLists() {
    model.valid = RandomMap<std::map<unsigned int, unsigned int>, unsigned int>(
        {0, 1, 2, 3, 4, 5}, 60, valid);
    model.recopied = RandomMap<std::map<unsigned int, unsigned int>, unsigned int>(
        {1, 4}, 40, recopied);
    model.inactive = RandomMap<std::map<int, int>, int>({0, 1, 2}, 40, inactive);
    table->setValidAfileIdMap(model.valid);
    table->setRecopiedAFileIdMap(model.recopied);
    table->setInactiveSubstoresIdMap(model.inactive);
  }

  void Step(int op) {
    const uint32_t now = TestNow();
    const unsigned kind = rng() % 100;
    const std::string where = "op " + std::to_string(op) + " kind " + std::to_string(kind);
    if (kind < 30) {
      CacheRecordRef ref = KnownOrRandomRef(30);
      inserted.push_back(ref);
      ASSERT_EQ(table->AddCacheRecord(ref, 0), model.Add(ref, now)) << where;
    } else if (kind < 65) {
      CacheRecordRef q = QueryRef();
      const int want = model.Query(q, now);
      ASSERT_EQ(table->QuerySignature(q), want) << where;
      hits += want == 0;
    } else if (kind < 72) {
      CacheRecordRef ref = KnownOrRandomRef(60);
      ASSERT_EQ(table->DeleteCacheRecord(ref), model.Delete(ref)) << where;
    } else if (kind < 79) {
      CacheRecordRef ref = KnownOrRandomRef(60);
      ASSERT_EQ(table->UpdateLastCacheTime(ref), model.Update(ref, now)) << where;
    } else if (kind < 84) {
      const uint32_t afileId = Pick({0, 1, 2, 3, 4, 5, 6});
      ASSERT_EQ(table->MarkRecordsExpired(afileId), 0) << where;
      model.Mark(afileId);
    } else if (kind < 89) {
      const std::atomic<bool> quit{rng() % 3 == 0};
      ASSERT_EQ(table->CleanUpExpiredSignatures(quit), 0) << where;
      if (!quit) model.CleanUp();
    } else if (kind < 95) {
      ChangeLists();
    } else {
      unsigned int least = 99;
      ASSERT_EQ(table->GetLeastAFileId(least), 0) << where;
      ASSERT_EQ(least, model.Least()) << where;
    }
    _stCLDBStates got;
    table->GetStats(got);
    ExpectSameStats(model.stats, got, where);
  }

  void CompareImages(const std::string& where) {
    const std::vector<_CacheRecord> want = model.Image();
    const std::vector<_CacheRecord> got = AllRecords();
    ASSERT_EQ(got.size(), want.size()) << where;
    for (size_t i = 0; i < want.size(); ++i)
      ASSERT_EQ(memcmp(&got[i], &want[i], sizeof(_CacheRecord)), 0) << where << " record " << i;
  }

  CacheModel model;
  std::vector<Signature> pool;
  std::vector<CacheRecordRef> inserted;
  std::map<unsigned int, unsigned int> valid, recopied;
  std::map<int, int> inactive;
  int hits = 0;
};

TEST_P(CacheTableModel, AgreesWithTheModelOnEveryResultAndCounter) {
  int batchLeft = 0;
  for (int op = 0; op < kOperations; ++op) {
    if (GetParam().batches && batchLeft == 0 && rng() % 4 == 0) {
      ASSERT_EQ(table->BeginBatch(), 0);
      batchLeft = 1 + rng() % 40;
    }
    TestNow() += rng() % 1500;
    ASSERT_NO_FATAL_FAILURE(Step(op));
    if (batchLeft > 0 && --batchLeft == 0) {
      ASSERT_EQ(table->EndBatch(true), 0);
    }
    if (op % 50 == 49) {
      ASSERT_NO_FATAL_FAILURE(CompareImages("after op " + std::to_string(op)));
    }
    if (HasFailure()) return;
  }
  if (batchLeft > 0) {
    ASSERT_EQ(table->EndBatch(true), 0);
  }
  CompareImages("at the end");
  // The run must have exercised the rules, not only misses.
  EXPECT_GT(model.stats.expired + model.stats.aged, 0u);
  EXPECT_GT(model.stats.mismatchedSignature, 0u);
  if (GetParam().expiryDays > 0) {
    EXPECT_GT(hits, 0);
    EXPECT_GT(model.stats.foundPruned + model.stats.offlineSubstores, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, CacheTableModel,
                         ::testing::Values(ModelConfig{1, 20000, 1, false},
                                           ModelConfig{2, 0, 2, true},
                                           ModelConfig{3, 20000, 1, true},
                                           ModelConfig{4, 5000, 0, false},
                                           ModelConfig{5, 0, 1, false},
                                           ModelConfig{6, 9000, 3, true}));

}  // namespace
}  // namespace cldbtest
