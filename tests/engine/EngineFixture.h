// Shared set-up of the engine tests: a table with the cache table's record
// layout and indexes, declared directly to the engine, records tagged so
// walks can be compared, and raw access to the table file and its seal.
#pragma once

#include <gtest/gtest.h>
#include <lmdb.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "cldb/CLDBTypes.h"
#include "platform/CTkCRC64.h"
#include "platform/TCtreeTable.h"

namespace enginetest {

enum { kCrc = 0, kAfid = 1 };

// Walks in the tests stop after this many records, so a walk that goes
// round in circles fails instead of hanging.
constexpr size_t kWalkLimit = 100000;

// The cache table's schema; `recordLength` and `spareType` vary it.
class TestTable : public TCtreeTable {
 public:
  int Declare(const std::string& base, unsigned recordLength = 120, short spareType = 59) {
    int rc = internalInitialize(base.c_str(), 0, 12, 2, 2, recordLength, recordLength);
    static const struct {
      const char* name;
      unsigned long offset;
      short type, length;
    } kFields[] = {{"Spare", 0, 59, 4},          {"tagHdrCount", 4, 59, 4},
                   {"crc64", 8, 239, 8},         {"Signature", 16, 128, 64},
                   {"size", 80, 239, 8},         {"archiveFileId", 88, 59, 4},
                   {"ArchivingTime", 92, 59, 4}, {"LastUpdateTime", 96, 59, 4},
                   {"InsertedTime", 100, 59, 4}, {"Flags", 104, 59, 4},
                   {"subStoreID", 108, 59, 4},   {"reserved2", 112, 239, 8}};
    for (const auto& f : kFields)
      rc |= setNextField(f.name, f.offset, f.offset == 0 ? spareType : f.type, f.length);
    rc |= setNextIndex("crc64", 8, 0, 1, 0, 0, 1, kCrc);
    rc |= setNextIndex("archiveFileId", 4, 0, 1, 0, 0, 1, kAfid);
    rc |= setNextSegment(2, 8, 1);
    rc |= setNextSegment(5, 4, 1);
    return rc | initializeComplete();
  }
  void registerTable() override {
    ++registered;
    internalRegisterTable(1000, 20, 1000);
  }
  int registered = 0;
};

// A record whose `reserved2` carries a tag that names it in the tests.
inline _CacheRecord Rec(uint64_t crc, uint32_t afid, uint64_t tag) {
  _CacheRecord r{};
  r.crc64 = crc;
  r.archiveFileId = afid;
  r.reserved2 = tag;
  memset(r.Signature, static_cast<int>(tag & 0xff), sizeof(r.Signature));
  return r;
}

inline std::array<char, 8> CrcKey(TCtreeTable& t, uint64_t crc) {
  std::array<char, 8> key{};
  char* cursor = key.data();
  int left = static_cast<int>(key.size());
  EXPECT_EQ(8, t.fillKeySegment(&cursor, &left, &crc, 0, kCrc, 0));
  return key;
}

inline std::array<char, 12> AfidKey(TCtreeTable& t, uint32_t afid) {
  std::array<char, 12> key{};
  char* cursor = key.data();
  int left = static_cast<int>(key.size());
  EXPECT_EQ(4, t.fillKeySegment(&cursor, &left, &afid, 0, kAfid, 0));
  EXPECT_EQ(8, t.finishKey(&cursor, &left, 1, 0));
  return key;
}

// Tags of the records under one crc64 key, in walk order.
inline std::vector<uint64_t> SetWalk(TCtreeTable& t, uint64_t crc) {
  std::vector<uint64_t> tags;
  auto key = CrcKey(t, crc);
  _CacheRecord r;
  for (int rc = t.firstInSet(kCrc, key.data(), &r, 8); rc == 0 && tags.size() < kWalkLimit;
       rc = t.nextInSet(kCrc, &r))
    tags.push_back(r.reserved2);
  EXPECT_NE(0, t.noRecordFound());
  return tags;
}

// Tags of the records from archive file `from` on, in index-1 order.
inline std::vector<uint64_t> OrderedWalk(TCtreeTable& t, uint32_t from) {
  std::vector<uint64_t> tags;
  auto key = AfidKey(t, from);
  _CacheRecord r;
  for (int rc = t.getGTERecord(kAfid, key.data(), &r); rc == 0 && tags.size() < kWalkLimit;
       rc = t.nextRecord(kAfid, &r))
    tags.push_back(r.reserved2);
  EXPECT_NE(0, t.noRecordFound());
  return tags;
}

// Raw LMDB access to a closed table file.
class RawFile {
 public:
  explicit RawFile(const std::string& dataFile) {
    EXPECT_EQ(0, mdb_env_create(&env_));
    mdb_env_set_maxdbs(env_, 16);
    mdb_env_set_mapsize(env_, size_t{1} << 32);
    EXPECT_EQ(0, mdb_env_open(env_, dataFile.c_str(), MDB_NOSUBDIR, 0644));
  }
  ~RawFile() { mdb_env_close(env_); }
  RawFile(const RawFile&) = delete;
  RawFile& operator=(const RawFile&) = delete;

