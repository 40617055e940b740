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
//
// For storage the blocks are cut into chunks of kChunkBytes; the filter
// notes which chunks Add changed since the last MarkClean, so that its owner
// rewrites only those. The bytes are this machine's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace cldb {

class KeyFilter {
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
  size_t blockCount() const { return blocks_.size(); }

  // ---- storage ----------------------------------------------------------------
  static constexpr size_t kChunkBytes = 65536;
  size_t chunkCount() const { return (bytes() + kChunkBytes - 1) / kChunkBytes; }
  // Chunk `i`: its bytes (all chunks but the last are kChunkBytes long).
  const unsigned char* chunk(size_t i, size_t* length) const;
  bool chunkDirty(size_t i) const { return dirty_[i] != 0; }
  void MarkClean();
  // Sets up `blockCount` empty blocks that stand for `added` keys, every
  // chunk clean; then Fill copies stored chunks in. false when `length` is
  // not chunk `i`'s length.
  void Restore(size_t blockCount, size_t added);
  bool Fill(size_t i, const void* data, size_t length);

 private:
  struct alignas(64) Block {
    uint64_t words[8];
  };
  static constexpr int kProbes = 7;

  static uint64_t Hash(const void* key, size_t length);
  size_t BlockOf(uint64_t hash) const;

  void Size(size_t blockCount);

  std::vector<Block> blocks_;
  std::vector<unsigned char> dirty_;  // per chunk
  size_t added_ = 0;
  size_t capacity_ = 0;
};

}  // namespace cldb
