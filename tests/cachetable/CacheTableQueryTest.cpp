// Signature lookup: the match rules in their order, with their counters.
// (Keys, collisions, insertion and the single-record operations: the model test.)
#include <map>

#include "CacheTableFixture.h"

namespace cldbtest {
namespace {

using CacheTableQuery = CacheTableTest;

enum Difference { kSame, kSize, kTags, kSizeAndTags, kOtherSignature, kFlagged };
enum Lists { kNone, kInactive, kRecopied, kValid, kValidEmpty, kUnloaded };
enum { kCrc, kAged, kExpired, kTagCount, kDataSize, kPruned = 8, kOffline };  // cldb::kCounters

// One stored block and one query for it. Times are seconds after kT0. The
// block is stored by a job that started at kT0, the query made by one that
// starts at kT0 + 1000, for which the lists apply to records last used
// before then; its list has been loaded (kUnloaded: not yet).
struct RuleCase {
  const char* what;
  uint32_t nAge, expiryDays;
  int32_t usedAt, archivedAt;  // the stored LastUpdateTime and ArchivingTime
  uint32_t afile;
  int32_t sub, askedAt, askedSub;  // askedAt: the query's ArchivingTime
  Difference diff;
  Lists lists;
  int want, counter;  // counter -1: nothing counted
  bool expires;
};

const RuleCase kRules[] = {
    {"hit", 0, 30, 0, 0, 1, 0, 0, 0, kSame, kNone, 0, -1, false},
    {"nothing under the key", 0, 30, 0, 0, 1, 0, 0, 0, kOtherSignature, kNone, -1, kCrc, false},
    {"size differs", 0, 30, 0, 0, 1, 0, 0, 0, kSize, kNone, -1, kDataSize, false},
    {"tag count differs", 0, 30, 0, 0, 1, 0, 0, 0, kTags, kNone, -1, kTagCount, false},
    {"size is judged first", 0, 30, 0, 0, 1, 0, 0, 0, kSizeAndTags, kNone, -1, kDataSize, false},
    {"flagged under its key", 0, 30, 0, 0, 1, 0, 0, 0, kFlagged, kNone, -1, kExpired, false},
    {"1 s inside expiry - 600", 0, 1, 0, 0, 1, 0, 86400 - 601, 0, kSame, kNone, 0, -1, false},
    {"at expiry - 600", 0, 1, 0, 0, 1, 0, 86400 - 600, 0, kSame, kNone, -1, kExpired, true},
    {"zero expiry", 0, 0, 0, 0, 1, 0, 0, 0, kSame, kNone, -1, kExpired, true},
    {"used 600 s after the query", 0, 30, 0, 0, 1, 0, -600, 0, kSame, kNone, 0, -1, false},
    {"used 601 s after: wraps", 0, 30, 0, 0, 1, 0, -601, 0, kSame, kNone, -1, kExpired, true},
    {"1 s inside the age limit", 1000, 30, 0, -399, 1, 0, 0, 0, kSame, kNone, 0, -1, false},
    {"at the age limit", 1000, 30, 0, -400, 1, 0, 0, 0, kSame, kNone, -1, kAged, true},
    {"no age limit", 0, 30, 0, -1600000000, 1, 0, 0, 0, kSame, kNone, 0, -1, false},
    {"archived 601 s after: wraps", 1000, 30, 0, 601, 1, 0, 0, 0, kSame, kNone, -1, kAged, true},
    {"substores differ", 0, 30, 0, 0, 1, 5, 0, 6, kSame, kNone, -1, kOffline, true},
    {"same substore", 0, 30, 0, 0, 1, 5, 0, 5, kSame, kNone, 0, -1, false},
    {"no substore stored", 0, 30, 0, 0, 1, 0, 0, 6, kSame, kNone, 0, -1, false},
    {"no substore asked", 0, 30, 0, 0, 1, 5, 0, 0, kSame, kNone, 0, -1, false},
    {"inactive substore", 0, 30, 0, 0, 1, 5, 0, 0, kSame, kInactive, -1, kOffline, true},
    {"substore 0 never inactive", 0, 30, 0, 0, 1, 0, 0, 0, kSame, kInactive, 0, -1, false},
    {"recopied archive file", 0, 30, 0, 0, 7, 0, 0, 0, kSame, kRecopied, -1, kPruned, true},
    {"valid archive file", 0, 30, 0, 0, 1, 0, 0, 0, kSame, kValid, 0, -1, false},
    {"archive file not valid", 0, 30, 0, 0, 2, 0, 0, 0, kSame, kValid, -1, kPruned, true},
    {"used at the backup start", 0, 30, 1000, 0, 2, 0, 1000, 0, kSame, kValid, 0, -1, false},
    {"empty valid list", 0, 30, 0, 0, 1, 0, 0, 0, kSame, kValidEmpty, -1, -1, false},
    {"empty list, used at start", 0, 30, 1000, 0, 1, 0, 1000, 0, kSame, kValidEmpty, 0, -1, false},
    {"no list loaded yet", 0, 30, 999, 0, 1, 0, 999, 0, kSame, kUnloaded, -1, -1, false},
    {"no list, used at start", 0, 30, 1000, 0, 1, 0, 1000, 0, kSame, kUnloaded, 0, -1, false},
};

TEST_F(CacheTableQuery, EachRuleDecidesCountsAndExpiresAsItShould) {
  std::map<int, int> inactive = {{5, 1}, {0, 1}};
  std::map<unsigned int, unsigned int> recopied = {{7, 1}}, valid = {{1, 1}}, none;
  int n = 0;
  for (const RuleCase& c : kRules) {
    SCOPED_TRACE(c.what);
    TestNow() = kT0 + c.usedAt;
    OpenTable(c.nAge, c.expiryDays, kT0, "T" + std::to_string(n++));
    table->setInactiveSubstoresIdMap(c.lists == kInactive ? &inactive : nullptr);
    table->setRecopiedAFileIdMap(c.lists == kRecopied ? &recopied : nullptr);
    table->setValidAfileIdMap(c.lists == kValid        ? &valid
                              : c.lists == kValidEmpty ? &none
                                                       : nullptr);
    const CacheRecordRef stored =
        MakeRef(RandomSignature(rng), 4096, 1, kT0 + c.archivedAt, c.afile, c.sub);
    Insert(stored);
    const unsigned long long key = CrcOf(stored.Signature);
    if (c.diff == kFlagged) {  // flagged, yet still under the live key
      ASSERT_EQ(0, table->FindFirstCrc64(key));
      Current().Flags |= CACHE_FLAG_EXPIRED;
      ASSERT_EQ(0, table->modifyRecord(&Current()));
    }
    table->StartJob(kT0 + 1000);
    if (c.lists != kUnloaded) table->MarkJobListLoaded();

    TestNow() = kT0 + 2000;
    CacheRecordRef q = c.diff == kOtherSignature ? Block() : stored;
    q.size += c.diff == kSize || c.diff == kSizeAndTags;
    q.tagHdrCount += c.diff == kTags || c.diff == kSizeAndTags;
    q.ArchivingTime = kT0 + c.askedAt;
    q.archiveFileId = 9;
    q.subStoreID = c.askedSub;
    const CacheRecordRef asked = q;
    EXPECT_EQ(c.want, table->QuerySignature(q));
    EXPECT_EQ(0, memcmp(&asked, &q, sizeof(q)));  // the query is never written into

    _stCLDBStates want;
    if (c.counter >= 0) want.*cldb::kCounters[c.counter] = 1;
    ExpectStats(want);
    const std::vector<_CacheRecord> live = UnderKey(key), dead = UnderKey(0);
    ASSERT_EQ(c.expires ? 0u : 1u, live.size());
    ASSERT_EQ(c.expires ? 1u : 0u, dead.size());
    const _CacheRecord& r = c.expires ? dead[0] : live[0];
    EXPECT_EQ(c.expires || c.diff == kFlagged, (r.Flags & CACHE_FLAG_EXPIRED) != 0);
    EXPECT_EQ(c.want == 0 ? kT0 + 2000 : kT0 + c.usedAt, r.LastUpdateTime);
    EXPECT_EQ(c.want == 0 ? 9u : c.afile, r.archiveFileId);
    EXPECT_EQ(kT0 + c.usedAt, r.InsertedTime);
    EXPECT_EQ(stored.ArchivingTime, r.ArchivingTime);
  }
}

}  // namespace
}  // namespace cldbtest
