#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "platform/CTkCRC64.h"

namespace {

// Bit-at-a-time CRC-64/XZ: slow, but obviously right.
unsigned long long ReferenceCrc(const unsigned char* data, size_t length) {
  unsigned long long crc = ~0ULL;
  for (size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1) ? 0xC96C5795D7870F42ULL : 0);
  }
  return ~crc;
}

std::vector<unsigned char> RandomBytes(size_t n) {
  std::mt19937 gen(7);
  std::vector<unsigned char> v(n);
  for (auto& b : v) b = static_cast<unsigned char>(gen());
  return v;
}

TEST(CRC64, CheckValueOfDigits) {
  EXPECT_EQ(CTkCRC64::Compute("123456789", 9), 0x995DC9BBDF1939FAULL);
  EXPECT_EQ(CTkCRC64().GetCRC64(), 0ULL);  // nothing folded in yet
}

TEST(CRC64, MatchesBitwiseReferenceForEveryLengthAndAlignment) {
  auto data = RandomBytes(160);
  for (size_t offset = 0; offset < 8; ++offset)
    for (size_t length = 0; offset + length <= data.size(); ++length)
      ASSERT_EQ(CTkCRC64::Compute(data.data() + offset, static_cast<unsigned>(length)),
                ReferenceCrc(data.data() + offset, length))
          << "offset " << offset << " length " << length;
}

TEST(CRC64, IncrementalUpdatesAfterResetEqualOneShot) {
  auto data = RandomBytes(64);
  unsigned long long whole = CTkCRC64::Compute(data.data(), 64);
  CTkCRC64 crc;
  for (unsigned split = 0; split <= 64; ++split) {
    crc.Reset();
    crc.UpdateCRC64(data.data(), split);
    crc.UpdateCRC64(data.data() + split, 64 - split);
    ASSERT_EQ(crc.GetCRC64(), whole) << "split at " << split;
  }
}

}  // namespace
