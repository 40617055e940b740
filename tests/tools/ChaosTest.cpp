// The chaos test: over a generated tree, a seeded random sequence of steps
// (change, add, delete and truncate files; back up; drop jobs and archive
// files; collect garbage; prune; mark a CLDB dirty) in which any command may
// be killed (SIGKILL) or interrupted (SIGINT) at a random moment, or meet a
// full disk. After every step each live job is restored and compared byte
// for byte, with modes and times, with the snapshot taken when it was backed
// up, and no backup may meet a false hit.
//
// A job is expected whole unless an archive file was lost while it was live
// (then each file it restores must still be right, and it must be whole
// again once verify finds nothing missing) or it was interrupted (then it
// holds part of its snapshot).
//
// CLDB_CHAOS_SECONDS sets how long it runs (default 75), CLDB_CHAOS_SEED the
// seed (default: drawn, and printed); every failure names the seed, so a
// run can be replayed. scripts/chaos runs it as a soak.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <random>
#include <set>
#include <thread>

#include "ToolHarness.h"

namespace tooltest {
namespace {

using SteadyClock = std::chrono::steady_clock;

struct Counts {
  uint64_t steps = 0, backups = 0, kills = 0, interrupts = 0, fullDisks = 0, dropJobs = 0,
           lostFiles = 0, collections = 0, prunes = 0, dirty = 0, restores = 0, verifies = 0;
};

// How a command is run: to its end, or stopped at a random moment.
enum class Ending { kRuns, kKilled, kInterrupted };

uint64_t EnvNumber(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  return text && *text ? std::strtoull(text, nullptr, 10) : fallback;
}

class ChaosTest : public ToolTest {
 protected:
  struct Known {
    TreeScan snapshot;
    bool partial = false;       // interrupted: holds part of the snapshot
    bool mayBeDamaged = false;  // an archive file was lost while it was live
  };

  uint64_t Pick(uint64_t n) { return random_() % n; }
  bool Chance(unsigned percent) { return Pick(100) < percent; }
  std::string Tree() const { return ToolTest::Tree("t"); }
  void Note(const std::string& step) {
    log_.push_back(std::to_string(counts_.steps) + ": " + step);
    if (log_.size() > 40) log_.erase(log_.begin());
  }

  // ---- the tree ----
  std::vector<std::string> Files() {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(Tree()))
      if (entry.is_regular_file(ec_) && !entry.is_symlink(ec_)) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
  }
  std::string Folder() {
    static const char* const kFolders[] = {"", "/a", "/a/b", "/c"};
    const std::string folder = Tree() + kFolders[Pick(4)];
    std::filesystem::create_directories(folder);
    return folder;
  }
  // Fresh bytes, or bytes of another file, so that blocks repeat.
  std::string Content(size_t size) {
    const std::vector<std::string> files = Files();
    if (!files.empty() && Chance(30)) {
      std::string other = cldbtest::ReadFile(files[Pick(files.size())]);
      if (other.size() >= size) return other.substr(0, size);
    }
    return RandomBytes(random_(), size);
  }
  void MakeTree() {
    std::filesystem::create_directories(Tree() + "/c");
    for (int i = 0; i < 24; ++i) AddFile();
    ASSERT_EQ(symlink("../a/b", (Tree() + "/c/up").c_str()), 0);
    std::filesystem::create_directories(Tree() + "/empty");
  }
  void AddFile() {
    const size_t size = Pick(4) == 0 ? Pick(3) : Pick(12 * kBlock);
    cldbtest::WriteFile(Folder() + "/f" + std::to_string(random_() % 100000), Content(size));
  }
  void Mutate() {
    const int changes = 1 + static_cast<int>(Pick(4));
    for (int i = 0; i < changes; ++i) {
      const std::vector<std::string> files = Files();
      const std::string file = files.empty() ? "" : files[Pick(files.size())];
      switch (file.empty() ? 0 : Pick(7)) {
        case 0:
          AddFile();
          break;
        case 1:
          std::filesystem::remove(file);
          break;
        case 2:
          std::filesystem::resize_file(file, Pick(std::filesystem::file_size(file) + 1));
          break;
        case 3:
          chmod(file.c_str(), Chance(50) ? 0600 : 0754);
          break;
        case 4: {
          if (Chance(50)) std::filesystem::remove(Tree() + "/c/up");
          std::error_code ignored;
          std::filesystem::create_symlink(file, Tree() + "/c/up", ignored);
          break;
        }
        default: {  // rewrite a stretch
          std::string bytes = cldbtest::ReadFile(file);
          const size_t at = Pick(bytes.size() + 1);
          const std::string fresh = Content(1 + Pick(2 * kBlock));
          bytes.replace(at, std::min(fresh.size(), bytes.size() - at), fresh);
          cldbtest::WriteFile(file, bytes);
        }
      }
    }
    Note("changed " + std::to_string(changes) + " entries");
  }

