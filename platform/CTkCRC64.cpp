#include "platform/CTkCRC64.h"

#include <lzma.h>

// lzma_crc64 continues from a finished CRC (0 for none), so the accumulator
// keeps the finished value and chains on it.
void CTkCRC64::UpdateCRC64(const unsigned char* data, unsigned int length) {
  if (!data) return;
  crc_ = lzma_crc64(data, length, crc_);
}

unsigned long long CTkCRC64::Compute(const void* data, unsigned int length) {
  CTkCRC64 crc;
  crc.UpdateCRC64(static_cast<const unsigned char*>(data), length);
  return crc.GetCRC64();
}
