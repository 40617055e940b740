// The seal: a table opens only as a clean close left it.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "EngineFixture.h"

namespace enginetest {
namespace {

using Tags = std::vector<uint64_t>;

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Runs `body` in a child process and returns its wait status; the child
// exits with what `body` returns.
template <typename Body>
int InChild(Body body) {
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = -1;
  EXPECT_EQ(pid, waitpid(pid, &status, 0));
  return status;
}

class EngineSeal : public EngineTest {
 protected:
  // Five records under crc64 key 3, then a clean close.
  void FillAndClose() {
    for (uint64_t tag = 1; tag <= 5; ++tag) Add(3, static_cast<uint32_t>(tag), tag);
    ASSERT_EQ(0, table.close());
  }
  std::string Seal() const { return cldbtest::ReadFile(SealOf(base)); }
};

TEST_F(EngineSeal, CleanCloseFingerprintsTheFileAndReadWriteOpenTakesTheSealAway) {
  EXPECT_FALSE(Exists(SealOf(base)));  // a new table has none until it is closed
  FillAndClose();
  const std::string data = cldbtest::ReadFile(base + ".dat");
  char crc[32];
  snprintf(crc, sizeof(crc), "\ncrc64 %016llx\n",
           CTkCRC64::Compute(data.data(), static_cast<unsigned>(data.size())));
  EXPECT_NE(std::string::npos, Seal().find("\nsize " + std::to_string(data.size()) + "\n"));
  EXPECT_NE(std::string::npos, Seal().find(crc));
  EXPECT_FALSE(Exists(SealOf(base) + ".tmp"));

  ASSERT_EQ(0, table.open(ZelIndexing::kReadWrite));
  EXPECT_FALSE(Exists(SealOf(base)));
  Add(3, 6, 6);
  ASSERT_EQ(0, table.close());
  ASSERT_EQ(0, table.open(ZelIndexing::kReadWrite));
  EXPECT_EQ((Tags{1, 2, 3, 4, 5, 6}), SetWalk(table, 3));
}

TEST_F(EngineSeal, ReadOnlyOpensVerifyTheSealAndKeepIt) {
  FillAndClose();
  const std::string seal = Seal(), data = cldbtest::ReadFile(base + ".dat");
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(0, table.open(ZelIndexing::kReadOnly));
    EXPECT_EQ(seal, Seal());
    EXPECT_EQ((Tags{1, 2, 3, 4, 5}), SetWalk(table, 3));
    ASSERT_EQ(0, table.close());
  }
  EXPECT_EQ(seal, Seal());
  EXPECT_EQ(data, cldbtest::ReadFile(base + ".dat"));
}

TEST_F(EngineSeal, TwoProcessesOpenReadOnlyAtOnce) {
  FillAndClose();
  const std::string seal = Seal();
  int opened[2], done[2];
  ASSERT_EQ(0, pipe(opened));
  ASSERT_EQ(0, pipe(done));
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {  // holds the table open until the parent has opened it too
    TestTable t;
    const int rc = t.Declare(base) ? TCT_SCHEMA : t.open(ZelIndexing::kReadOnly);
    const char code = static_cast<char>(rc);
    char go = 0;
    if (write(opened[1], &code, 1) != 1 || read(done[0], &go, 1) != 1) _exit(1);
    _exit(t.getRecordCount() == 5 && t.close() == 0 ? 0 : 1);
  }
  char childOpen = -1;
  ASSERT_EQ(1, read(opened[0], &childOpen, 1));
  EXPECT_EQ(0, childOpen);
  EXPECT_EQ(0, table.open(ZelIndexing::kReadOnly));
  EXPECT_EQ(5, table.getRecordCount());
  ASSERT_EQ(1, write(done[1], "x", 1));
  int status = -1;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  for (int fd : {opened[0], opened[1], done[0], done[1]}) close(fd);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  ASSERT_EQ(0, table.close());
  EXPECT_EQ(seal, Seal());
  EXPECT_EQ(0, table.open(ZelIndexing::kReadWrite));
}

// How a process that had the table open for changes came to its end.
enum class Killed { kRightAfterOpen, kAfterCommits, kInsideABatch };

class EngineKilledOwner : public EngineSeal, public ::testing::WithParamInterface<Killed> {};

TEST_P(EngineKilledOwner, TableLeftOpenByAKilledProcessIsRefused) {
  FillAndClose();
  const int status = InChild([this] {
    TestTable t;
    if (t.Declare(base) || t.open(ZelIndexing::kReadWrite)) return 1;
    if (GetParam() == Killed::kInsideABatch && t.BeginBatch()) return 1;
    for (uint64_t tag = 10; GetParam() != Killed::kRightAfterOpen && tag < 200; ++tag) {
      _CacheRecord r = Rec(tag, 1, tag);
      if (t.addRecord(&r)) return 1;
    }
    raise(SIGKILL);
    return 1;
  });
  ASSERT_TRUE(WIFSIGNALED(status)) << "child ended with status " << status;
  ASSERT_EQ(SIGKILL, WTERMSIG(status));

  cldbtest::LogCapture log(nullptr);
  EXPECT_EQ(TCT_CORRUPT, table.open(ZelIndexing::kReadWrite));
  EXPECT_TRUE(log.Contains(-1, "table was not closed cleanly"));
  EXPECT_EQ(TCT_CORRUPT, table.open(ZelIndexing::kReadOnly));
  EXPECT_EQ(TCT_CORRUPT, table.MakeCompact());
  EXPECT_EQ(TCT_CORRUPT, table.ReBuildIndex());
  EXPECT_FALSE(table.isOpen());
}

INSTANTIATE_TEST_SUITE_P(Ends, EngineKilledOwner,
                         ::testing::Values(Killed::kRightAfterOpen, Killed::kAfterCommits,
                                           Killed::kInsideABatch));

TEST_F(EngineSeal, FolderCopyOfDataAndSealOpensElsewhere) {
  FillAndClose();
  cldbtest::TempDir copy, dataOnly;
  for (const char* ext : {".dat", ".idx"})
    cldbtest::WriteFile(copy / ("CacheTable" + std::string(ext)), cldbtest::ReadFile(base + ext));
  cldbtest::WriteFile(dataOnly / "CacheTable.dat", cldbtest::ReadFile(base + ".dat"));

  TestTable there;
  ASSERT_EQ(0, there.Declare(copy / "CacheTable"));
  ASSERT_EQ(0, there.open(ZelIndexing::kReadWrite));
  EXPECT_EQ((Tags{1, 2, 3, 4, 5}), SetWalk(there, 3));
  TestTable alone;
  ASSERT_EQ(0, alone.Declare(dataOnly / "CacheTable"));
  cldbtest::LogCapture log(nullptr);
  EXPECT_EQ(TCT_CORRUPT, alone.open(ZelIndexing::kReadWrite));
  EXPECT_TRUE(log.Contains("table was not closed cleanly"));
}

TEST_F(EngineSeal, TableChangedBehindTheEnginesBackIsRefused) {
  FillAndClose();
  {
    RawFile raw(table.dataFileName());
    raw.Change("records", [](MDB_txn* txn, MDB_dbi dbi) {
      auto id = BigEndian(2);
      MDB_val k{8, id.data()};
      ASSERT_EQ(0, mdb_del(txn, dbi, &k, nullptr));
    });
  }
  cldbtest::LogCapture log(nullptr);
  EXPECT_EQ(TCT_CORRUPT, table.open(ZelIndexing::kReadWrite));
  EXPECT_TRUE(log.Contains("does not match its seal"));
}

TEST_F(EngineSeal, SealOfAnotherTableIsRefused) {
  FillAndClose();
  TestTable other;
  ASSERT_EQ(0, other.Declare(dir / "Other"));
  ASSERT_EQ(0, other.create());
  ASSERT_EQ(0, other.close());
  const std::string own = Seal();
  cldbtest::WriteFile(SealOf(base), cldbtest::ReadFile(SealOf(dir / "Other")));
  cldbtest::LogCapture log(nullptr);
  EXPECT_EQ(TCT_CORRUPT, table.open(ZelIndexing::kReadOnly));
  EXPECT_TRUE(log.Contains("does not match its seal"));
  cldbtest::WriteFile(SealOf(base), own);
  EXPECT_EQ(0, table.open(ZelIndexing::kReadOnly));
}

TEST_F(EngineSeal, UnreadableOrForeignSealIsRefused) {
  FillAndClose();
  const std::string good = Seal();
  const size_t machine = good.find("machine ");
  ASSERT_NE(std::string::npos, machine);
  std::string otherMachine = good;
  otherMachine.replace(machine, good.find('\n', machine) - machine, "machine 36-bit odd-endian");
  const struct {
    std::string text;
    const char* reason;
  } kSeals[] = {{"", "unreadable"},
                {"garbage", "unreadable"},
                {good.substr(0, good.size() / 2), "unreadable"},
                {good + "size 1\n", "unreadable"},
                {std::string(5000, 'x'), "unreadable"},
                {otherMachine, "written by 36-bit odd-endian"}};
  for (const auto& seal : kSeals) {
    cldbtest::WriteFile(SealOf(base), seal.text);
    cldbtest::LogCapture log(nullptr);
    EXPECT_EQ(TCT_CORRUPT, table.open(ZelIndexing::kReadWrite)) << seal.text;
    EXPECT_TRUE(log.Contains(seal.reason)) << seal.text;
    EXPECT_EQ(seal.text, Seal());
  }
  ASSERT_EQ(0, unlink(SealOf(base).c_str()));
  ASSERT_EQ(0, mkdir(SealOf(base).c_str(), 0755));
  EXPECT_EQ(TCT_CORRUPT, table.open(ZelIndexing::kReadOnly));
  ASSERT_EQ(0, rmdir(SealOf(base).c_str()));
  cldbtest::WriteFile(SealOf(base), good);
  EXPECT_EQ(0, table.open(ZelIndexing::kReadWrite));
}

TEST_F(EngineSeal, CloseThatCannotSealFailsAndTheTableIsRefusedLater) {
  Add(1, 1, 1);
  ASSERT_EQ(0, mkdir(SealOf(base).c_str(), 0755));  // a seal cannot be renamed over it
  cldbtest::WriteFile(SealOf(base) + "/inside", "x");
  cldbtest::LogCapture log(nullptr);
  EXPECT_EQ(TCT_IO, table.close());
  EXPECT_FALSE(table.isOpen());
  EXPECT_TRUE(log.Contains(-1, "[ERROR]"));
  EXPECT_FALSE(Exists(SealOf(base) + ".tmp"));
  std::filesystem::remove_all(SealOf(base));
  EXPECT_EQ(TCT_CORRUPT, table.open(ZelIndexing::kReadWrite));
}

TEST_F(EngineSeal, CreateDropsTheSealOfAnEarlierTable) {
  FillAndClose();
  ASSERT_TRUE(Exists(SealOf(base)));
  ASSERT_EQ(0, unlink((base + ".dat").c_str()));
  ASSERT_EQ(0, table.create());
  EXPECT_FALSE(Exists(SealOf(base)));
  ASSERT_EQ(0, table.close());
  ASSERT_EQ(0, table.open(ZelIndexing::kReadWrite));
  EXPECT_EQ(0, table.getRecordCount());
}

}  // namespace
}  // namespace enginetest
