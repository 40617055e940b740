// Signature lookup: keys, the match rules in their order, their counters,
// and what a query does to the records it meets.
#include "CacheTableFixture.h"

#include <map>

namespace cldbtest {
namespace {

class CacheTableQuery : public CacheTableTest {
 protected:
  void Insert(const CacheRecordRef& ref) {
    CacheRecordRef copy = ref;
    ASSERT_EQ(table->AddCacheRecord(copy, 0), 0);
  }
  int Query(const CacheRecordRef& ref) {
    CacheRecordRef copy = ref;
    return table->QuerySignature(copy);
  }
  // A fresh block of archive file `afileId`, archived at kT0.
  CacheRecordRef Block(uint32_t afileId = 1, int32_t subStore = 0) {
    return MakeRef(RandomSignature(rng), 4096, 1, kT0, afileId, subStore);
  }
  static CacheRecordRef At(CacheRecordRef ref, uint32_t archivingTime) {
    ref.ArchivingTime = archivingTime;
    return ref;
  }
  bool IsExpired(const CacheRecordRef& ref) {
    for (const _CacheRecord& r : UnderKey(0))
      if (memcmp(r.Signature, ref.Signature, 64) == 0 && (r.Flags & CACHE_FLAG_EXPIRED)) return true;
    return false;
  }
  _CacheRecord Live(const CacheRecordRef& ref) {
    const std::vector<_CacheRecord> under = UnderKey(CrcOf(Signature(ref.Signature, ref.Signature + 64)));
    EXPECT_EQ(under.size(), 1u);
    return under.empty() ? _CacheRecord() : under[0];
  }
  _stCLDBStates want;
};

TEST_F(CacheTableQuery, EmptyTableCountsCrcNotFound) {
  OpenTable();
  EXPECT_EQ(Query(Block()), -1);
  want.crcNotFound = 1;
  ExpectSameStats(want, Stats());
}

TEST_F(CacheTableQuery, HitRefreshesAndRepointsTheRecordButNotTheQuery) {
  OpenTable();
  CacheRecordRef stored = Block(7);
  stored.ArchivingTime = kT0 - 50;
  Insert(stored);
  TestNow() = kT0 + 300;
  CacheRecordRef q = stored;
  q.ArchivingTime = kT0 + 300;
  q.archiveFileId = 9;
  const CacheRecordRef before = q;
  EXPECT_EQ(table->QuerySignature(q), 0);
  EXPECT_EQ(memcmp(&before, &q, sizeof(q)), 0);

  const _CacheRecord r = Live(stored);
  EXPECT_EQ(r.archiveFileId, 9u);
  EXPECT_EQ(r.LastUpdateTime, kT0 + 300);
  EXPECT_EQ(r.ArchivingTime, kT0 - 50);
  EXPECT_EQ(r.InsertedTime, kT0);
  ExpectSameStats(want, Stats());
  // A walk over the old archive file no longer meets it.
  const int rc = table->FindFirstRecordByAfileId(7);
  EXPECT_TRUE(rc == -1 || Current().archiveFileId != 7);
  EXPECT_EQ(table->FindFirstRecordByAfileId(9), 0);
}

TEST_F(CacheTableQuery, SignatureWithZeroCrcLivesUnderKeyOne) {
  OpenTable();
  const Signature sig = SignatureWithCrc(RandomSignature(rng), 0);
  Insert(MakeRef(sig, 1, 0, kT0, 3));
  const std::vector<_CacheRecord> under = UnderKey(1);
  ASSERT_EQ(under.size(), 1u);
  EXPECT_EQ(under[0].crc64, 1u);
  EXPECT_TRUE(UnderKey(0).empty());
  EXPECT_EQ(Query(MakeRef(sig, 1, 0, kT0, 4)), 0);
  ExpectSameStats(want, Stats());
}

TEST_F(CacheTableQuery, CollidingSignaturesShareAKeyAndCountEachOther) {
  OpenTable();
  const unsigned long long crc = CrcOf(RandomSignature(rng));
  const Signature a = SignatureWithCrc(RandomSignature(rng), crc);
  const Signature b = SignatureWithCrc(RandomSignature(rng), crc);
  ASSERT_NE(a, b);
  Insert(MakeRef(a, 1, 0, kT0, 1));
  Insert(MakeRef(b, 1, 0, kT0, 2));
  EXPECT_EQ(UnderKey(crc).size(), 2u);

  EXPECT_EQ(Query(MakeRef(b, 1, 0, kT0, 2)), 0);  // meets a first
  want.mismatchedSignature = 1;
  ExpectSameStats(want, Stats());
  EXPECT_EQ(Query(MakeRef(a, 1, 0, kT0, 1)), 0);
  ExpectSameStats(want, Stats());
  // Signature is judged before size: b's record counts only as a signature miss.
  EXPECT_EQ(Query(MakeRef(b, 2, 0, kT0, 2)), -1);
  want.mismatchedSignature = 2;
  want.mismatchedDataSize = 1;
  ExpectSameStats(want, Stats());
}

TEST_F(CacheTableQuery, SizeAndTagMismatchesAreCountedAndLeaveTheRecordAlone) {
  OpenTable();
  const CacheRecordRef stored = MakeRef(RandomSignature(rng), 100, 1, kT0, 1);
  Insert(stored);
  TestNow() = kT0 + 50;
  CacheRecordRef q = stored;
  q.size = 200;
  EXPECT_EQ(Query(q), -1);
  q.tagHdrCount = 2;  // size is judged first
  EXPECT_EQ(Query(q), -1);
  q.size = 100;
  EXPECT_EQ(Query(q), -1);
  want.mismatchedDataSize = 2;
  want.mismatchedTagCount = 1;
  ExpectSameStats(want, Stats());
  const _CacheRecord r = Live(stored);
  EXPECT_EQ(r.LastUpdateTime, kT0);
  EXPECT_EQ(r.Flags, static_cast<uint32_t>(kSigType));
}

TEST_F(CacheTableQuery, FlaggedCandidateUnderALiveKeyIsCountedSkippedAndNotRewritten) {
  OpenTable();
  const CacheRecordRef ref = Block(1);
  const unsigned long long crc = CrcOf(Signature(ref.Signature, ref.Signature + 64));
  _CacheRecord raw{};
  raw.crc64 = crc;
  memcpy(raw.Signature, ref.Signature, 64);
  raw.size = ref.size;
  raw.tagHdrCount = ref.tagHdrCount;
  raw.archiveFileId = 1;
  raw.ArchivingTime = raw.LastUpdateTime = kT0;
  raw.Flags = kSigType | CACHE_FLAG_EXPIRED;
  AddRaw(raw);
  Insert(ref);  // the flagged twin does not count as present
  ASSERT_EQ(UnderKey(crc).size(), 2u);

  CacheRecordRef q = ref;
  q.archiveFileId = 5;
  EXPECT_EQ(Query(q), 0);
  want.expired = 1;
  ExpectSameStats(want, Stats());
  const std::vector<_CacheRecord> under = UnderKey(crc);
  ASSERT_EQ(under.size(), 2u);
  EXPECT_EQ(memcmp(&under[0], &raw, sizeof(raw)), 0);
  EXPECT_EQ(under[1].archiveFileId, 5u);
}

TEST_F(CacheTableQuery, ExpiryBoundaryIsTheLimitLessTheTolerance) {
  OpenTable(0, 1);  // one day
  const CacheRecordRef stored = Block();
  Insert(stored);
  CacheRecordRef q = stored;
  q.ArchivingTime = kT0 + 86400 - 601;
  EXPECT_EQ(Query(q), 0);  // the clock stands: still last used at kT0
  ExpectSameStats(want, Stats());

  q.ArchivingTime = kT0 + 86400 - 600;
  EXPECT_EQ(Query(q), -1);
  want.expired = 1;
  ExpectSameStats(want, Stats());
  EXPECT_TRUE(UnderKey(CrcOf(Signature(q.Signature, q.Signature + 64))).empty());
  const std::vector<_CacheRecord> dead = UnderKey(0);
  ASSERT_EQ(dead.size(), 1u);
  EXPECT_TRUE(dead[0].Flags & CACHE_FLAG_EXPIRED);
  EXPECT_EQ(dead[0].LastUpdateTime, kT0);
  EXPECT_EQ(dead[0].archiveFileId, stored.archiveFileId);
}

TEST_F(CacheTableQuery, ZeroExpiryExpiresEveryMatchingCandidate) {
  OpenTable(0, 0);
  CacheRecordRef ref = Block(1);
  Insert(ref);
  ref.archiveFileId = 2;
  Insert(ref);
  EXPECT_EQ(Query(ref), -1);
  want.expired = 2;
  ExpectSameStats(want, Stats());
  EXPECT_EQ(UnderKey(0).size(), 2u);
}

TEST_F(CacheTableQuery, RecordTimesAfterTheQueryWrapToHugeAges) {
  OpenTable(1000, 1);
  const CacheRecordRef stored = Block();  // last used at kT0
  Insert(stored);
  CacheRecordRef q = stored;
  q.ArchivingTime = kT0 - 600;  // 600 s before the record: still age 0
  EXPECT_EQ(Query(q), 0);
  q.ArchivingTime = kT0 - 601;
  EXPECT_EQ(Query(q), -1);
  want.expired = 1;
  ExpectSameStats(want, Stats());

  // The same wrap on the archiving age.
  CacheRecordRef future = Block();
  future.ArchivingTime = kT0 + 601;
  Insert(future);
  future.ArchivingTime = kT0;
  EXPECT_EQ(Query(future), -1);
  want.aged = 1;
  ExpectSameStats(want, Stats());
  EXPECT_TRUE(IsExpired(future));
}

TEST_F(CacheTableQuery, AgeLimitBoundaryAndNoLimit) {
  OpenTable(1000);
  CacheRecordRef young = Block();
  young.ArchivingTime = kT0 - 399;  // age 399 + 600 < 1000
  CacheRecordRef old = Block();
  old.ArchivingTime = kT0 - 400;
  Insert(young);
  Insert(old);
  young.ArchivingTime = old.ArchivingTime = kT0;
  EXPECT_EQ(Query(young), 0);
  EXPECT_EQ(Query(old), -1);
  want.aged = 1;
  ExpectSameStats(want, Stats());
  EXPECT_TRUE(IsExpired(old));

  OpenTable(0);  // no limit: an ancient block still hits
  CacheRecordRef ancient = Block();
  ancient.ArchivingTime = 1;
  Insert(ancient);
  ancient.ArchivingTime = kT0;
  EXPECT_EQ(Query(ancient), 0);
}

TEST_F(CacheTableQuery, StaleCandidatesAreExpiredAndTheWalkGoesOn) {
  OpenTable(1000);
  CacheRecordRef ref = Block();
  for (uint32_t age : {5000u, 4000u, 10u}) {
    ref.ArchivingTime = kT0 - age;
    Insert(ref);
  }
  ref.ArchivingTime = kT0;
  ref.archiveFileId = 6;
  EXPECT_EQ(Query(ref), 0);
  want.aged = 2;
  ExpectSameStats(want, Stats());
  EXPECT_EQ(UnderKey(0).size(), 2u);
  EXPECT_EQ(Live(ref).ArchivingTime, kT0 - 10);
}

TEST_F(CacheTableQuery, SubstoresMustAgreeWhenBothAreGiven) {
  OpenTable();
  const CacheRecordRef other = Block(1, 5);
  Insert(other);
  CacheRecordRef q = other;
  q.subStoreID = 6;
  EXPECT_EQ(Query(q), -1);
  want.offlineSubstores = 1;
  ExpectSameStats(want, Stats());
  EXPECT_TRUE(IsExpired(other));

  const CacheRecordRef same = Block(1, 5), noneStored = Block(1, 0), noneAsked = Block(1, 5);
  for (const CacheRecordRef& r : {same, noneStored, noneAsked}) Insert(r);
  q = noneStored;
  q.subStoreID = 6;
  EXPECT_EQ(Query(same), 0);
  EXPECT_EQ(Query(q), 0);
  q = noneAsked;
  q.subStoreID = 0;
  EXPECT_EQ(Query(q), 0);
  ExpectSameStats(want, Stats());
}

TEST_F(CacheTableQuery, InactiveSubstoresAreOffline) {
  OpenTable();
  std::map<int, int> inactive = {{5, 1}, {0, 1}};
  table->setInactiveSubstoresIdMap(&inactive);
  const CacheRecordRef in5 = Block(1, 5), in0 = Block(1, 0);
  Insert(in5);
  Insert(in0);
  EXPECT_EQ(Query(in5), -1);
  EXPECT_EQ(Query(in0), 0);  // "no substore" is never inactive
  want.offlineSubstores = 1;
  ExpectSameStats(want, Stats());
  EXPECT_TRUE(IsExpired(in5));

  table->setInactiveSubstoresIdMap(nullptr);
  const CacheRecordRef again = Block(1, 5);
  Insert(again);
  EXPECT_EQ(Query(again), 0);
}

TEST_F(CacheTableQuery, RecopiedFilesArePrunedAndTheTakenCandidateDecides) {
  OpenTable();
  std::map<unsigned int, unsigned int> recopied = {{7, 1}};
  table->setRecopiedAFileIdMap(&recopied);
  CacheRecordRef ref = Block(7);
  Insert(ref);
  ref.archiveFileId = 8;
  Insert(ref);
  // The first candidate is taken and rejected; the later good one is not tried.
  EXPECT_EQ(Query(ref), -1);
  want.foundPruned = 1;
  ExpectSameStats(want, Stats());
  EXPECT_EQ(Query(ref), 0);
  ExpectSameStats(want, Stats());
  EXPECT_EQ(Live(ref).archiveFileId, 8u);
}

TEST_F(CacheTableQuery, ValidListAppliesOnlyToRecordsUsedBeforeTheBackup) {
  OpenTable(0, 30, kT0 + 1000);
  std::map<unsigned int, unsigned int> valid = {{1, 1}};
  table->setValidAfileIdMap(&valid);
  const CacheRecordRef listed = Block(1), unlisted = Block(2);
  Insert(listed);
  Insert(unlisted);
  TestNow() = kT0 + 1000;
  const CacheRecordRef fresh = Block(2);  // last used at the backup start
  Insert(fresh);

  EXPECT_EQ(Query(At(listed, TestNow())), 0);
  EXPECT_EQ(Query(At(unlisted, TestNow())), -1);
  EXPECT_EQ(Query(At(fresh, TestNow())), 0);
  want.foundPruned = 1;
  ExpectSameStats(want, Stats());
  EXPECT_TRUE(IsExpired(unlisted));
}

TEST_F(CacheTableQuery, EmptyValidListMissesOldRecordsWithoutTouchingThem) {
  OpenTable(0, 30, kT0 + 1000);
  std::map<unsigned int, unsigned int> valid;
  table->setValidAfileIdMap(&valid);
  const CacheRecordRef old = Block(1);
  Insert(old);
  TestNow() = kT0 + 1000;
  const CacheRecordRef fresh = Block(1);
  Insert(fresh);
  TestNow() = kT0 + 2000;

  EXPECT_EQ(Query(At(old, TestNow())), -1);
  EXPECT_EQ(Query(At(old, TestNow())), -1);
  ExpectSameStats(want, Stats());
  EXPECT_EQ(Live(old).LastUpdateTime, kT0);
  EXPECT_EQ(Query(At(fresh, TestNow())), 0);
  EXPECT_EQ(Live(fresh).LastUpdateTime, kT0 + 2000);

  table->setValidAfileIdMap(nullptr);
  EXPECT_EQ(Query(At(old, TestNow())), 0);
}

// ---- insertion and the single-record operations ---------------------------------

TEST_F(CacheTableQuery, InsertingTheSameBlockTwiceRefreshesTheOneRecord) {
  OpenTable();
  const CacheRecordRef ref = Block(3);
  Insert(ref);
  EXPECT_EQ(capture.Count("Record found here already"), 0u);
  TestNow() = kT0 + 50;
  Insert(ref);
  EXPECT_EQ(table->getRecordCount(), 1);
  const _CacheRecord r = Live(ref);
  EXPECT_EQ(r.LastUpdateTime, kT0 + 50);
  EXPECT_EQ(r.InsertedTime, kT0);
  EXPECT_TRUE(capture.Contains(3,
      "CCacheTable::AddCacheRecord: Record found here already, updating LastUpdateTime and "
      "return here"));
}

TEST_F(CacheTableQuery, NearTwinsAreAddedBeside) {
  OpenTable();
  CacheRecordRef ref = Block(1);
  Insert(ref);
  ASSERT_EQ(table->MarkRecordsExpired(1), 0);
  Insert(ref);  // the expired twin does not count
  ref.ArchivingTime += 1;
  Insert(ref);
  ref.archiveFileId = 2;
  Insert(ref);
  EXPECT_EQ(table->getRecordCount(), 4);
  EXPECT_EQ(capture.Count("Record found here already"), 0u);
}

TEST_F(CacheTableQuery, UpdateAndDeleteOfAnAbsentBlockFail) {
  OpenTable();
  CacheRecordRef ref = Block(1);
  Insert(ref);
  CacheRecordRef absent = ref;
  absent.archiveFileId = 2;
  EXPECT_EQ(table->UpdateLastCacheTime(absent), -1);
  EXPECT_TRUE(capture.Contains(-1, "CCacheTable::UpdateLastCacheTime(): Search record failed"));
  EXPECT_EQ(table->DeleteCacheRecord(absent), -1);
  EXPECT_TRUE(capture.Contains(-1, "CCacheTable::DeleteCacheRecord(): Search record failed"));

  ASSERT_EQ(table->MarkRecordsExpired(1), 0);  // expired records are not found either
  EXPECT_EQ(table->DeleteCacheRecord(ref), -1);
  EXPECT_EQ(table->getRecordCount(), 1);
}

TEST_F(CacheTableQuery, UpdateRefreshesOnlyTheLastUseTime) {
  OpenTable();
  CacheRecordRef ref = Block(4);
  Insert(ref);
  const _CacheRecord before = Live(ref);
  TestNow() = kT0 + 77;
  EXPECT_EQ(table->UpdateLastCacheTime(ref), 0);
  _CacheRecord after = Live(ref);
  EXPECT_EQ(after.LastUpdateTime, kT0 + 77);
  after.LastUpdateTime = before.LastUpdateTime;
  EXPECT_EQ(memcmp(&after, &before, sizeof(before)), 0);
}

TEST_F(CacheTableQuery, DeleteRemovesOnlyTheEqualRecord) {
  OpenTable();
  CacheRecordRef ref = Block(1);
  Insert(ref);
  ref.archiveFileId = 2;
  Insert(ref);
  ref.archiveFileId = 1;
  EXPECT_EQ(table->DeleteCacheRecord(ref), 0);
  EXPECT_EQ(Live(ref).archiveFileId, 2u);
  EXPECT_EQ(table->getRecordCount(), 1);
}

}  // namespace
}  // namespace cldbtest
