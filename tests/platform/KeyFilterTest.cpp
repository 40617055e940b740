// The key filter may say "maybe" for a key it never saw, never "no" for one
// it did.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "platform/KeyFilter.h"

namespace {

std::string KeyOf(uint64_t n, size_t length) {
  std::string key(length, '\0');
  memcpy(&key[0], &n, std::min(length, sizeof(n)));
  return key;
}

TEST(KeyFilter, NeverRefusesAnAddedKeyAndRarelyPassesAnAbsentOne) {
  for (size_t length : {1, 4, 8, 12, 64}) {
    SCOPED_TRACE(length);
    const size_t keys = length == 1 ? 128 : 50000;
    cldb::KeyFilter filter;
    filter.Reset(keys);
    std::mt19937_64 rng(length);
    std::vector<uint64_t> added;
    for (size_t i = 0; i < keys; ++i) {
      added.push_back(length == 1 ? i : rng());
      filter.Add(KeyOf(added.back(), length).data(), length);
    }
    EXPECT_FALSE(filter.full());
    for (uint64_t n : added) ASSERT_TRUE(filter.MayContain(KeyOf(n, length).data(), length));
    if (length == 1) continue;  // every one-byte key below 128 was added
    size_t passed = 0;
    const size_t probes = 100000;
    for (size_t i = 0; i < probes; ++i)
      passed += filter.MayContain(KeyOf(rng(), length).data(), length);
    EXPECT_LT(passed, probes * 2 / 100) << "false positives at capacity";
  }
}

// Keys that differ only in trailing zero bytes, and the zero key itself.
TEST(KeyFilter, LengthIsPartOfTheKey) {
  cldb::KeyFilter filter;
  filter.Reset(1000);
  const std::string zeros(16, '\0');
  filter.Add(zeros.data(), 8);
  EXPECT_TRUE(filter.MayContain(zeros.data(), 8));
  size_t passed = 0;
  for (size_t length = 1; length <= 16; ++length)
    passed += length != 8 && filter.MayContain(zeros.data(), length);
  EXPECT_LE(passed, 1u);
}

TEST(KeyFilter, FillsPastCapacityAndAnswersMaybeWhenCleared) {
  cldb::KeyFilter filter;
  filter.Reset(0);  // still one block
  EXPECT_GT(filter.capacity(), 0u);
  EXPECT_EQ(64u, filter.bytes());
  uint64_t n = 0;
  while (!filter.full()) filter.Add(&++n, sizeof(n));
  EXPECT_EQ(filter.capacity() + 1, filter.added());
  filter.Clear();
  EXPECT_EQ(0u, filter.bytes());
  uint64_t never = ~uint64_t{0};
  EXPECT_TRUE(filter.MayContain(&never, sizeof(never)));
  filter.Add(&never, sizeof(never));  // no room: ignored, not a crash
  EXPECT_EQ(0u, filter.added());
}

}  // namespace
