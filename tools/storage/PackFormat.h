// The format of a pack file: the data of one archive file, append-only.
//
//   file header, 64 bytes:
//     0  "CLDBPACK"            magic
//     8  u32 format version    (kPackFormatVersion)
//    12  u32 header size       (64)
//    16  u32 archive-file id
//    20  u32 generation        (0 when written by the job; garbage
//                               collection rewrites it under the next)
//    24  u32 record header size (96)
//    28  zero up to 56
//    56  u64 CRC-64 of bytes 0..55
//   then records, each a 96-byte header and the stored bytes:
//     0  u32 magic "BLK1"
//     4  u8  codec             (0 raw, 1 zstd), then three zero bytes
//     8  u32 raw size          (the block's size)
//    12  u32 stored size       (the bytes that follow)
//    16  64 bytes              SHA-512 of the raw block: its signature
//    80  u64 CRC-64 of the stored bytes
//    88  u64 CRC-64 of bytes 0..87
//
// Integers are little-endian. A block is stored zstd-compressed when that
// makes it smaller, else raw. A pack is self-describing: read from the
// start, it tells which blocks it holds, so the index in the storage
// database can be checked against it. A reader refuses a pack of a newer
// format version rather than guess.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ZSTD_CCtx_s;
struct ZSTD_DCtx_s;

namespace cldb {

constexpr uint32_t kPackFormatVersion = 1;
constexpr size_t kPackHeaderSize = 64;
constexpr size_t kRecordHeaderSize = 96;
constexpr size_t kDigestSize = 64;

enum class Codec : uint8_t { kRaw = 0, kZstd = 1 };

struct PackHeader {
  uint32_t version = kPackFormatVersion;
  uint32_t afileId = 0;
  uint32_t generation = 0;
};

void EncodePackHeader(const PackHeader& header, unsigned char* out);
// "" when `in` is the header of a pack this program reads, else why not.
std::string DecodePackHeader(const unsigned char* in, PackHeader& header);

// "<afile>.pack" for generation 0, "<afile>.<generation>.pack" after.
std::string PackFileName(uint32_t afileId, uint32_t generation);
// The inverse; false for a name that is not a pack file's.
bool ParsePackFileName(const std::string& name, uint32_t& afileId, uint32_t& generation);

// zstd contexts, reused from block to block by one thread.
class Compressor {
 public:
  Compressor();
  ~Compressor();
  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;

  // Writes the record of the block (`digest`, `data`, `size` bytes) at
  // `out`, which has room for kRecordHeaderSize + size bytes; returns the
  // record's length.
  size_t EncodeRecord(const unsigned char* digest, const unsigned char* data, uint32_t size,
                      unsigned char* out);

 private:
  ZSTD_CCtx_s* context_;
};

class Decompressor {
 public:
  Decompressor();
  ~Decompressor();
  Decompressor(const Decompressor&) = delete;
  Decompressor& operator=(const Decompressor&) = delete;

  // Checks the record (`length` bytes read from a pack) against the block
  // it should hold. "" when it is intact, `block` then pointing at the
  // block's bytes: inside `record` for a raw block, else inside `scratch`;
  // else what is wrong. The stored bytes are checked by their CRC unless
  // `checkCrc` is false, never by the block's digest: a caller that hashes
  // the block to prove its content may skip the CRC.
  std::string DecodeRecord(const unsigned char* record, size_t length, const unsigned char* digest,
                           uint32_t size, std::vector<unsigned char>& scratch,
                           const unsigned char*& block, bool checkCrc = true);

 private:
  ZSTD_DCtx_s* context_;
};

}  // namespace cldb
