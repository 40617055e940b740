// CRC-64 accumulator (CRC-64/XZ: reflected ECMA-182 polynomial, all-ones
// start value, final complement). The check value of "123456789" is
// 0x995DC9BBDF1939FA. The values are stored keys and seals of existing
// files: they never change. Computed by liblzma (carry-less multiplication
// where the processor has it).
#pragma once

#include <cstdint>

class CTkCRC64 {
 public:
  CTkCRC64() { Reset(); }
  void Reset() { crc_ = 0; }
  // A null `data` adds nothing.
  void UpdateCRC64(const unsigned char* data, unsigned int length);
  unsigned long long GetCRC64() const { return crc_; }

  // One-shot helper.
  static unsigned long long Compute(const void* data, unsigned int length);

 private:
  uint64_t crc_;  // the CRC of everything added so far, complemented as returned
};
