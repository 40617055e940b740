// The seal: a table opens only as a clean close left it -- the very file,
// unwritten since -- and damaged files are refused without harm.
#include <random>

#include "EngineFixture.h"

namespace enginetest {
namespace {

using EngineSeal = EngineTest;

TEST_F(EngineSeal, CleanCloseSealsCopiesAndReadersKeepTheSealAndAWriterTakesItAway) {
  Fill(5);
  ASSERT_EQ(0, table.close());
  const std::string data = cldbtest::ReadFile(base + ".dat"), seal = Seal();
  Reseal(base);
  EXPECT_EQ(seal, Seal());  // it names the file's length and CRC-64
  EXPECT_FALSE(Exists(SealOf(base) + ".tmp"));
  // Two processes hold the table open read-only at once; one of them dies.
  int childRc = -1;
  const pid_t child = HoldOpen(base, ZelIndexing::kReadOnly, childRc);
  EXPECT_EQ(0, childRc);
  EXPECT_EQ(0, table.open(ZelIndexing::kReadOnly));
  ExpectFilled(table, 5);
  EXPECT_EQ(0, table.close());
  kill(child, SIGKILL);
  EXPECT_TRUE(KilledBySigkill(child));
  EXPECT_EQ(seal, Seal());
  EXPECT_EQ(data, cldbtest::ReadFile(base + ".dat"));

  // Folder copies, with the seal and without it: a copy is another file, so
  // its seal does not vouch for it until it is sealed as a copy.
  cldbtest::TempDir copy, dataOnly;
  for (const char* ext : {".dat", ".idx"})
    cldbtest::WriteFile(copy / ("CacheTable" + std::string(ext)), cldbtest::ReadFile(base + ext));
  cldbtest::WriteFile(dataOnly / "CacheTable.dat", data);
  TestTable there, alone;
  ASSERT_EQ(0, there.Declare(copy / "CacheTable"));
  cldbtest::LogCapture log(nullptr);
  EXPECT_EQ(TCT_CORRUPT, there.open(ZelIndexing::kReadWrite));
  EXPECT_TRUE(log.Contains("changed since it was sealed"));
  ASSERT_EQ(0, there.SealAsCopyOf(base.c_str()));
  ASSERT_EQ(0, there.open(ZelIndexing::kReadWrite));
  ExpectFilled(there, 5);
  ASSERT_EQ(0, alone.Declare(dataOnly / "CacheTable"));
  EXPECT_EQ(TCT_CORRUPT, alone.open(ZelIndexing::kReadWrite));
  EXPECT_TRUE(log.Contains("table was not closed cleanly"));
  std::string changed = data;
  changed[changed.size() / 2] ^= 1;
  cldbtest::WriteFile(dataOnly / "CacheTable.dat", changed);
  EXPECT_EQ(TCT_CORRUPT, alone.SealAsCopyOf(base.c_str()));
  EXPECT_TRUE(log.Contains("the copy differs from the table it was made from"));
  EXPECT_FALSE(Exists(dataOnly / "CacheTable.idx"));
  cldbtest::WriteFile(dataOnly / "CacheTable.dat", data);
  ASSERT_EQ(0, alone.SealAsCopyOf(base.c_str()));
  ASSERT_EQ(0, alone.open(ZelIndexing::kReadOnly));
  ExpectFilled(alone, 5);

  ASSERT_EQ(0, table.open(ZelIndexing::kReadWrite));
  EXPECT_FALSE(Exists(SealOf(base)));
}

// Whatever changes the file after its seal moves its change time: the same
// bytes written again, or a change of its mode.
TEST_F(EngineSeal, AnyChangeAfterTheSealIsRefused) {
  Fill(5);
  ASSERT_EQ(0, table.close());
  const std::string data = cldbtest::ReadFile(base + ".dat");
  for (int change = 0; change < 2; ++change) {
    SCOPED_TRACE(change == 0 ? "rewritten" : "chmod");
    const std::string seal = Seal();
    if (change == 0) {
      cldbtest::WriteFile(base + ".dat", data);
    } else {
      ASSERT_EQ(0, chmod((base + ".dat").c_str(), 0640));
    }
    cldbtest::LogCapture log(nullptr);
    EXPECT_EQ(TCT_CORRUPT, table.open(ZelIndexing::kReadOnly));
    EXPECT_TRUE(log.Contains("changed since it was sealed"));
    EXPECT_EQ(seal, Seal());
    Reseal(base);
  }
  ASSERT_EQ(0, table.open(ZelIndexing::kReadOnly));
  ExpectFilled(table, 5);
}

// Bit rot in the pages every tree hangs from is refused even when the
// file's times were set back to the sealed ones (here: its identity forged,
// its head fingerprint left as sealed).
TEST_F(EngineSeal, DamagedHeadPagesAreRefused) {
  Fill(3000);
  ASSERT_EQ(0, table.close());
  const std::string pristine = cldbtest::ReadFile(base + ".dat");
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  // A byte of each meta page's map size (which LMDB does not check), and
  // one of the main database's root page.
  for (const size_t at : {size_t{33}, page + 33, MainRoot(pristine) * page + 30}) {
    SCOPED_TRACE(at);
    cldbtest::WriteFile(base + ".dat", pristine);
    Reseal(base);
    std::string bytes = pristine;
    bytes[at] ^= 0x10;
    cldbtest::WriteFile(base + ".dat", bytes);
    ForgeIdentity(base);
    cldbtest::LogCapture log(nullptr);
    EXPECT_EQ(TCT_CORRUPT, table.open(ZelIndexing::kReadOnly));
    EXPECT_TRUE(log.Contains("its head pages differ"));
  }
}

// The temporary files of the seal and of compaction are made anew, never
// through what stands at their names: a link left there is removed, and
// its target left alone.
TEST_F(EngineSeal, TemporaryFilesNeverFollowALink) {
  Fill(30);
  const std::string victim = dir / "victim";
  cldbtest::WriteFile(victim, "keep");
  for (const char* temp : {".idx.tmp", ".dat.compact"})
    ASSERT_EQ(0, symlink(victim.c_str(), (base + temp).c_str()));
  ASSERT_EQ(0, table.close());
  ASSERT_EQ(0, table.MakeCompact());
  EXPECT_EQ("keep", cldbtest::ReadFile(victim));
  for (const char* temp : {".idx.tmp", ".dat.compact"}) EXPECT_FALSE(Exists(base + temp));
  struct stat st;
  for (const char* file : {".dat", ".idx"}) {
    ASSERT_EQ(0, lstat((base + file).c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 0777) << file;
  }
  ASSERT_EQ(0, table.open(ZelIndexing::kReadOnly));
  ExpectFilled(table, 30);
}

TEST_F(EngineSeal, CreateDropsTheSealOfAnEarlierTable) {
  ASSERT_EQ(0, table.close());
  ASSERT_TRUE(Exists(SealOf(base)));
  ASSERT_EQ(0, unlink((base + ".dat").c_str()));
  ASSERT_EQ(0, table.create());
  EXPECT_FALSE(Exists(SealOf(base)));
}

// The folder is made anew behind an open table, and another table object
// creates its table there (open, so unsealed). Closing the first seals
// nothing: a seal at the path would vouch for the other, live table.
TEST(EngineSealAlone, CloseSealsOnlyTheFileItsSessionOpened) {
  cldbtest::TempDir root;
  const std::string folder = root / "cldb", base = folder + "/CacheTable";
  ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
  TestTable first, second;
  ASSERT_EQ(0, first.Declare(base));
  ASSERT_EQ(0, first.create());
  ASSERT_EQ(0, rename(folder.c_str(), (root / "moved").c_str()));
  ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
  ASSERT_EQ(0, second.Declare(base));
  ASSERT_EQ(0, second.create());
  _CacheRecord r = Rec(1, 1, 1);
  ASSERT_EQ(0, second.addRecord(&r));
  cldbtest::LogCapture log(nullptr);
  EXPECT_EQ(TCT_CORRUPT, first.close());
  EXPECT_TRUE(log.Contains("was replaced while the table was open; not sealed"));
  EXPECT_FALSE(first.isOpen());
  EXPECT_FALSE(Exists(SealOf(base)));
  EXPECT_FALSE(Exists(SealOf(base) + ".tmp"));
  ASSERT_EQ(0, second.close());
  ASSERT_EQ(0, second.open(ZelIndexing::kReadOnly));
  EXPECT_EQ((Tags{1}), Walk(second, kCrc, 1));
}

// How the closed table came to be damaged; from kTruncatedAtAPage on, the
// damage depends on a seed. From kGarbageDataPages on, the meta pages stay
// valid and LMDB would trust what the data pages hold.
enum class Damage {
  kEmpty,
  kText,
  kForeignLmdb,
  kRecordDeleted,
  kKilledWhileOpen,
  kSealCut,
  kSealOfAnotherMachine,
  kTruncatedAtAPage,
  kGarbageDataPages,
  kOneGarbagePage,
  kFlippedBytes
};

// Damages the table `base` (its data file, or its seal).
void Spoil(const std::string& base, Damage damage, unsigned seed) {
  const std::string data = base + ".dat";
  std::string bytes = cldbtest::ReadFile(data), seal = cldbtest::ReadFile(SealOf(base));
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE)), pages = bytes.size() / page;
  ASSERT_GT(pages, 8u);
  std::mt19937_64 rng(seed);
  const auto pageAfterMeta = [&] { return (2 + rng() % (pages - 2)) * page; };
  switch (damage) {
    case Damage::kEmpty:
      bytes.clear();
      break;
    case Damage::kText:
      bytes = "This is not a table.\nJust some text.\n";
      break;
    case Damage::kForeignLmdb:  // a new LMDB file, empty
      ASSERT_EQ(0, unlink(data.c_str()));
      RawChange(data, nullptr);
      return;
    case Damage::kRecordDeleted:  // by LMDB, behind the engine's back
      RawChange(data, "records", [](MDB_txn* txn, MDB_dbi dbi) {
        uint64_t id = htobe64(2);
        MDB_val k{8, &id};
        ASSERT_EQ(0, mdb_del(txn, dbi, &k, nullptr));
      });
      return;
    case Damage::kKilledWhileOpen:
      ASSERT_TRUE(KilledBySigkill(Spawn([&] {
        TestTable t;
        _CacheRecord r = Rec(1, 1, 1);
        if (t.Declare(base) || t.open(ZelIndexing::kReadWrite) || t.addRecord(&r) ||
            t.BeginBatch() || t.addRecord(&r))
          return 1;
        return raise(SIGKILL);
      })));
      return;
    case Damage::kSealCut:
      seal.resize(30);
      break;
    case Damage::kSealOfAnotherMachine:
      seal.replace(seal.find("machine ") + 8, 2, "36");
      break;
    case Damage::kTruncatedAtAPage:
      bytes.resize(pageAfterMeta());
      break;
    case Damage::kGarbageDataPages:
    case Damage::kOneGarbagePage: {
      const size_t from = damage == Damage::kOneGarbagePage ? pageAfterMeta() : 2 * page;
      const size_t to = damage == Damage::kOneGarbagePage ? from + page : bytes.size();
      for (size_t i = from; i < to; ++i) bytes[i] = static_cast<char>(rng());
      break;
    }
    case Damage::kFlippedBytes:
      for (int i = 0; i < 16; ++i) bytes[pageAfterMeta() + rng() % page] ^= 1 + rng() % 255;
      break;
  }
  cldbtest::WriteFile(data, bytes);
  cldbtest::WriteFile(SealOf(base), seal);
}

// Open and the maintenance calls refuse every damage, log the reason, and
// leave the file and its seal as they are. Where the checks that do not rest
// on the seal can tell, a seal forged to match the damage does not help.
TEST_F(EngineSeal, DamagedTablesAreRefusedWithoutHarm) {
  Fill(3000);
  ASSERT_EQ(0, table.close());
  const std::string pristine = cldbtest::ReadFile(base + ".dat"), pristineSeal = Seal();
  const char* const kMismatch = "does not match its seal";
  const struct {
    Damage damage;
    const char* reason;
    const char* forged;
  } kCases[] = {{Damage::kEmpty, "empty file", "empty file"},
                {Damage::kText, kMismatch, "too short to be LMDB's"},
                {Damage::kForeignLmdb, kMismatch, "no table sub-databases"},
                {Damage::kRecordDeleted, kMismatch, "index 0 holds 3000 entries for 2999"},
                {Damage::kKilledWhileOpen, "not closed cleanly", nullptr},
                {Damage::kSealCut, "unreadable", nullptr},
                {Damage::kSealOfAnotherMachine, "written by 36-bit", nullptr},
                {Damage::kTruncatedAtAPage, kMismatch, "past its end"},
                {Damage::kGarbageDataPages, kMismatch, nullptr},
                {Damage::kOneGarbagePage, kMismatch, nullptr},
                {Damage::kFlippedBytes, kMismatch, nullptr}};
  for (const auto& c : kCases) {
    for (unsigned seed = 1; seed <= (c.damage >= Damage::kTruncatedAtAPage ? 6 : 1); ++seed) {
      SCOPED_TRACE(::testing::Message()
                   << "damage " << static_cast<int>(c.damage) << " seed " << seed);
      cldbtest::WriteFile(base + ".dat", pristine);
      cldbtest::WriteFile(SealOf(base), pristineSeal);
      Reseal(base);
      Spoil(base, c.damage, seed);
      const std::string spoilt = cldbtest::ReadFile(base + ".dat"), spoiltSeal = Seal();
      cldbtest::LogCapture log(nullptr);
      EXPECT_EQ(TCT_CORRUPT, table.open(ZelIndexing::kReadWrite));
      EXPECT_EQ(TCT_CORRUPT, table.open(ZelIndexing::kReadOnly));
      EXPECT_EQ(TCT_CORRUPT, table.MakeCompact());
      EXPECT_EQ(TCT_CORRUPT, table.ReBuildIndex());
      EXPECT_EQ(4u, log.Count(c.reason));
      EXPECT_EQ(spoilt, cldbtest::ReadFile(base + ".dat"));
      EXPECT_EQ(spoiltSeal, Seal());
      if (!c.forged) continue;
      Reseal(base);
      EXPECT_EQ(TCT_CORRUPT, table.open(ZelIndexing::kReadOnly));
      EXPECT_TRUE(log.Contains(c.forged));
    }
  }
}

}  // namespace
}  // namespace enginetest
