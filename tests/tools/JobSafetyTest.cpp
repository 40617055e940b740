// End-to-end: a backup killed, interrupted or met by a second backup never
// leaves a CLDB that answers a false hit.

#include <signal.h>
#include <sqlite3.h>
#include <string.h>

#include <chrono>
#include <filesystem>
#include <fstream>
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
    auto child = std::make_unique<Child>(BackupArgs({"--batch", batch, Tree("x"), Tree("z")}),
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
  nlohmann::json LastJob() { return Json({"storage", "jobs"})["jobs"].back(); }

  nlohmann::json StateXml() { return Json({"state", CldbFolder()}); }

  // Stops `child` at a moment it holds no write lock of the storage side,
  // so that another process can still start a job there; false when the
  // child ended first.
  bool StopOutsideAStorageWrite(Child& child) {
    sqlite3* db = nullptr;
    if (sqlite3_open((Root() + "/storage.sqlite").c_str(), &db) != SQLITE_OK) return false;
    bool stopped = false;
    while (!stopped && !child.Ended()) {
      child.Signal(SIGSTOP);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the signal lands
      stopped =
          sqlite3_exec(db, "BEGIN IMMEDIATE; ROLLBACK", nullptr, nullptr, nullptr) == SQLITE_OK;
      if (!stopped) {
        child.Signal(SIGCONT);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    sqlite3_close(db);
    return stopped;
  }
};

// The killed job shows as interrupted, not running; it is not live, and
// its CLDB is recreated.
TEST_F(JobSafetyTest, AKilledBackupLeavesACldbThatIsRecreatedWithoutFalseHits) {
  const nlohmann::json first = Backup({Tree("x")});
  std::unique_ptr<Child> child = StartSlowBackup();
  child->Signal(SIGKILL);
  const RunResult killed = child->Finish();
  ASSERT_EQ(killed.signal, SIGKILL);
  EXPECT_NE(StateXml()["state"], 2) << "the CLDB was closed before the kill";
  const nlohmann::json job = LastJob();
  EXPECT_EQ(job["status"], "interrupted");
  EXPECT_FALSE(job["live"].get<bool>());
  EXPECT_LT(job["blocks"].get<uint64_t>(), kX + kZ);

  // Nothing of the unclosed CLDB is trusted, not even the blocks of the
  // completed first job. Finding the job's process gone, the storage side
  // retired its archive files and marked the CLDB dirty, which the library
  // meets before it finds the CLDB unclosed.
  const nlohmann::json after = Backup({Tree("x"), Tree("z")});
  EXPECT_EQ(after["cldb_recreated_reason"], "dirty");
  EXPECT_EQ(after["hits"], 0);
  EXPECT_EQ(after["misses"], kX + kZ);
  ExpectRestored(first["job_id"], {Tree("x")});
  EXPECT_EQ(StateXml()["state"], 2);
  EXPECT_EQ(StateXml()["record_count"], kX + kZ);

  const nlohmann::json next = Backup({Tree("x"), Tree("z")});
  EXPECT_EQ(next["hits"], kX + kZ);
}

// SIGHUP (the terminal closed), SIGINT and SIGTERM end a backup cleanly,
// and so do they twice or mixed (timeout sends SIGTERM to the process, then
// to its group): the CLDB is closed, the job recorded as interrupted, and
// the next backup finds what the interrupted one stored.
TEST_F(JobSafetyTest, ASignalledBackupClosesTheCldbCleanly) {
  const struct {
    const char* what;
    std::vector<int> signals;
  } cases[] = {
      {"SIGHUP", {SIGHUP}},
      {"SIGINT", {SIGINT}},
      {"SIGTERM", {SIGTERM}},
      {"SIGTERM twice", {SIGTERM, SIGTERM}},
      {"SIGINT, SIGHUP, SIGTERM", {SIGINT, SIGHUP, SIGTERM}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(Root());
    std::unique_ptr<Child> child = StartSlowBackup();
    for (int sig : c.signals) {
      // Pending together, signals are delivered lowest number first.
      child->Signal(sig);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const RunResult interrupted = child->Finish();
    ASSERT_EQ(interrupted.signal, 0) << "ended by the signal itself";
    ASSERT_EQ(interrupted.exitCode, 128 + c.signals[0]) << interrupted.err;
    EXPECT_NE(interrupted.err.find(std::string("cldb: interrupted by SIG") +
                                   sigabbrev_np(c.signals[0]) + "; the CLDB was closed cleanly"),
              std::string::npos)
        << interrupted.err;
    const nlohmann::json partial = interrupted.Json();
    EXPECT_TRUE(partial["interrupted"].get<bool>());
    const uint64_t stored = partial["misses"];
    EXPECT_GT(stored, 0u);  // the batch at hand is finished
    EXPECT_LT(stored, kX + kZ);
    EXPECT_EQ(StateXml()["state"], 2);
    const nlohmann::json job = LastJob();
    EXPECT_EQ(job["status"], "interrupted");
    EXPECT_EQ(job["blocks"], stored);

    // What the interrupted job stored is found; the rest is not.
    const nlohmann::json next = Backup({Tree("x"), Tree("z")});
    EXPECT_EQ(LogText().find("Previous session terminated without"), std::string::npos);
    EXPECT_FALSE(next["cldb_recreated"].get<bool>());
    EXPECT_EQ(next["hits"], stored);
    EXPECT_EQ(next["misses"], kX + kZ - stored);
  }
}

// The commands that change the CLDB or the storage side finish what they
// started, however many signals come, and exit as a signalled command does.
// Each is held before its first change by a write lock on the storage
// database until the signals are in.
TEST_F(JobSafetyTest, PruneAndStorageChangesEndCleanlyOnSignals) {
  Backup({Tree("x")});
  const nlohmann::json other = Backup({Tree("x")}, {"--app", "2"});
  const std::string otherJob = std::to_string(other["job_id"].get<uint32_t>());
  const struct {
    std::vector<std::string> args;
    int sig;
  } cases[] = {
      {{"prune"}, SIGHUP},
      {{"storage", "drop-job", otherJob}, SIGINT},
      {{"storage", "dirty", "--app", "1"}, SIGTERM},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1 % c.args.size()]);
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((Root() + "/storage.sqlite").c_str(), &db));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--root", Root()});
    Child child(args, dir_.path());
    ASSERT_TRUE(child.WaitUntilGuarded());
    child.Signal(c.sig);
    child.Signal(c.sig);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(child.Ended());  // still waiting for the storage database
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    const RunResult ended = child.Finish();
    EXPECT_EQ(ended.exitCode, 128 + c.sig) << ended.err;
  }
  const nlohmann::json jobs = Json({"storage", "jobs"})["jobs"];
  ASSERT_EQ(jobs.size(), 2u);                       // the other client's job is gone
  EXPECT_EQ(jobs.back()["status"], "interrupted");  // the prune, not left running
  EXPECT_EQ(StateXml()["state"], 2);
  const nlohmann::json next = Backup({Tree("x")});
  EXPECT_EQ(next["cldb_recreated_reason"], "dirty");  // the change went through
  EXPECT_EQ(Backup({Tree("x")})["hits"], kX);
}

// A compaction and a dump on a signal: finished and exited as signalled, or
// done before the signal landed; the CLDB is whole either way and the dump
// complete.
TEST_F(JobSafetyTest, CompactionAndDumpAreNotDamagedBySignals) {
  Backup({Tree("x"), Tree("z")});
  const std::string out = dir_ / "out";
  std::filesystem::create_directories(out);
  const std::vector<std::vector<std::string>> commands = {{"compact", CldbFolder()},
                                                          {"dump", CldbFolder(), "-o", out}};
  for (const std::vector<std::string>& args : commands) {
    SCOPED_TRACE(args[0]);
    Child child(args, dir_.path());
    ASSERT_TRUE(child.WaitUntilGuarded());
    child.Signal(SIGTERM);
    child.Signal(SIGTERM);
    const RunResult ended = child.Finish();
    EXPECT_EQ(ended.signal, 0);
    EXPECT_TRUE(ended.exitCode == 0 || ended.exitCode == 128 + SIGTERM) << ended.err;
  }
  size_t lines = 0;
  for (const auto& entry : std::filesystem::directory_iterator(out)) {
    std::ifstream in(entry.path());
    for (std::string line; std::getline(in, line);) ++lines;
  }
  EXPECT_EQ(lines, 1 + kX + kZ);  // the header and every record
  EXPECT_EQ(StateXml()["state"], 2);
  EXPECT_EQ(Backup({Tree("x"), Tree("z")})["hits"], kX + kZ);
}

// A second backup (and a prune, a dump) beside a backup held in the middle
// of its job: refused with exit 3 whether or not the two were told of the
// same lock folder (another user's session, a relative CLDB_LOCK_DIR, cron
// beside a login shell); the held backup then goes on and closes the CLDB
// cleanly. The lock of a CLDB depends on nothing but its folder.
TEST_F(JobSafetyTest, ACldbInUseIsRefusedAndLeftIntact) {
  RunOptions other, cron, login;
  other.env = {"CLDB_LOCK_DIR=" + dir_.path() + "/other-locks",
               "XDG_RUNTIME_DIR=" + dir_.path() + "/other-runtime"};
  cron.env = {"CLDB_LOCK_DIR=" + dir_.path() + "/cron-locks", "XDG_RUNTIME_DIR=/nonexistent"};
  login.env = {"CLDB_LOCK_DIR=" + dir_.path() + "/login-locks"};
  const struct {
    const char* what;
    RunOptions held, second;
  } cases[] = {
      {"same environment", {}, {}},
      {"another environment", {}, other},
      {"cron and a login shell", cron, login},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(Root());  // each case from an empty root
    std::unique_ptr<Child> child = StartSlowBackup(c.held);
    ASSERT_TRUE(StopOutsideAStorageWrite(*child));
    RunResult second = Run({"backup", "--block-size", "4K", Tree("x")}, 3, c.second);
    ASSERT_EQ(second.ErrorLines().size(), 1u) << second.err;
    EXPECT_EQ(second.ErrorLines()[0], "cldb: CLDB for client 1 copy 1 is in use by another backup");
    Run({"prune"}, 3, c.second);
    EXPECT_EQ(RunTool({"dump", CldbFolder(), "-o", dir_.path()}, c.second).exitCode, 3);
    EXPECT_EQ(RunTool({"compact", CldbFolder() + "/"}, c.second).exitCode, 3);

    child->Signal(SIGINT);
    child->Signal(SIGCONT);
    const RunResult first = child->Finish();
    ASSERT_EQ(first.exitCode, 128 + SIGINT) << first.err;
    const uint64_t stored = first.Json()["misses"];
    EXPECT_EQ(Backup({Tree("x"), Tree("z")})["hits"], stored);
  }
}

// The next backup may start in the very second the last one ended: what a
// dropped job stored is still never found.
TEST_F(JobSafetyTest, ABackupRightAfterItsJobWasDroppedFindsNothing) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    const nlohmann::json job = Backup({Tree("x")});
    DropJob(job);
    EXPECT_EQ(Backup({Tree("x")})["hits"], 0);
  }
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
    RunResult result = Run({"storage", change[0], change[1]}, 3);
    ASSERT_EQ(result.ErrorLines().size(), 1u) << result.err;
    EXPECT_NE(result.ErrorLines()[0].find("in use by a running job"), std::string::npos);
  }
  // Held, the job may hold the database's write lock too; running, it lets
  // the drop of another client's job through.
  child->Signal(SIGCONT);
  const std::string otherJob = std::to_string(otherClient["job_id"].get<uint32_t>());
  Run({"storage", "drop-job", otherJob});

  const RunResult finished = child->Finish();
  ASSERT_EQ(finished.exitCode, 0) << finished.err;
  EXPECT_EQ(finished.Json()["hits"], kX);
  EXPECT_EQ(JobOnStorage(job1["job_id"])["blocks"], kX);
  Run({"storage", "drop-job", running});
}

}  // namespace
}  // namespace tooltest
