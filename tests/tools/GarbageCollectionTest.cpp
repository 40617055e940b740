// End-to-end: ageing and losing data. A dropped job's blocks stay while a
// live job references them and `cldb gc` frees the rest; a lost archive
// file breaks exactly the jobs that need it, and the next backup stores
// its blocks again; a full disk fails a job cleanly. Every job that should
// restore does, byte for byte, and no backup meets a false hit.

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "ToolHarness.h"

namespace tooltest {
namespace {

class GarbageCollectionTest : public TwoTreesTest {
 protected:
  nlohmann::json Gc() { return Json({"gc"}); }
  std::vector<std::string> Packs() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(Root() + "/packs"))
      names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  uint64_t PackBytes() const {
    uint64_t total = 0;
    for (const auto& entry : std::filesystem::directory_iterator(Root() + "/packs"))
      total += entry.file_size();
    return total;
  }
  // Verify's exit code and its report.
  nlohmann::json Verify(int expectedExit) { return Run({"verify", "--json"}, expectedExit).Json(); }
};

// Job 2 references X, which job 1 stored. Dropping job 1 keeps X for job 2
// and frees Y; dropping job 2 frees the rest.
TEST_F(GarbageCollectionTest, ADroppedJobsBlocksStayWhileALiveJobReferencesThem) {
  const nlohmann::json job1 = Backup({Tree("x"), Tree("y")});
  const nlohmann::json job2 = Backup({Tree("x")});
  ASSERT_EQ(job2["hits"], kX);
  EXPECT_EQ(Gc()["bytes_freed"], 0);  // nothing to free while both are live

  const uint64_t before = PackBytes();
  DropJob(job1);
  const nlohmann::json freed = Gc();
  EXPECT_EQ(freed["packs_rewritten"], 1);
  EXPECT_EQ(PackBytes(), before - freed["bytes_freed"].get<uint64_t>());
  // Y's six raw blocks went, with their record headers.
  EXPECT_EQ(freed["bytes_freed"], kY * (kBlock + 96));
  EXPECT_EQ(Packs(), std::vector<std::string>{"1.1.pack"});
  ExpectRestored(job2["job_id"], {Tree("x")});
  EXPECT_EQ(Verify(0)["bad_blocks"], 0);
  EXPECT_EQ(Gc()["bytes_freed"], 0);

  DropJob(job2);
  EXPECT_EQ(Gc()["packs_removed"], 1);
  EXPECT_TRUE(Packs().empty());
  EXPECT_TRUE(Json({"storage", "afiles"})["archive_files"].empty());
  const nlohmann::json again = Backup({Tree("x"), Tree("y")});
  EXPECT_EQ(again["misses"], kX + kY);
  ExpectRestored(again["job_id"], {Tree("x"), Tree("y")});
}

// Losing the archive file that held X breaks both jobs that need X. Job
// 2's archive file references X, so it is no longer valid: the CLDB answers
// neither for X nor for the Y job 2 stored there, and the next backup
// stores both again, which heals the jobs.
TEST_F(GarbageCollectionTest, ALostArchiveFileBreaksTheJobsThatNeedItUntilItsBlocksAreBack) {
  const nlohmann::json job1 = Backup({Tree("x")});
  const nlohmann::json job2 = Backup({Tree("x"), Tree("y")});
  ASSERT_EQ(job2["hits"], kX);
  DropAfile(job1);
  const nlohmann::json afiles = Json({"storage", "afiles"})["archive_files"];
  ASSERT_EQ(afiles.size(), 2u);
  EXPECT_EQ(afiles[0]["state"], "lost");
  EXPECT_EQ(afiles[1]["state"], "broken");

  const nlohmann::json broken = Verify(4);
  EXPECT_EQ(broken["bad_blocks"], kX);
  Run({"restore", std::to_string(job2["job_id"].get<uint32_t>()), "--to", Tree("r")}, 4);
  EXPECT_TRUE(CompareTrees(Tree("y"), Tree("r") + Tree("y")).empty());

  const nlohmann::json job3 = Backup({Tree("x"), Tree("y")});
  EXPECT_EQ(job3["misses"], kX + kY);
  EXPECT_EQ(job3["hits"], 0);
  EXPECT_EQ(Verify(0)["bad_blocks"], 0);
  ExpectRestored(job1["job_id"], {Tree("x")});
  ExpectRestored(job2["job_id"], {Tree("x"), Tree("y")});
}

// A job whose archive file was lost is whole again once another job stores
// its blocks again, and stays whole when that job is dropped: what the lost
// file held is still needed by its job.
TEST_F(GarbageCollectionTest, AJobHealedByAnotherStaysWholeWhenThatOneIsDropped) {
  const nlohmann::json job1 = Backup({Tree("x")});
  DropAfile(job1);
  EXPECT_EQ(Json({"storage", "afiles"})["archive_files"][0]["state"], "lost");
  EXPECT_EQ(Verify(4)["bad_blocks"], kX);
  const nlohmann::json job2 = Backup({Tree("x")});
  EXPECT_EQ(job2["misses"], kX);
  EXPECT_EQ(Verify(0)["bad_blocks"], 0);

  DropJob(job2);
  EXPECT_EQ(Gc()["bytes_freed"], 0);
  EXPECT_EQ(Verify(0)["bad_blocks"], 0);
  ExpectRestored(job1["job_id"], {Tree("x")});

  DropJob(job1);
  EXPECT_EQ(Gc()["packs_removed"], 1);
  EXPECT_TRUE(Packs().empty());
  EXPECT_TRUE(Json({"storage", "afiles"})["archive_files"].empty());
}

// A killed job is not live: the next collection frees what it stored.
TEST_F(GarbageCollectionTest, AKilledJobsDataIsFreed) {
  const nlohmann::json first = Backup({Tree("x")});
  for (int i = 0; i < 4; ++i)
    WriteRandomFile(Tree("z") + "/z" + std::to_string(i), 30 + i, 1024 * kBlock);
  Child child({"backup", "--root", Root(), "--block-size", "4K", "--batch", "64", Tree("z")},
              dir_.path());
  // Until it has written some of Z.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (PackBytes() < 256 * kBlock && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  child.Signal(SIGKILL);
  ASSERT_EQ(child.Finish().signal, SIGKILL);
  const uint64_t before = PackBytes();

  const nlohmann::json collected = Gc();
  EXPECT_EQ(collected["jobs_found_dead"].size(), 1u);
  EXPECT_EQ(collected["packs_removed"], 1);
  EXPECT_EQ(collected["bytes_freed"].get<uint64_t>(), before - PackBytes());
  const std::string firstPack = std::to_string(first["archive_file_id"].get<uint32_t>()) + ".pack";
  EXPECT_EQ(Packs(), std::vector<std::string>{firstPack});
  EXPECT_EQ(Json({"storage", "jobs"})["jobs"].back()["status"], "interrupted");
  ExpectRestored(first["job_id"], {Tree("x")});
}

// The disk fills at every write of a backup in turn: the job fails with one
// line, records nothing it did not write, and leaves the earlier job and
// the next one whole.
TEST_F(GarbageCollectionTest, AFullDiskFailsAJobCleanly) {
  const nlohmann::json first = Backup({Tree("x")});
  RunOptions full;
  bool failedOnce = false;
  // Until a run's writes all come before the fault.
  for (int call = 1;; call += 3) {
    ASSERT_LT(call, 100);
    SCOPED_TRACE("write " + std::to_string(call));
    // Every write from the `call`th on fails with ENOSPC (kWrite = 4).
    full.env = {"CLDB_IO_FAULT=" + std::to_string(call) + ":4:28:1"};
    const RunResult result = RunTool(BackupArgs({"--batch", "2", Tree("x"), Tree("y")}), full);
    if (result.exitCode == 0) break;
    failedOnce = true;
    EXPECT_EQ(result.exitCode, 2) << result.err;
    ASSERT_FALSE(result.ErrorLines().empty());
    EXPECT_EQ(result.ErrorLines().back().rfind("cldb: ", 0), 0u);
    const nlohmann::json job = Json({"storage", "jobs"})["jobs"].back();
    if (job["job_id"] != first["job_id"]) {
      EXPECT_FALSE(job["live"].get<bool>());
    }
  }
  EXPECT_TRUE(failedOnce);
  Gc();
  const nlohmann::json next = Backup({Tree("x"), Tree("y")});
  EXPECT_EQ(Verify(0)["bad_blocks"], 0);
  ExpectRestored(first["job_id"], {Tree("x")});
  ExpectRestored(next["job_id"], {Tree("x"), Tree("y")});
}

// A collection killed in the middle of a rewrite leaves the new pack behind,
// unnamed; the next one removes it and does the rewrite.
TEST_F(GarbageCollectionTest, ACollectionCutShortIsFinishedByTheNext) {
  const nlohmann::json job1 = Backup({Tree("x"), Tree("y")});
  const nlohmann::json job2 = Backup({Tree("x")});
  DropJob(job1);
  const std::string half = cldbtest::ReadFile(Root() + "/packs/1.pack").substr(0, 1000);
  cldbtest::WriteFile(Root() + "/packs/1.1.pack", half);
  const nlohmann::json collected = Gc();
  EXPECT_EQ(collected["orphans_removed"], 1);
  EXPECT_EQ(collected["packs_rewritten"], 1);
  EXPECT_EQ(Packs(), std::vector<std::string>{"1.1.pack"});
  ExpectRestored(job2["job_id"], {Tree("x")});
}

// Every call of a collection that changes the disk fails in turn: the
// collection fails or finishes, and what live jobs need stays whole.
TEST_F(GarbageCollectionTest, ACollectionThatFailsAnywhereLosesNothing) {
  const nlohmann::json job1 = Backup({Tree("x"), Tree("y")});
  const nlohmann::json job2 = Backup({Tree("x")});
  DropJob(job1);
  RunOptions failing;
  for (int call = 1;; ++call) {
    SCOPED_TRACE("call " + std::to_string(call));
    failing.env = {"CLDB_IO_FAULT=" + std::to_string(call)};
    const RunResult result = RunTool({"gc", "--root", Root(), "--json"}, failing);
    ExpectRestored(job2["job_id"], {Tree("x")});
    if (result.exitCode == 0) break;
    EXPECT_EQ(result.exitCode, 2) << result.err;
    ASSERT_LT(call, 100);
  }
  Gc();
  EXPECT_EQ(Packs(), std::vector<std::string>{"1.1.pack"});
  EXPECT_EQ(Verify(0)["bad_blocks"], 0);
}

}  // namespace
}  // namespace tooltest
