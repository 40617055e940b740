// Shared set-up of the cache-table tests: a table in a private folder, a
// captured log, a controllable clock, and signatures with chosen CRC-64s.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "TestSupport.h"
#include "cldb/CLDBStats.h"
#include "cldb/CacheTable.h"
#include "platform/CTkCRC64.h"
#include "platform/EvDebug.h"

namespace cldbtest {

using Signature = std::vector<unsigned char>;  // always 64 bytes

inline Signature RandomSignature(std::mt19937_64& rng) {
  Signature s(64);
  for (auto& b : s) b = static_cast<unsigned char>(rng());
  return s;
}

inline unsigned long long CrcOf(const unsigned char* sig) { return CTkCRC64::Compute(sig, 64); }

// A signature that starts with 56 bytes of `prefix` and whose CRC-64 is
// `target`. The last eight input bytes XOR into the register and are then
// shifted out by 64 linear, invertible zero-input steps of the reflected
// CRC, x -> (x >> 1) ^ (x & 1 ? P : 0), so they can be solved for.
inline Signature SignatureWithCrc(const Signature& prefix, unsigned long long target) {
  const uint64_t kPoly = 0xC96C5795D7870F42ULL;
  Signature s(prefix.begin(), prefix.begin() + 56);
  CTkCRC64 crc;
  crc.UpdateCRC64(s.data(), 56);
  uint64_t wanted = ~static_cast<uint64_t>(target);
  for (int i = 0; i < 64; ++i) wanted = (wanted >> 63) ? ((wanted ^ kPoly) << 1) | 1 : wanted << 1;
  const uint64_t tail = wanted ^ ~crc.GetCRC64();
  for (int i = 0; i < 8; ++i) s.push_back(static_cast<unsigned char>(tail >> (8 * i)));
  EXPECT_EQ(CrcOf(s.data()), target) << "CRC-64 forging assumes the reflected ECMA-182 CRC";
  return s;
}

inline CacheRecordRef MakeRef(const Signature& sig, uint64_t size, uint32_t tags,
                              uint32_t archivingTime, uint32_t afileId, int32_t subStore = 0) {
  CacheRecordRef r{{}, size, tags, archivingTime, afileId, subStore};
  memcpy(r.Signature, sig.data(), sizeof(r.Signature));
  return r;
}

class CacheTableTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kT0 = 1700000000;
  static constexpr int kSigType = 3;

  void TearDown() override { table.reset(); }

  // Defines the table `name` and creates it (or opens it when it exists).
  void OpenTable(uint32_t nAge = 0, uint32_t expiryDays = 30, uint32_t backupStart = 0,
                 const std::string& name = "CacheTable") {
    table = std::make_unique<CCacheTable>();
    ASSERT_EQ(table->Initialize(1, kSigType, &log, nAge, expiryDays, backupStart, false), 0);
    ASSERT_EQ(table->initialize((dir / name).c_str()), 0);
    int rc = table->create();
    if (rc == TCT_EXISTS) rc = table->Open(ZelIndexing::kReadWrite);
    ASSERT_EQ(rc, 0);
  }

  void ExpectStats(const _stCLDBStates& want) {
    _stCLDBStates got;
    table->GetStats(got);
    for (int i = 0; i < 10; ++i)
      EXPECT_EQ(want.*cldb::kCounters[i], got.*cldb::kCounters[i]) << "counter " << i;
  }
  _CacheRecord& Current() { return *table->getRecordPointer(); }

  void Insert(CacheRecordRef ref) { ASSERT_EQ(table->AddCacheRecord(ref, 0), 0); }
  // A fresh block of archive file `afileId`, archived now.
  CacheRecordRef Block(uint32_t afileId = 1) {
    return MakeRef(RandomSignature(rng), 4096, 1, TestNow(), afileId);
  }

  // Every record under one CRC-64 key, in walk order.
  std::vector<_CacheRecord> UnderKey(unsigned long long key) {
    std::vector<_CacheRecord> out;
    for (int rc = table->FindFirstCrc64(key); rc == 0; rc = table->FindNextCrc64())
      out.push_back(Current());
    return out;
  }
  // Every record, archive file 0 included, in archive-file order.
  std::vector<_CacheRecord> AllRecords() {
    std::vector<_CacheRecord> out;
    for (int rc = table->FindFirstRecordByAfileId(0); rc == 0;
         rc = table->FindNextRecordByAfileId())
      out.push_back(Current());
    return out;
  }

  TempDir dir;
  EvDebug log;
  LogCapture capture{&log};
  std::unique_ptr<CCacheTable> table;
  std::mt19937_64 rng{20240601};

 private:
  TestClock clock_{kT0};
};

}  // namespace cldbtest