  size_t LastTxnId() {
    MDB_envinfo info;
    mdb_env_info(env_, &info);
    return info.me_last_txnid;
  }
  // Runs fn(txn, dbi) on the named sub-database in a committed write txn.
  template <typename Fn>
  void Change(const char* db, Fn fn) {
    MDB_txn* txn;
    MDB_dbi dbi;
    ASSERT_EQ(0, mdb_txn_begin(env_, nullptr, 0, &txn));
    ASSERT_EQ(0, mdb_dbi_open(txn, db, 0, &dbi));
    fn(txn, dbi);
    ASSERT_EQ(0, mdb_txn_commit(txn));
  }

 private:
  MDB_env* env_ = nullptr;
};

inline std::string SealOf(const std::string& base) { return base + ".idx"; }

// Vouches for the data file as it now stands, as a clean close would: the
// seal's "size" and "crc64" lines are rewritten, its other lines kept. For
// tests that change a closed table behind the engine's back on purpose.
inline void Reseal(const std::string& base) {
  const std::string data = cldbtest::ReadFile(base + ".dat");
  std::istringstream seal(cldbtest::ReadFile(SealOf(base)));
  char crc[32];
  snprintf(crc, sizeof(crc), "crc64 %016llx",
           CTkCRC64::Compute(data.data(), static_cast<unsigned>(data.size())));
  std::string line, text;
  while (std::getline(seal, line)) {
    if (line.rfind("size ", 0) == 0) line = "size " + std::to_string(data.size());
    if (line.rfind("crc64 ", 0) == 0) line = crc;
    text += line + "\n";
  }
  ASSERT_NE(std::string::npos, text.find(crc)) << "no seal to rewrite";
  cldbtest::WriteFile(SealOf(base), text);
}

inline std::array<unsigned char, 8> BigEndian(uint64_t v) {
  std::array<unsigned char, 8> b{};
  for (int i = 7; i >= 0; --i, v >>= 8) b[i] = static_cast<unsigned char>(v);
  return b;
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, table.Declare(base));
    ASSERT_EQ(0, table.create());
  }
  void Add(uint64_t crc, uint32_t afid, uint64_t tag) {
    _CacheRecord r = Rec(crc, afid, tag);
    ASSERT_EQ(0, table.addRecord(&r));
  }
  // Closes the table and opens it again with a fresh object.
  void Reopen() {
    ASSERT_EQ(0, table.close());
    ASSERT_EQ(0, table.open(ZelIndexing::kReadWrite));
  }

  cldbtest::TempDir dir;
  std::string base = dir / "CacheTable";
  TestTable table;
};

}  // namespace enginetest
