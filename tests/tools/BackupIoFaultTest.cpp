// I/O errors in the real `cldb backup`, one file call at a time: the second
// backup of a small tree (some files changed, so it both hits and stores)
// is run once to number the calls it makes through the file door, then once
// per call with that call failing (CLDB_IO_FAULT), each time on a root made
// afresh. After each run a clean
// backup must succeed without a false hit, verify must find nothing wrong,
// and both the first job and the clean one must restore exactly; a faulted
// run that claimed success must restore exactly too.
//
// SQLite's own I/O on storage.sqlite does not go through the door.
#include <filesystem>

#include "ToolHarness.h"

namespace tooltest {
namespace {

namespace fs = std::filesystem;

class BackupIoFault : public ToolTest {
 protected:
  // A fresh root holding one backup of the tree; the tree then changed for
  // the backup under test. (A copied CLDB would not do: its seal names the
  // file it was written for, and a copy is made anew.)
  void Prepare() {
    fs::remove_all(Root());
    fs::remove_all(Tree("t"));
    WriteRandomFile(Tree("t") + "/a", 1, 5 * kBlock);
    WriteRandomFile(Tree("t") + "/sub/b", 2, 3 * kBlock + 100);
    WriteRandomFile(Tree("t") + "/sub/c", 3, 2 * kBlock);
    firstJob_ = Backup({Tree("t")})["job_id"];
    first_ = ScanTree(Tree("t"));
    WriteRandomFile(Tree("t") + "/a", 4, 6 * kBlock);
    WriteRandomFile(Tree("t") + "/d", 5, kBlock);
    second_ = ScanTree(Tree("t"));
  }

  RunResult FaultedBackup(const std::string& plan, const std::string& countFile = "") {
    RunOptions options;
    options.env = {"CLDB_IO_FAULT=" + plan};
    if (!countFile.empty()) options.env.push_back("CLDB_IO_FAULT_COUNT=" + countFile);
    return RunTool(BackupArgs({Tree("t")}), options);
  }

  // The calls a backup makes through the door; it must hit the blocks the
  // first job stored.
  uint64_t CountCalls() {
    Prepare();
    const std::string countFile = Tree("count");
    const RunResult result = FaultedBackup(std::to_string(UINT64_MAX), countFile);
    EXPECT_EQ(0, result.exitCode) << result.err;
    EXPECT_GT(result.Json()["hits"], 0);
    return std::stoull(cldbtest::ReadFile(countFile));
  }

  // A restore of `jobId` brings back exactly `expected`.
  void ExpectRestores(uint64_t jobId, const TreeScan& expected) {
    const std::string target = Restore(static_cast<uint32_t>(jobId));
    const std::vector<std::string> differences =
        CompareScans(expected, ScanTree(target + Tree("t")));
    EXPECT_TRUE(differences.empty())
        << "job " << jobId << ": " << ::testing::PrintToString(differences);
    fs::remove_all(target);
  }

  // Fails call n of the backup, then checks everything above; every
  // `stride`th call. The number of calls run.
  uint64_t Loop(uint64_t stride) {
    const uint64_t calls = CountCalls();
    EXPECT_GT(calls, 0u);
    uint64_t points = 0, tolerated = 0, remade = 0;
    for (uint64_t n = 1; n <= calls && !HasFailure(); n += stride, ++points) {
      SCOPED_TRACE(::testing::Message() << "call " << n << " of " << calls << " fails");
      Prepare();
      const RunResult faulted = FaultedBackup(std::to_string(n));
      EXPECT_NE(-1, faulted.exitCode) << "killed by signal " << faulted.signal;
      if (faulted.exitCode == 0) {
        ++tolerated;
        remade += faulted.Json()["cldb_recreated"] == true ? 1 : 0;
        EXPECT_EQ(faulted.Json()["false_hits"], 0);
        ExpectRestores(faulted.Json()["job_id"], second_);
      }
      const nlohmann::json clean = Backup({Tree("t")});
      Run({"verify", "--json"});
      ExpectRestores(firstJob_, first_);
      ExpectRestores(clean["job_id"], second_);
    }
    printf("backup: %llu calls, %llu injection points, %llu passed by (%llu made the CLDB anew)\n",
           static_cast<unsigned long long>(calls), static_cast<unsigned long long>(points),
           static_cast<unsigned long long>(tolerated), static_cast<unsigned long long>(remade));
    RecordProperty("injection_points", static_cast<int>(points));
    return points;
  }

  uint64_t firstJob_ = 0;
  TreeScan first_, second_;
};

TEST_F(BackupIoFault, AFailedFileCallLeavesEarlierJobsWholeAndTheNextBackupClean) { Loop(7); }

TEST_F(BackupIoFault, StressEveryFailedFileCall) { Loop(1); }

}  // namespace
}  // namespace tooltest