  // ---- commands ----
  // Runs `cldb args --root <root>`, ended as `ending` says after a random
  // pause. `ended` tells whether the stop came before the command's end.
  RunResult Command(std::vector<std::string> args, Ending ending, bool& stopped,
                    const RunOptions& options = {}) {
    args.insert(args.end(), {"--root", Root()});
    stopped = false;
    if (ending == Ending::kRuns) return RunTool(args, options);
    Child child(args, dir_.path(), options);
    // Many stops land early, some late.
    static const int kPausesMs[] = {0, 2, 5, 15, 40, 100, 250};
    std::this_thread::sleep_for(std::chrono::milliseconds(kPausesMs[Pick(7)] + Pick(10)));
    if (!child.Ended()) {
      stopped = true;
      child.Signal(ending == Ending::kKilled ? SIGKILL : SIGINT);
      ++(ending == Ending::kKilled ? counts_.kills : counts_.interrupts);
    }
    return child.Finish();
  }
  Ending AnEnding(unsigned killPercent) {
    if (Chance(killPercent)) return Ending::kKilled;
    return Ending::kRuns;
  }
  // A signal that comes after the job's last batch ends the command with
  // 130, but the job ends as it would have: completed, unless it failed.
  bool CompletedDespiteSignal(const RunResult& result, const nlohmann::json& job) {
    if (result.exitCode != 130 || job["interrupted"].get<bool>()) return false;
    for (const nlohmann::json& entry : Jobs())
      if (entry["job_id"] == job["job_id"])
        return entry["live"].get<bool>() && entry["status"] == "completed";
    return false;
  }

  nlohmann::json Jobs() {
    if (!std::filesystem::exists(Root() + "/storage.sqlite")) return nlohmann::json::array();
    const RunResult result = Run({"storage", "jobs", "--json"});
    return result.Json()["jobs"];
  }

  uint32_t NewestJob() {
    const nlohmann::json jobs = Jobs();
    return jobs.empty() ? 0 : jobs.back()["job_id"].get<uint32_t>();
  }

  void BackupStep() {
    ++counts_.backups;
    const TreeScan snapshot = ScanTree(Tree());
    const std::string app = Chance(75) ? "1" : "2";
    static const char* const kBatches[] = {"1024", "16", "3", "1"};
    std::vector<std::string> args = {"backup",
                                     Tree(),
                                     "--json",
                                     "--block-size",
                                     "4K",
                                     "--app",
                                     app,
                                     "--batch",
                                     kBatches[Pick(4)],
                                     "--threads",
                                     Chance(50) ? "1" : "2"};
    RunOptions options;
    Ending ending = AnEnding(20);
    const bool fullDisk = ending == Ending::kRuns && Chance(10);
    if (fullDisk) {
      ++counts_.fullDisks;
      // Every write from a random one on fails with ENOSPC.
      options.env = {"CLDB_IO_FAULT=" + std::to_string(1 + Pick(40)) + ":4:28:1"};
    } else if (ending == Ending::kRuns && Chance(10)) {
      ending = Ending::kInterrupted;
    }
    const uint32_t before = NewestJob();
    bool stopped = false;
    const RunResult result = Command(args, ending, stopped, options);
    Note(std::string("backup app ") + app + (fullDisk ? " on a full disk" : "") +
         (stopped ? (ending == Ending::kKilled ? " killed" : " interrupted") : "") + ": exit " +
         std::to_string(result.exitCode));
    if (result.signal != 0) {
      // Stopped before it could print: if it had ended just before, it is live.
      const nlohmann::json jobs = Jobs();
      if (!jobs.empty() && jobs.back()["job_id"] > before && jobs.back()["live"].get<bool>() &&
          jobs.back()["status"] == "completed")
        live_[jobs.back()["job_id"]] = {snapshot};
      return;
    }
    // 130: ended early by SIGINT, cleanly.
    ASSERT_TRUE(result.exitCode == 0 || result.exitCode == 2 || result.exitCode == 130)
        << result.err;
    const nlohmann::json job = result.Json();
    if (!job.contains("job_id")) {  // it failed before its job began
      EXPECT_TRUE(fullDisk) << result.err;
      return;
    }
    EXPECT_EQ(job["false_hits"], 0) << "job " << job["job_id"];
    if (result.exitCode == 0 || CompletedDespiteSignal(result, job)) {
      live_[job["job_id"]] = {snapshot};
    } else if (job["interrupted"].get<bool>()) {
      live_[job["job_id"]] = {snapshot, true};
    } else {
      EXPECT_TRUE(fullDisk) << result.err;
    }
  }

