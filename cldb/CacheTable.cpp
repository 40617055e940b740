#include "cldb/CacheTable.h"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstring>

#include "cldb/CLDBLog.h"
#include "cldb/CLDBNames.h"
#include "cldb/CLDBStats.h"
#include "cldb/CLDBTime.h"
#include "platform/CTkCRC64.h"
#include "platform/Clock.h"
#include "platform/EvDebug.h"
#include "platform/ZelPlatformInfo.h"

using cldb::LogTo;

namespace {

constexpr unsigned int kSignatureLength = sizeof(_CacheRecord::Signature);
using cldb::kSecondsPerDay;
using cldb::kTimeTolerance;

// Engine field-type codes of the stored schema.
constexpr short kTypeInt4 = 59;
constexpr short kTypeInt8 = 239;
constexpr short kTypeBytes = 128;

struct FieldDecl {
  const char* name;
  unsigned long offset;
  short type;
  short length;
};

// The stored schema, in declaration order. The field names are the member
// names of _CacheRecord, whose layout CLDBTypes.h pins down.
#define CLDB_FIELD(member, type) \
  { #member, offsetof(_CacheRecord, member), type, sizeof(_CacheRecord::member) }
const FieldDecl kFields[] = {
    CLDB_FIELD(Spare, kTypeInt4),         CLDB_FIELD(tagHdrCount, kTypeInt4),
    CLDB_FIELD(crc64, kTypeInt8),         CLDB_FIELD(Signature, kTypeBytes),
    CLDB_FIELD(size, kTypeInt8),          CLDB_FIELD(archiveFileId, kTypeInt4),
    CLDB_FIELD(ArchivingTime, kTypeInt4), CLDB_FIELD(LastUpdateTime, kTypeInt4),
    CLDB_FIELD(InsertedTime, kTypeInt4),  CLDB_FIELD(Flags, kTypeInt4),
    CLDB_FIELD(subStoreID, kTypeInt4),    CLDB_FIELD(reserved2, kTypeInt8),
};
#undef CLDB_FIELD
constexpr unsigned int kFieldCount = sizeof(kFields) / sizeof(kFields[0]);
constexpr short kCrc64Field = 2;
constexpr short kAfileIdField = 5;
static_assert(kFieldCount == 12, "twelve stored fields");

// The index-0 key of a signature. 0 is reserved for expired records.
unsigned long long KeyOf(const unsigned char* signature) {
  CTkCRC64 crc;
  crc.UpdateCRC64(signature, kSignatureLength);
  const unsigned long long value = crc.GetCRC64();
  return value != 0 ? value : 1;
}

unsigned long long KeyFor(const CacheRecordRef& ref, unsigned long long crc64) {
  return crc64 != 0 ? crc64 : KeyOf(ref.Signature);
}

template <typename T>
T Narrow(unsigned long value, T max) {
  return static_cast<T>(std::min<unsigned long>(value, static_cast<unsigned long>(max)));
}

}  // namespace

CCacheTable::CCacheTable() { memset(&record, 0, sizeof(record)); }

CCacheTable::~CCacheTable() = default;

// ---- set-up -------------------------------------------------------------------

int CCacheTable::Initialize(unsigned int modeValue, int signatureType, EvDebug* debugLog,
                            unsigned int ageLimit, unsigned int expiryDays,
                            unsigned int backupStart, bool isAuxCopy) {
  mode = modeValue;
  sigType = signatureType;
  log = debugLog;
  nAge = ageLimit;
  expirySeconds = expiryDays * kSecondsPerDay;
  newestStamp = backupStart - 1;
  StartJob(backupStart);
  auxCopy = isAuxCopy;
  cldb::Reset(stats);
  return 0;
}

void CCacheTable::StartJob(uint32_t start) {
  backupStartTime = start;
  newestStamp = cldb::Later(newestStamp, start - 1);
  jobListLoaded = false;
}

uint32_t CCacheTable::Stamp() {
  const uint32_t now = cldb::Later(ZelNow32(), backupStartTime);
  newestStamp = cldb::Later(newestStamp, now);
  return now;
}

int CCacheTable::initialize(const char* path) {
  static const char kName[] = "CCacheTable::intialize";
  fileName = path;
  const unsigned int recordLength = sizeof(_CacheRecord);
  if (internalInitialize(path, 0, kFieldCount, 2, 2, recordLength, recordLength) != 0) {
    LogTo(log, 1, "%s: Cache table initialization failed, nRet=%d", kName, 1);
    return 1;
  }
  // Every field is declared even after a failure; the sum reports any.
  int failed = 0;
  for (const FieldDecl& f : kFields) failed += setNextField(f.name, f.offset, f.type, f.length);
  if (failed != 0) {
    LogTo(log, 1, "%s: unable to set fields (record size - %lu)", kName,
          static_cast<unsigned long>(recordLength));
    return -1;
  }
  const short crcLength = sizeof(_CacheRecord::crc64);
  const short afileLength = sizeof(_CacheRecord::archiveFileId);
  if (setNextIndex("crc64", crcLength, 0, 1, 0, 0, 1, INDEX_CACHE_CRC64) != 0) {
    LogTo(log, 1, "%s: unable to set index(crc64) (Size - %lu)", kName, 8UL);
    return -1;
  }
  if (setNextIndex("archiveFileId", afileLength, 0, 1, 0, 0, 1, INDEX_CACHE_ARCHIVEFILEID) != 0) {
    LogTo(log, 1, "%s: unable to set index(archiveFileId) (Size - %lu)", kName, 4UL);
    return -1;
  }
  if (setNextSegment(kCrc64Field, crcLength, 1) != 0) {
    LogTo(log, 1, "%s: Unable to set segment indices(CRC64) (Size - %lu)", kName, 8UL);
    return -1;
  }
  if (setNextSegment(kAfileIdField, afileLength, 1) != 0) {
    LogTo(log, 1, "%s: Unable to set segment indices (Afileid)(Size - %lu)", kName, 4UL);
    return -1;
  }
  // Every hit re-points its record to the archive file of the running
  // backup; a lazy archive-file index turns that move into an append, and
  // the old entries go in one sweep when pruning walks their archive file.
  // Most blocks of a first backup are new: the crc64 filter answers their
  // queries without a descent.
  if (int rc = initializeComplete()) return rc;
  if (int rc = setLazyIndex(INDEX_CACHE_ARCHIVEFILEID)) return rc;
  return setFilteredIndex(INDEX_CACHE_CRC64);
}

void CCacheTable::registerTable() {
  static const char kName[] = "CCacheTable::registerTable";
  const char* section = cldb::ConfigSection(auxCopy);
  unsigned long buffers = 0;
  unsigned long nodeSize = 0;
  if (ZelPlatformInfo::getNumber(section, "CLDBCtreeBufferCount", &buffers) == 0)
    buffers = auxCopy ? 10000 : 1000;
  if (ZelPlatformInfo::getNumber(section, "CLDBCtreeNodeSize", &nodeSize) == 0)
    nodeSize = auxCopy ? 32 : 8;
  LogTo(log, 1, "%s: # of buffers [%lu] NodeSize - [%lu]", kName, buffers, nodeSize);
  setnodeSize(Narrow<int>(nodeSize, INT_MAX));
  // The engine counts buffers in a signed 16-bit value; larger settings
  // mean "as many as it can take".
  const short count = Narrow<short>(buffers, SHRT_MAX);
  internalRegisterTable(count, 20, count);
}

const char* CCacheTable::getTableType() { return "Single Instance Client Cache Table"; }

int CCacheTable::createHugeFile() { return 1; }

int CCacheTable::Open(ZelIndexing::TAccessEnum access) { return open(access); }

void CCacheTable::setValidAfileIdMap(std::map<unsigned int, unsigned int>* map) {
  validAfileIdMap = map;
}

void CCacheTable::setRecopiedAFileIdMap(std::map<unsigned int, unsigned int>* map) {
  recopiedAFileIdMap = map;
}

void CCacheTable::setInactiveSubstoresIdMap(std::map<int, int>* map) {
  inactiveSubstoresIdMap = map;
}

void CCacheTable::GetStats(_stCLDBStates& out) const { cldb::Snapshot(stats, out); }

// ---- reads --------------------------------------------------------------------------

int CCacheTable::ReadResult(int rc, const char* name, const char* what) {
  if (rc == 0) return 0;
  if (noRecordFound()) return -1;
  LogTo(log, 1, "%s:[ERROR] search for %s has failed. Ret code = %d (%s)", name, what, rc,
        errToString(rc));
  return -2;
}

int CCacheTable::FindFirstCrc64(unsigned long long crc64) {
  static const char kName[] = "CCacheTable::FindFirstCrc64";
  char key[sizeof(crc64)];
  char* cursor = key;
  int left = sizeof(key);
  if (fillKeySegment(&cursor, &left, &crc64, 0, INDEX_CACHE_CRC64, 0) < 0) {
    LogTo(log, 1, "%s: fillKeySegment failed for size field.", kName);
    return -1;
  }
  const int rc = firstInSet(INDEX_CACHE_CRC64, key, &record, sizeof(key));
  return ReadResult(rc, kName, "the md5");
}

int CCacheTable::FindNextCrc64() {
  return ReadResult(nextInSet(INDEX_CACHE_CRC64, &record), "CCacheTable::FindNextCrc64", "md5");
}

// `keyFailure` completes the key-build message, which differs per caller.
int CCacheTable::SeekAfileId(unsigned int afileId, const char* name, const char* keyFailure) {
  char key[12];  // the archive-file id, then the lowest position under it
  char* cursor = key;
  int left = sizeof(key);
  if (fillKeySegment(&cursor, &left, &afileId, 0, INDEX_CACHE_ARCHIVEFILEID, 0) < 0) {
    LogTo(log, 1, "%s: fillKeySegment failed%s", name, keyFailure);
    return -1;
  }
  if (finishKey(&cursor, &left, 1, 0) < 0) {
    TDebuggable::debug(1, "%s: finishKey failed ", name);
    return -1;
  }
  const int rc = getGTERecord(INDEX_CACHE_ARCHIVEFILEID, key, &record);
  return ReadResult(rc, name, "the INDEX_CACHE_ARCHIVEFILEID");
}

int CCacheTable::NextByAfileId(const char* name, const char* what) {
  return ReadResult(nextRecord(INDEX_CACHE_ARCHIVEFILEID, &record), name, what);
}

int CCacheTable::FindFirstRecordByAfileId(unsigned int afileId) {
  return SeekAfileId(afileId, "CCacheTable::FindFirstRecordByAfileId", " for size field.");
}

int CCacheTable::FindNextRecordByAfileId() {
  return NextByAfileId("CCacheTable::FindNextRecordByAfileId", "the INDEX_CACHE_ARCHIVEFILEID");
}

int CCacheTable::FindFirstRecord() { return SeekAfileId(1, "CCacheTable::FindFirstRecord", ""); }

int CCacheTable::FindNextRecord() {
  return NextByAfileId("CCacheTable::FindNextRecord", "the INDEX_CACHE_UPDATETIME");
}

// ---- lookup and insertion -----------------------------------------------------------

int CCacheTable::SearchRecord(CacheRecordRef& ref, unsigned long long crc64) {
  for (int rc = FindFirstCrc64(KeyFor(ref, crc64)); rc == 0; rc = FindNextCrc64()) {
    if ((record.Flags & CACHE_FLAG_EXPIRED) == 0 &&
        memcmp(record.Signature, ref.Signature, kSignatureLength) == 0 && record.size == ref.size &&
        record.tagHdrCount == ref.tagHdrCount && record.ArchivingTime == ref.ArchivingTime &&
        record.archiveFileId == ref.archiveFileId)
      return 0;
  }
  return -1;
}

int CCacheTable::ExpireSignature(_CacheRecord& rec) {
  _CacheRecord expired = rec;
  expired.Flags |= CACHE_FLAG_EXPIRED;
  expired.crc64 = 0;
  // A failed rewrite leaves the record live; the next query meets it again.
  modifyRecord(&expired);
  return 0;
}

// Rules for the candidate in `record`, first match decides. Ages are unsigned
// 32-bit differences: a record time after the query's by more than the
// tolerance wraps to a huge age and so counts as stale.
CCacheTable::Verdict CCacheTable::Judge(const CacheRecordRef& ref) {
  if (memcmp(record.Signature, ref.Signature, kSignatureLength) != 0) {
    cldb::Bump(stats.mismatchedSignature);
    return kSkip;
  }
  if (record.size != ref.size) {
    cldb::Bump(stats.mismatchedDataSize);
    return kSkip;
  }
  if (record.tagHdrCount != ref.tagHdrCount) {
    cldb::Bump(stats.mismatchedTagCount);
    return kSkip;
  }
  if (record.Flags & CACHE_FLAG_EXPIRED) {
    cldb::Bump(stats.expired);
    return kSkip;
  }
  if (uint32_t(ref.ArchivingTime - record.LastUpdateTime + kTimeTolerance) >= expirySeconds) {
    cldb::Bump(stats.expired);
    return kExpire;
  }
  if (nAge == 0 || uint32_t(ref.ArchivingTime - record.ArchivingTime + kTimeTolerance) < nAge)
    return kTake;
  cldb::Bump(stats.aged);
  return kExpire;
}

// Walks the key's set; 0 when a candidate was taken (it is then current).
int CCacheTable::TakeCandidate(const CacheRecordRef& ref, unsigned long long key) {
  int rc = FindFirstCrc64(key);
  if (rc != 0) {
    cldb::Bump(stats.crcNotFound);
    return -1;
  }
  for (; rc == 0; rc = FindNextCrc64()) {
    const Verdict verdict = Judge(ref);
    if (verdict == kTake) return 0;
    // The engine continues the set after a current record that left it.
    if (verdict == kExpire) ExpireSignature(record);
  }
  return -1;
}

bool CCacheTable::Reject(uint32_t& counter) {
  cldb::Bump(counter);
  ExpireSignature(record);
  return false;
}

// Whether the taken candidate may still be referenced by this job.
bool CCacheTable::MayReference(const CacheRecordRef& ref) {
  const int32_t subStore = record.subStoreID;
  if (subStore != 0 && ref.subStoreID != 0 && subStore != ref.subStoreID)
    return Reject(stats.offlineSubstores);
  if (inactiveSubstoresIdMap && subStore != 0 && inactiveSubstoresIdMap->count(subStore) != 0)
    return Reject(stats.offlineSubstores);
  if (recopiedAFileIdMap && recopiedAFileIdMap->count(record.archiveFileId) != 0)
    return Reject(stats.foundPruned);
  // Records inserted or hit during this job were checked when they were.
  if (!cldb::Before(record.LastUpdateTime, backupStartTime)) return true;
  // Nothing vouches for a record of an earlier job until this job's list is
  // in, and an empty list says nothing about any file: miss, keep the record.
  if (!jobListLoaded) return false;
  if (validAfileIdMap) {
    if (validAfileIdMap->empty()) return false;
    if (validAfileIdMap->count(record.archiveFileId) == 0) return Reject(stats.foundPruned);
  }
  return true;
}

int CCacheTable::QuerySignature(CacheRecordRef& ref) {
  static const char kName[] = "CCacheTable::QuerySignature";
  if (TakeCandidate(ref, KeyOf(ref.Signature)) != 0 || !MayReference(ref)) return -1;
  record.LastUpdateTime = Stamp();
  record.archiveFileId = ref.archiveFileId;
  if (modifyRecord(&record) != 0) {
    LogTo(log, -1, "%s: modify Record(LastUpdateTime) failed", kName);
    return -1;
  }
  return 0;
}

int CCacheTable::AddCacheRecord(CacheRecordRef& ref, unsigned long long crc64) {
  static const char kName[] = "CCacheTable::AddCacheRecord";
  const uint32_t now = Stamp();
  const unsigned long long key = KeyFor(ref, crc64);
  if (SearchRecord(ref, key) == 0) {
    LogTo(log, 3, "%s: Record found here already, updating LastUpdateTime and return here", kName);
    record.LastUpdateTime = now;
    if (modifyRecord(&record) != 0) {
      LogTo(log, -1, "%s: modify Record(LastUpdateTime) failed", kName);
      return -1;
    }
    return 0;
  }
  _CacheRecord fresh;
  memset(&fresh, 0, sizeof(fresh));
  fresh.tagHdrCount = ref.tagHdrCount;
  fresh.crc64 = key;
  memcpy(fresh.Signature, ref.Signature, kSignatureLength);
  fresh.size = ref.size;
  fresh.archiveFileId = ref.archiveFileId;
  fresh.ArchivingTime = ref.ArchivingTime;
  fresh.LastUpdateTime = now;
  fresh.InsertedTime = now;
  fresh.Flags = static_cast<uint32_t>(sigType);
  fresh.subStoreID = ref.subStoreID;
  return addRecord(&fresh);
}

int CCacheTable::UpdateLastCacheTime(CacheRecordRef& ref) {
  if (SearchRecord(ref, 0) != 0) {
    LogTo(log, -1, "%s: Search record failed", "CCacheTable::UpdateLastCacheTime()");
    return -1;
  }
  record.LastUpdateTime = Stamp();
  return modifyRecord(&record);
}

int CCacheTable::DeleteCacheRecord(CacheRecordRef& ref) {
  static const char kName[] = "CCacheTable::DeleteCacheRecord()";
  if (SearchRecord(ref, 0) != 0) {
    LogTo(log, -1, "%s: Search record failed", kName);
    return -1;
  }
  if (deleteRecord() != 0) {
    LogTo(log, -1, "%s: Delete record failed", kName);
    return -1;
  }
  return 0;
}

// ---- retirement -----------------------------------------------------------------------

int CCacheTable::MarkRecordsExpired(unsigned int afileId) {
  static const char kName[] = "CCacheTable::MarkRecordsExpired";
  for (int rc = FindFirstRecordByAfileId(afileId);; rc = FindNextRecordByAfileId()) {
    if (rc == -2) {
      LogTo(log, -1, "%s: [ERROR]Find record by Afile-id failed ", kName);
      return -1;
    }
    if (rc != 0 || record.archiveFileId != afileId) return 0;
    if ((record.Flags & CACHE_FLAG_EXPIRED) == 0) {
      // Moves the record to key 0 of the CRC index only; the walk's own
      // archive-file key is unchanged. A failed rewrite leaves it live.
      record.Flags |= CACHE_FLAG_EXPIRED;
      record.crc64 = 0;
      modifyRecord(&record);
    }
  }
}

int CCacheTable::CleanUpExpiredSignatures(const std::atomic<bool>& quit) {
  static const char kName[] = "CCacheTable::CleanUpExpiredSignatures";
  unsigned long long count = 0;
  int rc = FindFirstCrc64(0);
  if (rc == 0) LogTo(log, -1, "%s: === Started cleaning up expired signatuers ===", kName);
  // A find error ends the pass like the end of the set.
  for (; rc == 0; rc = FindNextCrc64()) {
    if (quit.load(std::memory_order_acquire)) {
      LogTo(log, -1, "%s: Quit-Pruning requested. Quiting clean-up expired signatuers ===", kName);
      return 0;
    }
    if ((record.Flags & CACHE_FLAG_EXPIRED) == 0) continue;
    const int er = deleteRecord();
    if (er != 0) {
      LogTo(log, -1, "%s: Delete record failed (er - %d)", kName, er);
      return -1;
    }
    ++count;
  }
  if (count != 0)
    LogTo(log, -1, "%s: === completed cleaning up expired signatuers (count %llu)===", kName,
          count);
  return 0;
}

int CCacheTable::GetLeastAFileId(unsigned int& afileId) {
  // In a batch of its own (unless one is open) the search deletes the stale
  // archive-file entries it passes, so that the next job does not meet them.
  cldb::TCtreeBatch batch(*this);
  const int found = FindFirstRecordByAfileId(0);
  batch.Commit();
  switch (found) {
    case 0:
      afileId = record.archiveFileId;
      return 0;
    case -1:
      afileId = 0;
      return 0;
    default:
      LogTo(log, -1, "%s:[ERROR] Failed..[AFile-id - %u]", "CCacheTable::GetLeastAFileId()",
            afileId);
      return -1;
  }
}

int CCacheTable::LowerStampsAfter(uint32_t ceiling) {
  static const char kName[] = "CCacheTable::LowerStampsAfter";
  // Rewriting LastUpdateTime moves no key, so the walk sees every record once.
  int rc = FindFirstRecordByAfileId(0);
  for (; rc == 0; rc = FindNextRecordByAfileId()) {
    if (!cldb::Before(ceiling, record.LastUpdateTime)) continue;
    record.LastUpdateTime = ceiling;
    if (const int er = modifyRecord(&record)) {
      LogTo(log, -1, "%s: modify Record(LastUpdateTime) failed (er - %d)", kName, er);
      return er;
    }
  }
  return rc == -2 ? -1 : 0;
}

int CCacheTable::MakeCompactDB() {
  static const char kName[] = "CCacheTable::MakeCompact";
  LogTo(log, 1, "%s: Making compact CLDB ....", kName);
  int rc = MakeCompact();
  if (rc != 0) {
    LogTo(log, 1, "%s: [ERROR] Compact Failed.(%d)...", kName, rc);
    return -1;
  }
  LogTo(log, 1, "%s: Compact completed....", kName);
  LogTo(log, 1, "%s: Reindexing CLDB ....", kName);
  rc = ReBuildIndex();
  if (rc != 0) {
    LogTo(log, 1, "%s: [ERROR] Reindexing Failedd.(%d)...", kName, rc);
    return -1;
  }
  LogTo(log, 1, "%s: Reindexing completed....", kName);
  return 0;
}
