// Create, open, close and the checks a table file must pass to open.
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>
#include <random>
#include <set>
#include <tuple>

#include "EngineFixture.h"

namespace enginetest {
namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

using EngineLifecycle = EngineTest;

TEST_F(EngineLifecycle, CreateMakesOneDataFileAndReopenKeepsEverything) {
  EXPECT_TRUE(Exists(base + ".dat"));
  EXPECT_TRUE(Exists(base + ".dat-lock"));
  for (uint64_t i = 1; i <= 300; ++i) Add(i % 7 + 1, static_cast<uint32_t>(i % 5 + 1), i);
  ASSERT_EQ(0, table.close());
  EXPECT_FALSE(table.isOpen());

  TestTable again;
  ASSERT_EQ(0, again.Declare(base));
  ASSERT_EQ(0, again.open(ZelIndexing::kReadWrite));
  EXPECT_EQ(300, again.getRecordCount());
  std::vector<uint64_t> expected;
  for (uint64_t i = 3; i <= 300; i += 7) expected.push_back(i);  // i % 7 == 3: crc 4
  EXPECT_EQ(expected, SetWalk(again, 4));
  EXPECT_EQ(300u, OrderedWalk(again, 0).size());
}

TEST_F(EngineLifecycle, CreateOnAnExistingTableIsRefusedAndLeavesItUntouched) {
  Add(5, 5, 1);
  ASSERT_EQ(0, table.close());
  const std::string before = cldbtest::ReadFile(base + ".dat");
  TestTable other;
  ASSERT_EQ(0, other.Declare(base));
  EXPECT_EQ(TCT_EXISTS, other.create());
  EXPECT_FALSE(other.isOpen());
  EXPECT_EQ(before, cldbtest::ReadFile(base + ".dat"));
}

TEST_F(EngineLifecycle, OpenOfAMissingTableSaysSo) {
  TestTable other;
  ASSERT_EQ(0, other.Declare(dir / "Missing"));
  EXPECT_EQ(TCT_NO_FILE, other.open(ZelIndexing::kReadWrite));
  EXPECT_FALSE(Exists(dir / "Missing.dat"));
}

TEST_F(EngineLifecycle, AnotherSchemaIsRefused) {
  ASSERT_EQ(0, table.close());
  cldbtest::LogCapture log(nullptr);
  TestTable longer, retyped;
  ASSERT_EQ(0, longer.Declare(base, 128));
  EXPECT_EQ(TCT_SCHEMA_MISMATCH, longer.open(ZelIndexing::kReadWrite));
  ASSERT_EQ(0, retyped.Declare(base, 120, 60));
  EXPECT_EQ(TCT_SCHEMA_MISMATCH, retyped.open(ZelIndexing::kReadWrite));
  EXPECT_TRUE(log.Contains("field 0 Spare offset=0 type=59"));
  ASSERT_EQ(0, table.open(ZelIndexing::kReadWrite));
}

TEST_F(EngineLifecycle, ReadOnlyAccessReadsButRefusesChanges) {
  Add(9, 9, 1);
  ASSERT_EQ(0, table.close());
  ASSERT_EQ(0, table.open(ZelIndexing::kReadOnly));
  EXPECT_EQ(std::vector<uint64_t>{1}, SetWalk(table, 9));
  _CacheRecord r = Rec(9, 9, 2);
  EXPECT_EQ(TCT_READ_ONLY, table.addRecord(&r));
  EXPECT_EQ(TCT_READ_ONLY, table.modifyRecord(&r));
  EXPECT_EQ(TCT_READ_ONLY, table.BeginBatch());
  EXPECT_EQ(1, table.getRecordCount());
}

TEST_F(EngineLifecycle, OneFileServesOneTableObjectOfTheProcess) {
  TestTable other;
  ASSERT_EQ(0, other.Declare(base));
  EXPECT_EQ(TCT_BUSY, other.open(ZelIndexing::kReadWrite));
  EXPECT_EQ(TCT_BUSY, other.MakeCompact());
  EXPECT_EQ(TCT_ALREADY_OPEN, table.MakeCompact());
  EXPECT_EQ(TCT_ALREADY_OPEN, table.open(ZelIndexing::kReadWrite));
  ASSERT_EQ(0, table.close());
  EXPECT_EQ(0, other.open(ZelIndexing::kReadWrite));
}

TEST_F(EngineLifecycle, ClosedTableRefusesWorkAndCountsNothing) {
  ASSERT_EQ(0, table.close());
  EXPECT_EQ(0, table.close());
  _CacheRecord r = Rec(1, 1, 1);
  EXPECT_EQ(TCT_NOT_OPEN, table.addRecord(&r));
  EXPECT_EQ(TCT_NOT_OPEN, table.BeginBatch());
  auto key = CrcKey(table, 1);
  EXPECT_EQ(TCT_NOT_OPEN, table.firstInSet(kCrc, key.data(), &r, 8));
  EXPECT_EQ(0, table.noRecordFound());
  EXPECT_EQ(-1, table.getRecordCount());
}

TEST_F(EngineLifecycle, RecordCountFollowsAddsAndDeletes) {
  for (uint64_t i = 0; i < 10; ++i) Add(1 + i % 2, 1, i);
  EXPECT_EQ(10, table.getRecordCount());
  auto key = CrcKey(table, 2);
  _CacheRecord r;
  int deleted = 0;
  for (int rc = table.firstInSet(kCrc, key.data(), &r, 8); rc == 0 && deleted < 10;
       rc = table.nextInSet(kCrc, &r), ++deleted)
    ASSERT_EQ(0, table.deleteRecord());
  EXPECT_EQ(5, deleted);
  EXPECT_EQ(5, table.getRecordCount());
}

TEST(EngineErrors, EveryCodeHasItsOwnText) {
  TestTable t;
  const int codes[] = {TCT_NOT_FOUND, TCT_NO_CURRENT, TCT_NOT_OPEN,  TCT_ALREADY_OPEN,
                       TCT_SCHEMA,    TCT_EXISTS,     TCT_NO_FILE,   TCT_CORRUPT,
                       TCT_BAD_KEY,   TCT_BATCH,      TCT_READ_ONLY, TCT_BUSY};
  std::set<std::string> texts;
  for (int code : codes) texts.insert(t.errToString(code));
  EXPECT_EQ(std::size(codes), texts.size());
  EXPECT_NE(std::string::npos, std::string(t.errToString(4242)).find("4242"));
}

// ---- damaged files -----------------------------------------------------------------

// The first kinds give LMDB a file it refuses by itself; from kGarbageDataPages
// on, the meta pages stay valid and LMDB would trust what the data pages hold.
enum class Damage { kRandomBytes, kZeroLength, kText, kTruncatedHalf, kTwoPages, kOnePageAndABit,
                    kForeignLmdb, kGarbageDataPages, kOneGarbagePage, kFlippedBytes,
                    kTruncatedAtAPage };

// The damage and the seed of the bytes it puts in.
using DamageCase = std::tuple<Damage, unsigned>;

class EngineDamagedFile : public ::testing::TestWithParam<DamageCase> {};

// Puts the damaged file in place of a table of a few thousand records (a
// tree with branch pages) and leaves the table's seal as it is.
void Spoil(const std::string& base, Damage damage, unsigned seed) {
  const std::string data = base + ".dat";
  std::string bytes = cldbtest::ReadFile(data);
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t pages = bytes.size() / page;
  ASSERT_GT(pages, 8u);
  std::mt19937_64 rng(seed);
  const auto pageAfterMeta = [&] { return 2 + rng() % (pages - 2); };
  const auto garble = [&](size_t from, size_t length) {
    for (size_t i = from; i < from + length; ++i) bytes[i] = static_cast<char>(rng());
  };
  switch (damage) {
    case Damage::kRandomBytes: garble(0, bytes.size()); break;
    case Damage::kZeroLength: bytes.clear(); break;
    case Damage::kText: bytes = "This is not a table.\nJust some text.\n"; break;
    case Damage::kTruncatedHalf: bytes.resize(bytes.size() / 2); break;
    case Damage::kTwoPages: bytes.resize(2 * page); break;
    case Damage::kOnePageAndABit: bytes.resize(page + 100); break;
    case Damage::kForeignLmdb: {
      ASSERT_EQ(0, unlink(data.c_str()));
      RawFile foreign(data);
      foreign.Change(nullptr, [](MDB_txn* txn, MDB_dbi dbi) {
        MDB_val k{3, const_cast<char*>("key")}, v{5, const_cast<char*>("value")};
        ASSERT_EQ(0, mdb_put(txn, dbi, &k, &v, 0));
      });
      return;
    }
    case Damage::kGarbageDataPages: garble(2 * page, bytes.size() - 2 * page); break;
    case Damage::kOneGarbagePage: garble(pageAfterMeta() * page, page); break;
    case Damage::kFlippedBytes:
      for (int i = 0; i < 16; ++i)
        bytes[pageAfterMeta() * page + rng() % page] ^= static_cast<char>(1 + rng() % 255);
      break;
    case Damage::kTruncatedAtAPage: bytes.resize(pageAfterMeta() * page); break;
  }
  cldbtest::WriteFile(data, bytes);
}

TEST_P(EngineDamagedFile, OpenFailsWithAReasonAndNeverCrashes) {
  const Damage damage = std::get<0>(GetParam());
  cldbtest::TempDir dir;
  const std::string base = dir / "CacheTable";
  {
    TestTable t;
    ASSERT_EQ(0, t.Declare(base));
    ASSERT_EQ(0, t.create());
    TCtreeBatch batch(t);
    for (uint64_t i = 0; i < 5000; ++i) {
      _CacheRecord r = Rec(i * 0x9E3779B97F4A7C15ULL, static_cast<uint32_t>(i), i);
      ASSERT_EQ(0, t.addRecord(&r));
    }
    ASSERT_EQ(0, batch.Commit());
  }
  Spoil(base, damage, std::get<1>(GetParam()));
  const std::string spoilt = cldbtest::ReadFile(base + ".dat");
  cldbtest::LogCapture log(nullptr);
  TestTable t;
  ASSERT_EQ(0, t.Declare(base));
  EXPECT_EQ(TCT_CORRUPT, t.open(ZelIndexing::kReadWrite));
  EXPECT_FALSE(t.isOpen());
  EXPECT_EQ(TCT_CORRUPT, t.open(ZelIndexing::kReadOnly));
  EXPECT_TRUE(log.Contains(-1, "[ERROR]"));
  if (damage >= Damage::kGarbageDataPages) {
    EXPECT_TRUE(log.Contains("does not match its seal"));
  }
  EXPECT_EQ(TCT_CORRUPT, t.MakeCompact());
  EXPECT_EQ(TCT_CORRUPT, t.ReBuildIndex());
  EXPECT_EQ(spoilt, cldbtest::ReadFile(base + ".dat"));
}

INSTANTIATE_TEST_SUITE_P(Kinds, EngineDamagedFile,
                         ::testing::Combine(::testing::Values(Damage::kZeroLength, Damage::kText,
                                                              Damage::kTruncatedHalf,
                                                              Damage::kTwoPages,
                                                              Damage::kOnePageAndABit,
                                                              Damage::kForeignLmdb),
                                            ::testing::Values(0u)));

INSTANTIATE_TEST_SUITE_P(Seeded, EngineDamagedFile,
                         ::testing::Combine(::testing::Values(Damage::kRandomBytes,
                                                              Damage::kGarbageDataPages,
                                                              Damage::kOneGarbagePage,
                                                              Damage::kFlippedBytes,
                                                              Damage::kTruncatedAtAPage),
                                            ::testing::Range(1u, 7u)));

}  // namespace
}  // namespace enginetest
