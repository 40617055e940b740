// BlockReader: reads stored blocks back from the packs, for restore and
// verify.
//
// Locate asks the storage database where the copies of a block lie on a
// storage copy; Read reads one copy and checks it (PackFormat.h). A pack
// that garbage collection rewrote meanwhile is gone under its old name:
// Read then says so (Result::kMoved) and the caller locates the block
// again. Packs are opened through cldb::io, never through a symbolic link,
// and kept open while the reader lives.
//
// One object per thread: Locate locks the database, Read touches only the
// object's own descriptors and buffers.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "storage/PackFormat.h"
#include "storage/SqliteStorageBackend.h"

namespace cldb {

class BlockReader {
 public:
  struct Location {
    uint32_t afileId = 0;
    uint32_t generation = 0;
    uint64_t offset = 0;
    uint32_t length = 0;
  };
  enum class Result { kOk, kDamaged, kMoved };

  // `checkCrc` false leaves the stored bytes' CRC unchecked, for a caller
  // that checks each block's digest instead.
  explicit BlockReader(cldb::SqliteStorageBackend& storage, bool checkCrc = true)
      : storage_(storage), checkCrc_(checkCrc) {}
  ~BlockReader();
  BlockReader(const BlockReader&) = delete;
  BlockReader& operator=(const BlockReader&) = delete;

  // The copies of (digest, size) held on storage copy `copyId`. 0, or -1
  // with `error` set.
  int Locate(const unsigned char* digest, uint32_t size, uint32_t copyId,
             std::vector<Location>& copies, std::string& error);
  // Reads the copy at `location`; `block` then points at its `size` bytes
  // until the next read. kDamaged with `problem` set when the pack is
  // unreadable or the copy does not check out.
  Result Read(const Location& location, const unsigned char* digest, uint32_t size,
              const unsigned char*& block, std::string& problem);
  // Locate, then Read each copy until one is intact (locating again when a
  // pack moved). `problem` lists what was wrong with the others, or says
  // that no copy is held.
  bool Fetch(const unsigned char* digest, uint32_t size, uint32_t copyId,
             const unsigned char*& block, std::string& problem);

 private:
  // The open pack of (afile, generation), or -1 with `problem` set.
  int Pack(uint32_t afileId, uint32_t generation, bool& missing, std::string& problem);

  cldb::SqliteStorageBackend& storage_;
  const bool checkCrc_;
  std::map<std::pair<uint32_t, uint32_t>, int> packs_;
  std::vector<unsigned char> record_;
  std::vector<unsigned char> scratch_;
  Decompressor decompressor_;
};

}  // namespace cldb
