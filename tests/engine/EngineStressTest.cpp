// Disk footprint of a million 120-byte records loaded in 1000-record batches,
// before and after compaction (and after the re-indexing that follows it).
#include <sys/stat.h>

#include <cstdio>
#include <random>

#include "EngineFixture.h"

namespace enginetest {
namespace {

constexpr int kRecords = 1000000;
constexpr int kBatch = 1000;

double BytesPerRecord(const std::string& path) {
  struct stat st;
  EXPECT_EQ(0, stat(path.c_str(), &st));
  return static_cast<double>(st.st_size) / kRecords;
}

TEST(EngineStress, FootprintOfAMillionRecords) {
  cldbtest::TempDir dir;
  TestTable t;
  ASSERT_EQ(0, t.Declare(dir / "CacheTable"));
  ASSERT_EQ(0, t.create());
  std::mt19937_64 rng(42);
  for (int done = 0; done < kRecords; done += kBatch) {
    TCtreeBatch batch(t);
    ASSERT_EQ(0, batch.status());
    for (int i = done; i < done + kBatch; ++i) {
      _CacheRecord r = Rec(rng() | 1, static_cast<uint32_t>(i / 5000 + 1), i);
      ASSERT_EQ(0, t.addRecord(&r));
    }
    ASSERT_EQ(0, batch.Commit());
  }
  ASSERT_EQ(kRecords, t.getRecordCount());
  ASSERT_EQ(0, t.close());
  const double loaded = BytesPerRecord(t.dataFileName());
  ASSERT_EQ(0, t.MakeCompact());
  const double compacted = BytesPerRecord(t.dataFileName());
  ASSERT_EQ(0, t.ReBuildIndex());
  const double reindexed = BytesPerRecord(t.dataFileName());
  printf("bytes/record: loaded %.1f, compacted %.1f, re-indexed %.1f\n", loaded, compacted,
         reindexed);
  EXPECT_LE(loaded, 200.0);
  EXPECT_LE(compacted, 200.0);
  EXPECT_LE(reindexed, compacted);
  ASSERT_EQ(0, t.open(ZelIndexing::kReadWrite));
  EXPECT_EQ(kRecords, t.getRecordCount());
}

}  // namespace
}  // namespace enginetest
