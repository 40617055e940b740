#include "Workload.h"

#include <cstring>

namespace bench {
namespace {

enum Stream : uint64_t { kStored = 1, kNeverStored = 2, kHitPick = 3 };

uint64_t SplitMix(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

// A value (or a generator state) of its own for each index of a stream.
uint64_t Draw(Stream stream, uint64_t index) {
  uint64_t state = (uint64_t{stream} << 56) ^ index;
  return SplitMix(state);
}

// Block `index` of `stream`: its signature and the size and tag-header count
// that go with it (a hit must repeat all three).
void Describe(Stream stream, uint64_t index, uint32_t now, uint32_t afileId, CacheRecordRef& ref) {
  uint64_t state = Draw(stream, index);
  for (size_t i = 0; i < sizeof(ref.Signature); i += 8) {
    const uint64_t word = SplitMix(state);
    memcpy(ref.Signature + i, &word, 8);
  }
  const uint64_t traits = SplitMix(state);
  ref.size = 4096 + (traits % 124) * 1024;
  ref.tagHdrCount = static_cast<uint32_t>((traits >> 32) % 4);
  ref.ArchivingTime = now;
  ref.archiveFileId = afileId;
  ref.subStoreID = 0;
}

}  // namespace

Workload::Workload(uint64_t records) {
  afiles_ = static_cast<uint32_t>((records + kRecordsPerAfile - 1) / kRecordsPerAfile);
  records_ = uint64_t{afiles_} * kRecordsPerAfile;
}

void Workload::LoadBatch(uint64_t batch, uint32_t now, CacheRecordRef* out) const {
  for (int i = 0; i < kBatchSize; ++i) {
    const uint64_t index = batch * kBatchSize + i;
    Describe(kStored, index, now, LoadedAfileOf(index), out[i]);
  }
}

void Workload::MissBatch(Progress& at, uint32_t now, CacheRecordRef* out) const {
  for (int i = 0; i < kBatchSize; ++i) Describe(kNeverStored, at.misses++, now, 0, out[i]);
}

void Workload::HitBatch(Progress& at, uint32_t now, CacheRecordRef* out) const {
  const uint32_t afile = StartJobAfile(at);
  const uint64_t lower = records_ / 2;
  for (int i = 0; i < kBatchSize; ++i) {
    const uint64_t index = lower + Draw(kHitPick, at.hits++) % (records_ - lower);
    Describe(kStored, index, now, afile, out[i]);
  }
}

void Workload::InsertBatch(Progress& at, uint32_t now, CacheRecordRef* out) const {
  const uint32_t afile = StartJobAfile(at);
  for (int i = 0; i < kBatchSize; ++i)
    Describe(kStored, records_ + at.inserts++, now, afile, out[i]);
}

uint32_t Workload::NextAfileToExpire(Progress& at) const {
  if (at.expiredAfiles >= afiles_ / 2) return 0;
  return ++at.expiredAfiles;
}

void Workload::StoredBlock(uint64_t index, uint32_t now, uint32_t afileId,
                           CacheRecordRef& out) const {
  Describe(kStored, index, now, afileId, out);
}

void Workload::NeverStoredBlock(uint64_t index, uint32_t now, uint32_t afileId,
                                CacheRecordRef& out) const {
  Describe(kNeverStored, index, now, afileId, out);
}

}  // namespace bench