  void DropJobStep() {
    if (live_.empty()) return;
    ++counts_.dropJobs;
    auto victim = std::next(live_.begin(), static_cast<long>(Pick(live_.size())));
    const uint32_t jobId = victim->first;
    bool stopped = false;
    const RunResult result =
        Command({"storage", "drop-job", std::to_string(jobId)}, AnEnding(30), stopped);
    Note("drop-job " + std::to_string(jobId) + (stopped ? " killed" : "") + ": exit " +
         std::to_string(result.exitCode));
    if (!stopped) {
      EXPECT_EQ(result.exitCode, 0) << result.err;
    }
    for (const nlohmann::json& job : Jobs())
      if (job["job_id"] == jobId) return;  // the kill came first
    live_.erase(victim);
  }

  void LoseArchiveFileStep() {
    const std::string app = Chance(75) ? "1" : "2";
    const RunResult listed =
        RunTool({"storage", "afiles", "--app", app, "--root", Root(), "--json"});
    const nlohmann::json afiles = listed.Json()["archive_files"];
    if (!afiles.is_array() || afiles.empty()) return;
    // Mostly a valid one, which newer archive files may reference.
    std::vector<uint32_t> valid, any;
    for (const nlohmann::json& afile : afiles) {
      if (afile["state"] == "lost") continue;  // no pack left to lose
      any.push_back(afile["archive_file_id"]);
      if (afile["state"] == "valid") valid.push_back(afile["archive_file_id"]);
    }
    if (any.empty()) return;
    ++counts_.lostFiles;
    const std::vector<uint32_t>& from = !valid.empty() && Chance(80) ? valid : any;
    const uint32_t afile = from[Pick(from.size())];
    for (auto& [jobId, known] : live_) known.mayBeDamaged = true;
    bool stopped = false;
    const RunResult result =
        Command({"storage", "drop-afile", std::to_string(afile)}, AnEnding(30), stopped);
    Note("drop-afile " + std::to_string(afile) + (stopped ? " killed" : "") + ": exit " +
         std::to_string(result.exitCode));
    if (!stopped) {
      EXPECT_EQ(result.exitCode, 0) << result.err;
    }
  }

  // A command that must succeed (or exit with `alsoFine`) unless killed.
  void SimpleStep(std::vector<std::string> args, uint64_t& count, unsigned killPercent,
                  int alsoFine = 0) {
    ++count;
    bool stopped = false;
    const RunResult result = Command(args, AnEnding(killPercent), stopped);
    Note(args[0] + " " + (args.size() > 1 ? args[1] : "") + (stopped ? " killed" : "") + ": exit " +
         std::to_string(result.exitCode));
    if (!stopped) {
      EXPECT_TRUE(result.exitCode == 0 || result.exitCode == alsoFine) << result.err;
    }
  }

