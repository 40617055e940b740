// End-to-end: a backup killed, interrupted or met by a second backup never
// leaves a CLDB that answers a false hit.

#include <signal.h>

#include <chrono>
#include <thread>

#include "ToolHarness.h"

namespace tooltest {
namespace {

class JobSafetyTest : public ToolTest {
 protected:
  // X: 8 blocks; Z: 4096 blocks, so that a backup in batches of one block
  // is long enough to be caught in the middle.
  void SetUp() override {
    WriteRandomFile(Tree("x") + "/x", 21, 8 * kBlock);
    for (int i = 0; i < 4; ++i)
      WriteRandomFile(Tree("z") + "/z" + std::to_string(i), 30 + i, 1024 * kBlock);
  }
  static constexpr uint64_t kX = 8;
  static constexpr uint64_t kZ = 4096;

  // Starts a slow backup of X and Z and returns once it has opened the CLDB,
  // as its log line tells; from then on it works through thousands of
  // batches before it closes the CLDB again.
  std::unique_ptr<Child> StartSlowBackup(const RunOptions& options = {},
                                         const std::string& batch = "1") {
    const size_t opened = Occurrences(LogText(), kOpenedLine);
    auto child = std::make_unique<Child>(
        std::vector<std::string>{"backup", "--root", Root(), "--json", "--block-size", "4K",
                                 "--batch", batch, Tree("x"), Tree("z")},
        dir_.path(), options);
    while (Occurrences(LogText(), kOpenedLine) == opened) {
      if (child->Ended()) {
        const RunResult ended = child->Finish();
        ADD_FAILURE() << "the backup ended before it opened the CLDB: exit " << ended.exitCode
                      << "\n"
                      << ended.err;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return child;
  }

  static size_t Occurrences(const std::string& text, const std::string& fragment) {
    size_t count = 0;
    for (size_t at = text.find(fragment); at != std::string::npos; at = text.find(fragment, at + 1))
      ++count;
    return count;
  }
  static constexpr const char* kOpenedLine = "CLDB Succeeded";

  // The job that StartSlowBackup started: the last one on the storage side.
  nlohmann::json LastJob() { return Json({"storage", "jobs"}).back(); }

  nlohmann::json StateXml() { return Json({"state", CldbFolder()}); }
};

// The killed job shows as interrupted, not running; it is not live, and
// its CLDB is recreated.
TEST_F(JobSafetyTest, AKilledBackupLeavesACldbThatIsRecreatedWithoutFalseHits) {
  const nlohmann::json first = Backup({Tree("x")});
  std::unique_ptr<Child> child = StartSlowBackup();
  child->Signal(SIGKILL);
  const RunResult killed = child->Finish();
  ASSERT_EQ(killed.signal, SIGKILL);
  EXPECT_NE(StateXml()["State"], 2) << "the CLDB was closed before the kill";
  const nlohmann::json job = LastJob();
  EXPECT_EQ(job["status"], "interrupted");
  EXPECT_FALSE(job["live"].get<bool>());
  EXPECT_LT(job["blocks"].get<uint64_t>(), kX + kZ);

  // Nothing of the unclosed CLDB is trusted, not even the blocks of the
  // completed first job.
  const nlohmann::json after = Backup({Tree("x"), Tree("z")});
  EXPECT_EQ(after["hits"], 0);
  EXPECT_EQ(after["misses"], kX + kZ);
  EXPECT_EQ(after["false_hits"], 0);
  ExpectRestored(first["job_id"], {Tree("x")});
  EXPECT_EQ(StateXml()["State"], 2);
  EXPECT_EQ(StateXml()["RECORDCOUNT"], kX + kZ);

  const nlohmann::json next = Backup({Tree("x"), Tree("z")});
  EXPECT_EQ(next["hits"], kX + kZ);
}

TEST_F(JobSafetyTest, AnInterruptedBackupClosesTheCldbCleanly) {
  std::unique_ptr<Child> child = StartSlowBackup();
  child->Signal(SIGINT);
  const RunResult interrupted = child->Finish();
  ASSERT_EQ(interrupted.exitCode, 2) << interrupted.err;
  EXPECT_NE(interrupted.err.find("interrupted"), std::string::npos);
  const nlohmann::json partial = interrupted.Json();
  EXPECT_TRUE(partial["interrupted"].get<bool>());
  const uint64_t stored = partial["misses"];
  EXPECT_GT(stored, 0u);  // the batch at hand is finished
  EXPECT_LT(stored, kX + kZ);
  EXPECT_EQ(StateXml()["State"], 2);
  const nlohmann::json job = LastJob();
  EXPECT_EQ(job["status"], "interrupted");
  EXPECT_EQ(job["blocks"], stored);

  // What the interrupted job stored is found; the rest is not.
  const nlohmann::json next = Backup({Tree("x"), Tree("z")});
  EXPECT_EQ(LogText().find("Previous session terminated without"), std::string::npos);
  EXPECT_EQ(next["hits"], stored);
  EXPECT_EQ(next["misses"], kX + kZ - stored);
}

TEST_F(JobSafetyTest, ACldbInUseIsRefusedAndLeftIntact) {
  std::unique_ptr<Child> child = StartSlowBackup();
  child->Signal(SIGSTOP);

  RunResult second = RunTool({"backup", "--root", Root(), "--block-size", "4K", Tree("x")});
  EXPECT_EQ(second.exitCode, 3);
  ASSERT_EQ(second.ErrorLines().size(), 1u);
  EXPECT_EQ(second.ErrorLines()[0], "cldb: CLDB for client 1 copy 1 is in use by another backup");
  EXPECT_EQ(RunTool({"prune", "--root", Root()}).exitCode, 3);
  EXPECT_EQ(RunTool({"compact", CldbFolder() + "/"}).exitCode, 3);
  EXPECT_EQ(RunTool({"dump", CldbFolder(), "-o", dir_.path()}).exitCode, 3);

  // The held backup goes on where it stopped and closes the CLDB cleanly.
  child->Signal(SIGINT);
  child->Signal(SIGCONT);
  const RunResult first = child->Finish();
  ASSERT_EQ(first.exitCode, 2) << first.err;
  const uint64_t stored = first.Json()["misses"];
  EXPECT_EQ(Backup({Tree("x"), Tree("z")})["hits"], stored);
}

// A running job read at its start the archive files it may reference and
// whether its CLDB may be trusted; the storage side changes neither under it.
TEST_F(JobSafetyTest, ADropWaitsForTheRunningJobsThatMayReferenceTheFiles) {
  const nlohmann::json job1 = Backup({Tree("x")});
  const nlohmann::json otherClient = Backup({Tree("x")}, {"--app", "2"});
  std::unique_ptr<Child> child = StartSlowBackup({}, "4");
  child->Signal(SIGSTOP);  // so that it is still running when the changes come
  const std::string running = std::to_string(LastJob()["job_id"].get<uint32_t>());
  const std::vector<std::vector<std::string>> refused = {
      {"drop-afile", std::to_string(job1["archive_file_id"].get<uint32_t>())},
      {"drop-job", std::to_string(job1["job_id"].get<uint32_t>())},
      {"drop-job", running},
      {"dirty", "--app=1"}};
  for (const std::vector<std::string>& change : refused) {
    SCOPED_TRACE(change[0] + " " + change[1]);
    RunResult result = RunTool({"storage", change[0], change[1], "--root", Root()});
    EXPECT_EQ(result.exitCode, 3) << result.err;
    ASSERT_EQ(result.ErrorLines().size(), 1u) << result.err;
    EXPECT_NE(result.ErrorLines()[0].find("in use by a running job"), std::string::npos);
  }
  // Held, the job may hold the database's write lock too; running, it lets
  // the drop of another client's job through.
  child->Signal(SIGCONT);
  const std::string otherJob = std::to_string(otherClient["job_id"].get<uint32_t>());
  EXPECT_EQ(RunTool({"storage", "drop-job", otherJob, "--root", Root()}).exitCode, 0);

  const RunResult finished = child->Finish();
  ASSERT_EQ(finished.exitCode, 0) << finished.err;
  EXPECT_EQ(finished.Json()["hits"], kX);
  EXPECT_EQ(JobOnStorage(job1["job_id"])["blocks"], kX);
  EXPECT_EQ(RunTool({"storage", "drop-job", running, "--root", Root()}).exitCode, 0);
}

// Two backups that see different environments (cron and a login shell)
// still meet on one CLDB: its lock depends on nothing but its folder.
TEST_F(JobSafetyTest, TheLockOfACldbDependsOnNothingButItsFolder) {
  RunOptions cron;
  cron.env = {"CLDB_LOCK_DIR=" + dir_.path() + "/cron-locks", "XDG_RUNTIME_DIR=/nonexistent"};
  std::unique_ptr<Child> child = StartSlowBackup(cron);
  child->Signal(SIGSTOP);
  RunOptions login;
  login.env = {"CLDB_LOCK_DIR=" + dir_.path() + "/login-locks"};
  const RunResult second =
      RunTool({"backup", "--root", Root(), "--block-size", "4K", Tree("x")}, login);
  EXPECT_EQ(second.exitCode, 3) << second.err;
  child->Signal(SIGINT);
  child->Signal(SIGCONT);
  EXPECT_EQ(child->Finish().exitCode, 2);
}

}  // namespace
}  // namespace tooltest
