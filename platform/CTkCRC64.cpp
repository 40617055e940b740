#include "platform/CTkCRC64.h"

#include <cstring>

namespace {

constexpr uint64_t kPoly = 0xC96C5795D7870F42ULL;  // ECMA-182, reflected

// Slicing-by-8 tables: kTables.t[0] is the classic byte table; t[k][n] is the
// register after byte n is followed by k zero bytes, so eight table reads
// fold eight input bytes at once.
struct Tables {
  uint64_t t[8][256];
  constexpr Tables() : t() {
    for (int n = 0; n < 256; ++n) {
      uint64_t crc = static_cast<uint64_t>(n);
      for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1) ? kPoly : 0);
      t[0][n] = crc;
    }
    for (int k = 1; k < 8; ++k)
      for (int n = 0; n < 256; ++n) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xff];
  }
};

constexpr Tables kTables;

inline uint64_t LoadLittleEndian64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  return v;
}

}  // namespace

void CTkCRC64::UpdateCRC64(const unsigned char* data, unsigned int length) {
  if (!data) return;
  const auto& t = kTables.t;
  uint64_t crc = crc_;
  for (; length >= 8; data += 8, length -= 8) {
    crc ^= LoadLittleEndian64(data);
    crc = t[7][crc & 0xff] ^ t[6][(crc >> 8) & 0xff] ^ t[5][(crc >> 16) & 0xff] ^
          t[4][(crc >> 24) & 0xff] ^ t[3][(crc >> 32) & 0xff] ^ t[2][(crc >> 40) & 0xff] ^
          t[1][(crc >> 48) & 0xff] ^ t[0][crc >> 56];
  }
  for (; length > 0; ++data, --length) crc = t[0][(crc ^ *data) & 0xff] ^ (crc >> 8);
  crc_ = crc;
}

unsigned long long CTkCRC64::Compute(const void* data, unsigned int length) {
  CTkCRC64 crc;
  crc.UpdateCRC64(static_cast<const unsigned char*>(data), length);
  return crc.GetCRC64();
}
