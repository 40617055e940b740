// TreeBuilder: turns the Pieces of the hashing pipeline, which arrive in no
// particular order, into the job's tree entries. An entry is handed out
// only once every block of it is recorded on the storage side, so a job's
// tree never names a block that was not stored or referenced.
//
// A file whose reading failed is left out (it was reported unreadable). A
// file that shrank while it was read is recorded up to the end of its first
// short segment. Paths are recorded relative to "/"; the root folder itself
// is not recorded. Used by the job's thread only.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "HashPipeline.h"
#include "storage/JobTree.h"

class TreeBuilder {
 public:
  explicit TreeBuilder(uint32_t blockSize) : blockSize_(blockSize) {}

  // Notes a Piece as it arrives; an entry without data is ready at once.
  void Add(const Piece& piece);
  // Every block of `piece` is recorded on the storage side.
  void Settled(const Piece& piece);
  // Entries that became ready since the last call.
  std::vector<cldb::TreeEntry> TakeReady();
  size_t ReadyCount() const { return ready_.size(); }

 private:
  struct File {
    cldb::TreeEntry entry;
    uint64_t settled = 0;                // segments recorded
    uint64_t shortSegment = UINT64_MAX;  // the first that came short
    uint64_t shortEnd = 0;               // where the file ended then
    bool failed = false;
  };

  void Ready(cldb::TreeEntry entry);
  void Finish(File& file, const WalkedEntry& walked);

  const uint32_t blockSize_;
  std::unordered_map<const WalkedEntry*, File> files_;
  std::vector<cldb::TreeEntry> ready_;
};
