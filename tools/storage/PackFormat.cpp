#include "storage/PackFormat.h"

#include <lzma.h>
#include <zstd.h>

#include <cstring>
#include <new>

namespace cldb {
namespace {

const char kPackMagic[8] = {'C', 'L', 'D', 'B', 'P', 'A', 'C', 'K'};
const uint32_t kRecordMagic = 0x314B4C42;  // "BLK1"
const char kPackSuffix[] = ".pack";
// Fast, and still worth it on text and binaries; incompressible data goes
// through it at several GB/s.
const int kZstdLevel = 1;

void Put32(unsigned char* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}
void Put64(unsigned char* out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}
uint32_t Get32(const unsigned char* in) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | in[i];
  return value;
}
uint64_t Get64(const unsigned char* in) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | in[i];
  return value;
}

// CRC-64/XZ; liblzma's runs several times as fast as a table per byte.
uint64_t Crc(const unsigned char* data, size_t length) { return lzma_crc64(data, length, 0); }

bool ParseNumber(const std::string& digits, uint32_t& value) {
  if (digits.empty() || digits.size() > 10 || (digits.size() > 1 && digits[0] == '0')) return false;
  uint64_t number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<uint64_t>(c - '0');
  }
  if (number > UINT32_MAX) return false;
  value = static_cast<uint32_t>(number);
  return true;
}

}  // namespace

void EncodePackHeader(const PackHeader& header, unsigned char* out) {
  std::memset(out, 0, kPackHeaderSize);
  std::memcpy(out, kPackMagic, sizeof(kPackMagic));
  Put32(out + 8, header.version);
  Put32(out + 12, kPackHeaderSize);
  Put32(out + 16, header.afileId);
  Put32(out + 20, header.generation);
  Put32(out + 24, kRecordHeaderSize);
  Put64(out + 56, Crc(out, 56));
}

std::string DecodePackHeader(const unsigned char* in, PackHeader& header) {
  if (std::memcmp(in, kPackMagic, sizeof(kPackMagic)) != 0) return "not a pack file";
  if (Get64(in + 56) != Crc(in, 56)) return "its header is damaged";
  header.version = Get32(in + 8);
  if (header.version > kPackFormatVersion)
    return "written by a newer format version (" + std::to_string(header.version) +
           "; this program reads up to " + std::to_string(kPackFormatVersion) + ")";
  if (header.version == 0 || Get32(in + 12) != kPackHeaderSize ||
      Get32(in + 24) != kRecordHeaderSize)
    return "its header is damaged";
  header.afileId = Get32(in + 16);
  header.generation = Get32(in + 20);
  return "";
}

std::string PackFileName(uint32_t afileId, uint32_t generation) {
  std::string name = std::to_string(afileId);
  if (generation != 0) name += "." + std::to_string(generation);
  return name + kPackSuffix;
}

bool ParsePackFileName(const std::string& name, uint32_t& afileId, uint32_t& generation) {
  const size_t suffix = sizeof(kPackSuffix) - 1;
  if (name.size() <= suffix || name.compare(name.size() - suffix, suffix, kPackSuffix) != 0)
    return false;
  const std::string stem = name.substr(0, name.size() - suffix);
  const size_t dot = stem.find('.');
  generation = 0;
  if (dot == std::string::npos) return ParseNumber(stem, afileId);
  return ParseNumber(stem.substr(0, dot), afileId) &&
         ParseNumber(stem.substr(dot + 1), generation) && generation != 0;
}

Compressor::Compressor() : context_(ZSTD_createCCtx()) {
  if (context_ == nullptr) throw std::bad_alloc();
  ZSTD_CCtx_setParameter(context_, ZSTD_c_compressionLevel, kZstdLevel);
}

Compressor::~Compressor() { ZSTD_freeCCtx(context_); }

size_t Compressor::EncodeRecord(const unsigned char* digest, const unsigned char* data,
                                uint32_t size, unsigned char* out) {
  unsigned char* payload = out + kRecordHeaderSize;
  Codec codec = Codec::kRaw;
  size_t stored = size;
  // Room for one byte less than the block: zstd fails when it cannot do
  // better, and the block is kept raw.
  if (size > 1) {
    const size_t packed = ZSTD_compress2(context_, payload, size - 1, data, size);
    if (!ZSTD_isError(packed)) {
      codec = Codec::kZstd;
      stored = packed;
    }
  }
  if (codec == Codec::kRaw && size != 0) std::memcpy(payload, data, size);
  std::memset(out, 0, kRecordHeaderSize);
  Put32(out, kRecordMagic);
  out[4] = static_cast<unsigned char>(codec);
  Put32(out + 8, size);
  Put32(out + 12, static_cast<uint32_t>(stored));
  std::memcpy(out + 16, digest, kDigestSize);
  Put64(out + 80, Crc(payload, stored));
  Put64(out + 88, Crc(out, 88));
  return kRecordHeaderSize + stored;
}

Decompressor::Decompressor() : context_(ZSTD_createDCtx()) {
  if (context_ == nullptr) throw std::bad_alloc();
}

Decompressor::~Decompressor() { ZSTD_freeDCtx(context_); }

std::string Decompressor::DecodeRecord(const unsigned char* record, size_t length,
                                       const unsigned char* digest, uint32_t size,
                                       std::vector<unsigned char>& scratch,
                                       const unsigned char*& block, bool checkCrc) {
  if (length < kRecordHeaderSize || Get32(record) != kRecordMagic ||
      Get64(record + 88) != Crc(record, 88))
    return "the block's header is damaged";
  const auto codec = static_cast<Codec>(record[4]);
  const uint32_t stored = Get32(record + 12);
  if (Get32(record + 8) != size || std::memcmp(record + 16, digest, kDigestSize) != 0)
    return "the pack holds another block at this place";
  if (stored != length - kRecordHeaderSize || (codec != Codec::kRaw && codec != Codec::kZstd) ||
      (codec == Codec::kRaw && stored != size))
    return "the block's header is damaged";
  const unsigned char* payload = record + kRecordHeaderSize;
  if (checkCrc && Get64(record + 80) != Crc(payload, stored)) return "the block's data is damaged";
  if (codec == Codec::kRaw) {
    block = payload;
    return "";
  }
  scratch.resize(size);
  const size_t got = ZSTD_decompressDCtx(context_, scratch.data(), size, payload, stored);
  if (ZSTD_isError(got) || got != size) return "the block's data does not decompress";
  block = scratch.data();
  return "";
}

}  // namespace cldb
