// The table file's layout inside LMDB (docs/format.md describes it whole):
// the names of its sub-databases and meta keys, how record ids are encoded,
// and the limits that every part of the engine shares.
#pragma once

#include <lmdb.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace cldb {

constexpr int kMaxIndexes = 8;
constexpr int kMaxKeyLength = 128;
constexpr int kIdLength = 8;  // a record id: big-endian, so ids sort as numbers

constexpr unsigned kEnvFlags = MDB_NOSUBDIR | MDB_NOSYNC | MDB_NOTLS;
constexpr unsigned kIndexFlags = MDB_DUPSORT | MDB_DUPFIXED;
constexpr unsigned kMaxDbs = 2 + kMaxIndexes;  // meta, records and the indexes

inline constexpr char kMetaDb[] = "meta";
inline constexpr char kRecordDb[] = "records";
inline constexpr char kSchemaKey[] = "schema";  // in kMetaDb: the schema's text
inline constexpr char kNextIdKey[] = "nextid";  // in kMetaDb: the id the next record gets

inline std::string IndexDbName(int index) { return "index" + std::to_string(index); }

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
