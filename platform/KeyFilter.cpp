#include "platform/KeyFilter.h"

#include <algorithm>
#include <cstring>

namespace cldb {
namespace {

// The finaliser of MurmurHash3: every input bit reaches every output bit.
uint64_t Mix(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

}  // namespace

void KeyFilter::Reset(size_t capacity) {
  const size_t bits = (capacity ? capacity : 1) * kBitsPerKey;
  Size((bits + 511) / 512);
  std::fill(dirty_.begin(), dirty_.end(), 1);  // a new filter: nothing of it is stored
}

void KeyFilter::Size(size_t blockCount) {
  blocks_.assign(blockCount, Block{});
  dirty_.assign(chunkCount(), 0);
  added_ = 0;
  capacity_ = blockCount * 512 / kBitsPerKey;
}

void KeyFilter::Clear() {
  blocks_.clear();
  blocks_.shrink_to_fit();
  dirty_.clear();
  added_ = capacity_ = 0;
}

const unsigned char* KeyFilter::chunk(size_t i, size_t* length) const {
  const size_t at = i * kChunkBytes;
  *length = std::min(kChunkBytes, bytes() - at);
  return reinterpret_cast<const unsigned char*>(blocks_.data()) + at;
}

void KeyFilter::MarkClean() { std::fill(dirty_.begin(), dirty_.end(), 0); }

void KeyFilter::Restore(size_t blockCount, size_t added) {
  Size(blockCount);
  added_ = added;
}

bool KeyFilter::Fill(size_t i, const void* data, size_t length) {
  size_t expected = 0;
  if (i >= chunkCount() || (chunk(i, &expected), expected != length)) return false;
  memcpy(reinterpret_cast<unsigned char*>(blocks_.data()) + i * kChunkBytes, data, length);
  return true;
}

// Eight bytes at a time, the length folded in so that keys that differ
// only by trailing zeros hash apart.
uint64_t KeyFilter::Hash(const void* key, size_t length) {
  const unsigned char* p = static_cast<const unsigned char*>(key);
  uint64_t h = 0x9e3779b97f4a7c15ULL ^ length;
  for (; length >= 8; p += 8, length -= 8) {
    uint64_t word;
    memcpy(&word, p, 8);
    h = Mix(h ^ word);
  }
  if (length) {
    uint64_t word = 0;
    memcpy(&word, p, length);
    h = Mix(h ^ word ^ 0x5bd1e995ULL);
  }
  return h;
}

// The block from the high half of the hash (multiply-shift: no division).
size_t KeyFilter::BlockOf(uint64_t hash) const {
  return static_cast<size_t>(((hash >> 32) * blocks_.size()) >> 32);
}

// The bit positions: 9 bits each from a second mix of the hash.
void KeyFilter::Add(const void* key, size_t length) {
  if (blocks_.empty()) return;
  const uint64_t hash = Hash(key, length);
  const size_t at = BlockOf(hash);
  Block& block = blocks_[at];
  uint64_t bits = Mix(hash + 1);
  for (int i = 0; i < kProbes; ++i, bits >>= 9) block.words[(bits >> 6) & 7] |= 1ULL << (bits & 63);
  dirty_[at * sizeof(Block) / kChunkBytes] = 1;
  ++added_;
}

bool KeyFilter::MayContain(const void* key, size_t length) const {
  if (blocks_.empty()) return true;
  const uint64_t hash = Hash(key, length);
  const Block& block = blocks_[BlockOf(hash)];
  uint64_t bits = Mix(hash + 1);
  for (int i = 0; i < kProbes; ++i, bits >>= 9)
    if (!(block.words[(bits >> 6) & 7] & (1ULL << (bits & 63)))) return false;
  return true;
}

}  // namespace cldb
