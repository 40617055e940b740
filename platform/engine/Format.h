// The table file's layout inside LMDB (docs/format.md describes it whole):
// the names of its sub-databases and meta keys, how record ids are encoded,
// and the limits that every part of the engine shares.
#pragma once

#include <lmdb.h>
#include <lzma.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace cldb {

constexpr int kMaxIndexes = 8;
constexpr int kMaxKeyLength = 128;
constexpr int kIdLength = 8;  // a record id: big-endian, so ids sort as numbers

// The file's layout version, the first line of its stored schema. Format 1
// stored records without their sums.
constexpr int kFileFormat = 2;
constexpr int kFirstFileFormat = 1;

// No lock file: the engine keeps writers apart itself (a lock on the data
// file, and the seal), and a read-only open then needs no write access to
// the folder. Without LMDB's locks a write transaction is not tied to the
// thread that began it.
constexpr unsigned kEnvFlags = MDB_NOSUBDIR | MDB_NOSYNC | MDB_NOTLS | MDB_NOLOCK;
constexpr unsigned kIndexFlags = MDB_DUPSORT | MDB_DUPFIXED;
constexpr unsigned kMaxDbs = 2 + kMaxIndexes;  // meta, records and the indexes

inline constexpr char kMetaDb[] = "meta";
inline constexpr char kRecordDb[] = "records";
inline constexpr char kSchemaKey[] = "schema";  // in kMetaDb: the schema's text
inline constexpr char kNextIdKey[] = "nextid";  // in kMetaDb: the id the next record gets

inline std::string IndexDbName(int index) { return "index" + std::to_string(index); }

// Every stored record is followed by its sum: the low 32 bits of the
// CRC-64/XZ of its id's bytes and then its own, little-endian. A record
// that fails it is damaged (or another id's) and is never used.
constexpr unsigned kSumLength = 4;

inline void PutSum(const unsigned char* idBytes, const void* record, size_t length,
                   unsigned char* out) {
  const uint64_t crc =
      lzma_crc64(static_cast<const uint8_t*>(record), length, lzma_crc64(idBytes, kIdLength, 0));
  for (unsigned i = 0; i < kSumLength; ++i) out[i] = static_cast<unsigned char>(crc >> (8 * i));
}

inline bool SumHolds(const unsigned char* idBytes, const void* record, size_t length) {
  unsigned char sum[kSumLength];
  PutSum(idBytes, record, length, sum);
  return memcmp(sum, static_cast<const unsigned char*>(record) + length, kSumLength) == 0;
}

inline void PutId(uint64_t id, unsigned char* out) {
  for (int i = kIdLength - 1; i >= 0; --i, id >>= 8) out[i] = static_cast<unsigned char>(id);
}

inline uint64_t GetId(const void* data) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint64_t id = 0;
  for (int i = 0; i < kIdLength; ++i) id = (id << 8) | p[i];
  return id;
}

inline MDB_val Val(const void* data, size_t size) { return MDB_val{size, const_cast<void*>(data)}; }

inline MDB_val TextVal(const char* text) { return Val(text, strlen(text)); }

}  // namespace cldb
