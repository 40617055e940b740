// KeyFilter: a blocked Bloom filter over the keys of one index, held in
// memory so that looking up a key the index does not hold usually ends
// without a B-tree descent.
//
// MayContain is false only for a key that was never added since the last
// Reset: keys are never taken out, so a key whose last entry went stays
// "maybe" until the filter is rebuilt. That is the only direction in which
// a filter may err -- it may send a lookup to the index for nothing, never
// turn one away that would have found something.
//
// Each key sets kProbes bits inside one 64-byte block chosen by its hash,
// so a probe touches one cache line. At kBitsPerKey bits per key a full
// filter answers "maybe" for about 1% of absent keys; past capacity() keys
// that share grows, and the owner rebuilds the filter larger.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/Export.h"

class CLDB_EXPORT KeyFilter {
 public:
  static constexpr size_t kBitsPerKey = 12;

  // Empties the filter and sizes it for `capacity` keys (at least one block).
  void Reset(size_t capacity);
  // Frees the memory; MayContain then answers "maybe" for every key.
  void Clear();

  void Add(const void* key, size_t length);
  bool MayContain(const void* key, size_t length) const;

  size_t added() const { return added_; }  // Add calls since Reset
  size_t capacity() const { return capacity_; }
  bool full() const { return added_ > capacity_; }
  size_t bytes() const { return blocks_.size() * sizeof(Block); }

 private:
  struct alignas(64) Block {
    uint64_t words[8];
  };
  static constexpr int kProbes = 7;

  static uint64_t Hash(const void* key, size_t length);
  size_t BlockOf(uint64_t hash) const;

  std::vector<Block> blocks_;
  size_t added_ = 0;
  size_t capacity_ = 0;
};