  // ---- the checks ----
  void Check() {
    std::set<uint32_t> listed;
    for (const nlohmann::json& job : Jobs())
      if (job["live"].get<bool>() && job["status"] != "running")
        listed.insert(job["job_id"].get<uint32_t>());
    for (auto& [jobId, known] : live_) {
      SCOPED_TRACE("job " + std::to_string(jobId));
      ASSERT_EQ(listed.count(jobId), 1u) << "a job that should be live is not";
      const std::string target = dir_ / ("r" + std::to_string(++counts_.restores));
      const RunResult result =
          RunTool({"restore", std::to_string(jobId), "--to", target, "--root", Root()});
      const bool whole = result.exitCode == 0;
      if (!known.mayBeDamaged) {
        EXPECT_EQ(result.exitCode, 0) << result.err;
      }
      EXPECT_TRUE(whole || result.exitCode == 4) << result.err;
      const std::vector<std::string> differences =
          CompareScans(known.snapshot, ScanTree(target + Tree()), known.partial || !whole);
      EXPECT_TRUE(differences.empty()) << ::testing::PrintToString(differences);
      std::filesystem::remove_all(target, ec_);
    }
  }
  void VerifyStep() {
    ++counts_.verifies;
    const RunResult result = RunTool({"verify", "--root", Root(), "--json"});
    EXPECT_TRUE(result.exitCode == 0 || result.exitCode == 4) << result.err;
    Note("verify: exit " + std::to_string(result.exitCode));
    // Nothing is missing: every job must restore whole from now on.
    if (result.exitCode == 0)
      for (auto& [jobId, known] : live_) known.mayBeDamaged = false;
  }

  void Step() {
    // Only a backup makes the root; every other command refuses a missing one.
    if (!std::filesystem::exists(Root() + "/storage.sqlite")) return BackupStep();
    if (live_.size() > 5) return DropJobStep();
    const uint64_t dice = Pick(100);
    if (dice < 25) return Mutate();
    if (dice < 55) return BackupStep();
    if (dice < 65) return DropJobStep();
    if (dice < 68) return LoseArchiveFileStep();
    if (dice < 80) return SimpleStep({"gc"}, counts_.collections, 40);
    // A client that never backed up has no CLDB to prune: bad input.
    if (dice < 87)
      return SimpleStep({"prune", "--app", Chance(50) ? "1" : "2"}, counts_.prunes, 30, 1);
    if (dice < 91) return SimpleStep({"storage", "dirty", "--app", "1"}, counts_.dirty, 0);
    return VerifyStep();
  }

  std::mt19937_64 random_;
  std::map<uint32_t, Known> live_;
  Counts counts_;
  std::vector<std::string> log_;
  std::error_code ec_;
};

TEST_F(ChaosTest, EveryLiveJobRestoresAfterEveryStep) {
  const uint64_t seed = EnvNumber("CLDB_CHAOS_SEED", std::random_device()());
  const uint64_t seconds = EnvNumber("CLDB_CHAOS_SECONDS", 75);
  std::cout << "[ chaos    ] seed " << seed << ", " << seconds << " s" << std::endl;
  SCOPED_TRACE("replay with CLDB_CHAOS_SEED=" + std::to_string(seed));
  random_.seed(seed);
  MakeTree();
  const auto end = SteadyClock::now() + std::chrono::seconds(seconds);
  while (SteadyClock::now() < end && !HasFailure()) {
    ++counts_.steps;
    Step();
    if (!HasFailure()) Check();
  }
  if (HasFailure()) {
    std::cout << "[ chaos    ] the last steps:\n";
    for (const std::string& line : log_) std::cout << "  " << line << "\n";
  }
  std::cout << "[ chaos    ] " << counts_.steps << " steps: " << counts_.backups << " backups, "
            << counts_.kills << " kills, " << counts_.interrupts << " interruptions, "
            << counts_.fullDisks << " full disks, " << counts_.dropJobs << " job drops, "
            << counts_.lostFiles << " lost archive files, " << counts_.collections
            << " collections, " << counts_.prunes << " prunes, " << counts_.dirty
            << " dirty marks, " << counts_.verifies << " verifies, " << counts_.restores
            << " restores\n";
  EXPECT_GT(counts_.restores, 0u);
}

}  // namespace
}  // namespace tooltest
