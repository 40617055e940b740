// CRC-64 accumulator (CRC-64/XZ: reflected ECMA-182 polynomial, all-ones
// start value, final complement). The check value of "123456789" is
// 0x995DC9BBDF1939FA. Table-driven, eight bytes per step.
#pragma once

#include "platform/Export.h"

#include <cstdint>

class CLDB_EXPORT CTkCRC64 {
 public:
  CTkCRC64() { Reset(); }
  void Reset() { crc_ = ~0ULL; }
  void UpdateCRC64(const unsigned char* data, unsigned int length);
  unsigned long long GetCRC64() const { return ~crc_; }

  // One-shot helper.
  static unsigned long long Compute(const void* data, unsigned int length);

 private:
  uint64_t crc_;
};
