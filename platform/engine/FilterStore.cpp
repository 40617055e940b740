#include "platform/engine/FilterStore.h"

#include <lzma.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "platform/engine/Format.h"

namespace cldb {
namespace {

constexpr char kMagic[8] = {'K', 'F', 'I', 'L', 'T', 'E', 'R', '1'};
constexpr size_t kCrcLength = 8;

struct Header {
  char magic[8];
  uint64_t blocks;
  uint64_t added;
  uint64_t bitsPerKey;
  uint64_t crc;  // of the fields above
};

uint64_t Crc(const void* data, size_t length) {
  return lzma_crc64(static_cast<const uint8_t*>(data), length, 0);
}

std::string HeaderKey(int index) { return "filter" + std::to_string(index); }

std::string ChunkKey(int index, uint64_t chunk) {
  unsigned char number[kIdLength];
  PutId(chunk, number);
  return HeaderKey(index) + "/" + std::string(reinterpret_cast<char*>(number), sizeof(number));
}

MDB_val KeyVal(const std::string& key) { return Val(key.data(), key.size()); }

}  // namespace

namespace {

// Chunk `i` of index `index`'s stored filter into *filter.
bool LoadChunk(MDB_txn* txn, MDB_dbi meta, int index, uint64_t i, KeyFilter* filter) {
  const std::string key = ChunkKey(index, i);
  MDB_val k = KeyVal(key), d;
  if (mdb_get(txn, meta, &k, &d) != 0 || d.mv_size < kCrcLength) return false;
  const unsigned char* bytes = static_cast<const unsigned char*>(d.mv_data);
  const size_t length = d.mv_size - kCrcLength;
  uint64_t stored;
  memcpy(&stored, bytes + length, kCrcLength);
  return stored == Crc(bytes, length) && filter->Fill(i, bytes, length);
}

}  // namespace

bool LoadFilter(MDB_txn* txn, MDB_dbi meta, int index, KeyFilter* filter) {
  filter->Clear();
  const std::string headerKey = HeaderKey(index);
  MDB_val k = KeyVal(headerKey), d;
  Header header;
  if (mdb_get(txn, meta, &k, &d) != 0 || d.mv_size != sizeof(header)) return false;
  memcpy(&header, d.mv_data, sizeof(header));
  if (memcmp(header.magic, kMagic, sizeof(kMagic)) != 0 ||
      header.bitsPerKey != KeyFilter::kBitsPerKey || header.blocks == 0 ||
      header.crc != Crc(&header, offsetof(Header, crc)))
    return false;
  filter->Restore(header.blocks, header.added);
  for (uint64_t i = 0; i < filter->chunkCount(); ++i) {
    if (LoadChunk(txn, meta, index, i, filter)) continue;
    filter->Clear();
    return false;
  }
  return true;
}

int StoreFilter(MDB_txn* txn, MDB_dbi meta, int index, KeyFilter* filter) {
  Header header{};
  memcpy(header.magic, kMagic, sizeof(kMagic));
  header.blocks = filter->blockCount();
  header.added = filter->added();
  header.bitsPerKey = KeyFilter::kBitsPerKey;
  header.crc = Crc(&header, offsetof(Header, crc));
  const std::string headerKey = HeaderKey(index);
  MDB_val k = KeyVal(headerKey), d = Val(&header, sizeof(header));
  int rc = mdb_put(txn, meta, &k, &d, 0);
  std::vector<unsigned char> value;
  for (uint64_t i = 0; rc == 0 && i < filter->chunkCount(); ++i) {
    if (!filter->chunkDirty(i)) continue;
    size_t length = 0;
    const unsigned char* bytes = filter->chunk(i, &length);
    const uint64_t crc = Crc(bytes, length);
    value.assign(bytes, bytes + length);
    value.insert(value.end(), reinterpret_cast<const unsigned char*>(&crc),
                 reinterpret_cast<const unsigned char*>(&crc) + kCrcLength);
    const std::string key = ChunkKey(index, i);
    k = KeyVal(key);
    d = Val(value.data(), value.size());
    rc = mdb_put(txn, meta, &k, &d, 0);
  }
  // Chunks of a larger filter the index had before.
  for (uint64_t i = filter->chunkCount(); rc == 0; ++i) {
    const std::string key = ChunkKey(index, i);
    k = KeyVal(key);
    rc = mdb_del(txn, meta, &k, nullptr);
  }
  if (rc != MDB_NOTFOUND) return rc;
  filter->MarkClean();
  return 0;
}

int DropFilter(MDB_txn* txn, MDB_dbi meta, int index) {
  const std::string headerKey = HeaderKey(index);
  MDB_val k = KeyVal(headerKey);
  const int rc = mdb_del(txn, meta, &k, nullptr);
  return rc == MDB_NOTFOUND ? 0 : rc;
}

}  // namespace cldb
