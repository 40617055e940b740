// CRC-64/XZ of CTkCRC64 against a reference written from the definition.
// The values are stored keys of existing tables: any change of result, for
// any length, alignment or split of the input, breaks every file written.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "platform/CTkCRC64.h"

namespace {

// Byte-at-a-time CRC-64/XZ, its table made bit by bit from the reflected
// ECMA-182 polynomial: slow, but obviously right.
class ReferenceCrc {
 public:
  ReferenceCrc() {
    for (unsigned n = 0; n < 256; ++n) {
      unsigned long long crc = n;
      for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1) ? 0xC96C5795D7870F42ULL : 0);
      table_[n] = crc;
    }
  }
  unsigned long long operator()(const unsigned char* data, size_t length) const {
    unsigned long long crc = ~0ULL;
    for (size_t i = 0; i < length; ++i) crc = table_[(crc ^ data[i]) & 0xff] ^ (crc >> 8);
    return ~crc;
  }

 private:
  std::array<unsigned long long, 256> table_;
};

std::vector<unsigned char> RandomBytes(std::mt19937_64& rng, size_t length) {
  std::vector<unsigned char> bytes(length);
  for (auto& b : bytes) b = static_cast<unsigned char>(rng());
  return bytes;
}

TEST(CRC64, CheckValueEmptyInputAndNullBuffer) {
  EXPECT_EQ(CTkCRC64::Compute("123456789", 9), 0x995DC9BBDF1939FAULL);
  EXPECT_EQ(CTkCRC64::Compute("", 0), 0ULL);
  CTkCRC64 crc;
  crc.UpdateCRC64(reinterpret_cast<const unsigned char*>("1234"), 4);
  crc.UpdateCRC64(nullptr, 100);  // adds nothing
  crc.UpdateCRC64(reinterpret_cast<const unsigned char*>("56789"), 5);
  EXPECT_EQ(crc.GetCRC64(), 0x995DC9BBDF1939FAULL);
  crc.Reset();
  EXPECT_EQ(crc.GetCRC64(), 0ULL);
}

// Every length up to 160 at every alignment, whole and, after a Reset, in
// two parts; then large buffers in random pieces.
TEST(CRC64, MatchesReferenceAtEveryLengthAlignmentAndSplit) {
  const ReferenceCrc reference;
  std::mt19937_64 rng(7);
  const std::vector<unsigned char> data = RandomBytes(rng, 168);
  CTkCRC64 crc;
  for (unsigned offset = 0; offset < 8; ++offset)
    for (unsigned length = 0; offset + length <= data.size(); ++length) {
      const unsigned char* p = data.data() + offset;
      const unsigned long long expected = reference(p, length);
      ASSERT_EQ(CTkCRC64::Compute(p, length), expected) << offset << "+" << length;
      crc.Reset();
      crc.UpdateCRC64(p, length / 3);
      crc.UpdateCRC64(p + length / 3, length - length / 3);
      ASSERT_EQ(crc.GetCRC64(), expected) << offset << "+" << length << " in two parts";
    }
  // Buffers of the seal's sizes, fed in pieces split at random points, as a
  // file is read in chunks.
  for (size_t length : {size_t{4096}, size_t{65537}, size_t{1} << 20}) {
    const std::vector<unsigned char> big = RandomBytes(rng, length);
    const unsigned long long expected = reference(big.data(), big.size());
    EXPECT_EQ(CTkCRC64::Compute(big.data(), static_cast<unsigned>(length)), expected) << length;
    for (int round = 0; round < 4; ++round) {
      crc.Reset();
      for (size_t at = 0; at < length;) {
        const size_t piece = std::min<size_t>(length - at, rng() % 9000);
        crc.UpdateCRC64(big.data() + at, static_cast<unsigned>(piece));
        at += piece;
      }
      EXPECT_EQ(crc.GetCRC64(), expected) << length << " bytes, round " << round;
    }
  }
}

}  // namespace
