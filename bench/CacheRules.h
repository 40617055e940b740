// The cache table's record rules, restated for the two reference stores so
// that they do the same work per operation as CCacheTable. They cover a
// table without an age limit or archive-file lists, as the benchmark runs it.
#pragma once

#include <time.h>

#include <cstdint>
#include <cstring>

#include "Backend.h"
#include "cldb/CLDBTypes.h"
#include "platform/CTkCRC64.h"

namespace bench {

constexpr uint32_t kTimeTolerance = 600;  // seconds added to a measured age
constexpr uint32_t kExpirySeconds = kExpiryDays * 86400;

inline uint32_t Now() { return static_cast<uint32_t>(time(nullptr)); }

// The CRC index key of a signature; 0 is kept for expired records.
inline uint64_t KeyOf(const unsigned char* signature) {
  const uint64_t crc = CTkCRC64::Compute(signature, sizeof(_CacheRecord::Signature));
  return crc != 0 ? crc : 1;
}

inline bool SameBlock(const _CacheRecord& rec, const CacheRecordRef& ref) {
  return memcmp(rec.Signature, ref.Signature, sizeof(rec.Signature)) == 0 && rec.size == ref.size &&
         rec.tagHdrCount == ref.tagHdrCount;
}

inline bool IsLive(const _CacheRecord& rec) { return (rec.Flags & CACHE_FLAG_EXPIRED) == 0; }

// A candidate that a query takes. One found stale would be expired by the
// cache table; the workload never has one, so the reference stores only
// pass over it.
inline bool IsHit(const _CacheRecord& rec, const CacheRecordRef& ref) {
  return SameBlock(rec, ref) && IsLive(rec) &&
         uint32_t(ref.ArchivingTime - rec.LastUpdateTime + kTimeTolerance) < kExpirySeconds;
}

// The record that an insertion refreshes instead of adding a new one.
inline bool IsEqual(const _CacheRecord& rec, const CacheRecordRef& ref) {
  return SameBlock(rec, ref) && IsLive(rec) && rec.ArchivingTime == ref.ArchivingTime &&
         rec.archiveFileId == ref.archiveFileId;
}

inline _CacheRecord NewRecord(const CacheRecordRef& ref, uint64_t crc, uint32_t now) {
  _CacheRecord rec;
  memset(&rec, 0, sizeof(rec));
  rec.tagHdrCount = ref.tagHdrCount;
  rec.crc64 = crc;
  memcpy(rec.Signature, ref.Signature, sizeof(rec.Signature));
  rec.size = ref.size;
  rec.archiveFileId = ref.archiveFileId;
  rec.ArchivingTime = ref.ArchivingTime;
  rec.LastUpdateTime = now;
  rec.InsertedTime = now;
  rec.Flags = kSigType;
  rec.subStoreID = ref.subStoreID;
  return rec;
}

}  // namespace bench
