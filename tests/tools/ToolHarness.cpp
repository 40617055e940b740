#include "ToolHarness.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#ifndef CLDB_TOOL_PATH
#error "CLDB_TOOL_PATH names the cldb binary under test"
#endif

namespace tooltest {
namespace {

const uid_t kNobody = 65534;

std::vector<char*> Argv(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(CLDB_TOOL_PATH));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// Starts the tool with stdout and stderr sent to the two files.
pid_t Spawn(const std::vector<std::string>& args, const RunOptions& options,
            const std::string& outPath, const std::string& errPath) {
  std::vector<char*> argv = Argv(args);
  const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0 || err < 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls until exec, apart from setenv.
    if (dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0) _exit(126);
    const int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, STDIN_FILENO);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    for (const std::string& entry : options.env) putenv(const_cast<char*>(entry.c_str()));
    if (options.asNobody &&
        (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))
      _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out);
  close(err);
  return pid;
}

// waitpid that also reads the child's peak resident memory.
pid_t Reap(pid_t pid, int& status, int options, long& maxRssKiB) {
  struct rusage usage {};
  const pid_t reaped = wait4(pid, &status, options, &usage);
  if (reaped == pid) maxRssKiB = usage.ru_maxrss;
  return reaped;
}

RunResult Collect(int status, long maxRssKiB, const std::string& outPath,
                  const std::string& errPath) {
  RunResult result;
  result.maxRssKiB = maxRssKiB;
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  result.out = cldbtest::ReadFile(outPath);
  result.err = cldbtest::ReadFile(errPath);
  return result;
}

uint64_t SplitMix(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

nlohmann::json RunResult::Json() const {
  nlohmann::json value = nlohmann::json::parse(out, nullptr, false);
  if (value.is_discarded()) ADD_FAILURE() << "stdout is not one JSON value:\n" << out;
  return value;
}

std::vector<std::string> RunResult::ErrorLines() const {
  std::vector<std::string> lines;
  std::istringstream in(err);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

RunResult RunTool(const std::vector<std::string>& args, const RunOptions& options) {
  cldbtest::TempDir output;
  const std::string outPath = output / "stdout";
  const std::string errPath = output / "stderr";
  const pid_t pid = Spawn(args, options, outPath, errPath);
  if (pid < 0) {
    ADD_FAILURE() << "cannot start " << CLDB_TOOL_PATH;
    return {};
  }
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
  int status = 0;
  long maxRssKiB = 0;
  while (Reap(pid, status, WNOHANG, maxRssKiB) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      Reap(pid, status, 0, maxRssKiB);
      ADD_FAILURE() << "cldb did not end within " << options.timeoutSeconds << " s";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return Collect(status, maxRssKiB, outPath, errPath);
}

Child::Child(const std::vector<std::string>& args, const std::string& outputFolder,
             const RunOptions& options)
    : outPath_(outputFolder + "/child.out"), errPath_(outputFolder + "/child.err") {
  pid_ = Spawn(args, options, outPath_, errPath_);
  if (pid_ < 0) ADD_FAILURE() << "cannot start " << CLDB_TOOL_PATH;
}

Child::~Child() {
  if (pid_ > 0 && !Ended()) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
  }
}

void Child::Signal(int sig) {
  if (pid_ > 0 && !reaped_) kill(pid_, sig);
}

bool Child::WaitUntilGuarded() {
  const std::string status = "/proc/" + std::to_string(pid_) + "/status";
  auto bit = [](int sig) { return 1ull << (sig - 1); };
  const uint64_t stops = bit(SIGHUP) | bit(SIGINT) | bit(SIGTERM);
  while (!Ended()) {
    std::istringstream lines(cldbtest::ReadFile(status));
    uint64_t blocked = 0, ignored = 0;
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("SigBlk:", 0) == 0) blocked = std::stoull(line.substr(7), nullptr, 16);
      if (line.rfind("SigIgn:", 0) == 0) ignored = std::stoull(line.substr(7), nullptr, 16);
    }
    if ((ignored & bit(SIGPIPE)) != 0 && (blocked & stops) == stops) return true;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return false;
}

bool Child::Ended() {
  if (reaped_) return true;
  reaped_ = pid_ > 0 && Reap(pid_, status_, WNOHANG, maxRssKiB_) == pid_;
  return reaped_;
}

RunResult Child::Finish() {
  if (!reaped_ && pid_ > 0) Reap(pid_, status_, 0, maxRssKiB_);
  reaped_ = true;
  return Collect(status_, maxRssKiB_, outPath_, errPath_);
}

std::string RandomBytes(uint64_t seed, size_t size) {
  std::string bytes(size, '\0');
  uint64_t state = seed * 0x2545F4914F6CDD1Dull + 1;
  for (size_t at = 0; at < size; at += 8) {
    const uint64_t word = SplitMix(state);
    std::memcpy(&bytes[at], &word, std::min<size_t>(8, size - at));
  }
  return bytes;
}

void WriteRandomFile(const std::string& path, uint64_t seed, size_t size) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  cldbtest::WriteFile(path, RandomBytes(seed, size));
}

TreeScan ScanTree(const std::string& root) {
  TreeScan scan;
  auto note = [&](const std::filesystem::path& path, const std::string& relative) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) return;
    ScannedEntry entry;
    entry.type = info.st_mode & S_IFMT;
    entry.mode = info.st_mode & 07777;
    entry.mtimeNs = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    if (S_ISREG(info.st_mode)) entry.content = cldbtest::ReadFile(path);
    if (S_ISLNK(info.st_mode)) entry.content = std::filesystem::read_symlink(path).string();
    scan[relative] = std::move(entry);
  };
  note(root, ".");
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    note(it->path(), it->path().lexically_relative(root).string());
  return scan;
}

std::vector<std::string> CompareScans(const TreeScan& expected, const TreeScan& actual,
                                      bool subset) {
  std::vector<std::string> differences;
  for (const auto& [path, want] : expected) {
    auto found = actual.find(path);
    if (found == actual.end()) {
      if (!subset) differences.push_back(path + ": missing");
      continue;
    }
    const ScannedEntry& got = found->second;
    if (want.type != got.type) differences.push_back(path + ": kind");
    if (want.type != S_IFLNK && want.mode != got.mode) differences.push_back(path + ": mode");
    if (want.mtimeNs != got.mtimeNs) differences.push_back(path + ": modification time");
    if (want.content != got.content) differences.push_back(path + ": content");
  }
  for (const auto& [path, entry] : actual)
    if (expected.count(path) == 0) differences.push_back(path + ": not in the original");
  return differences;
}

std::vector<std::string> CompareTrees(const std::string& expected, const std::string& actual) {
  return CompareScans(ScanTree(expected), ScanTree(actual));
}

ToolTest::ToolTest() {
  // Open to all, for the runs as nobody; and any run that falls back on the
  // default root folder lands here rather than in the user's home.
  std::filesystem::permissions(dir_.path(), std::filesystem::perms::all);
  setenv("XDG_DATA_HOME", (dir_ / "xdg").c_str(), 1);
}

std::string ToolTest::CldbFolder(uint32_t app, uint32_t copy) const {
  return Root() + "/ZEL_CLDB_APP_" + std::to_string(app) + "_" + std::to_string(copy);
}

std::string ToolTest::LogText() const { return cldbtest::ReadFile(Root() + "/logs/cldb.log"); }

RunResult ToolTest::Run(const std::vector<std::string>& args, int exitCode,
                        const RunOptions& options) {
  std::vector<std::string> full = args;
  full.insert(full.end(), {"--root", Root()});
  RunResult result = RunTool(full, options);
  EXPECT_EQ(result.exitCode, exitCode) << ::testing::PrintToString(args) << "\n" << result.err;
  return result;
}

std::vector<std::string> ToolTest::BackupArgs(const std::vector<std::string>& args) const {
  std::vector<std::string> full = {"backup", "--root",       Root(),
                                   "--json", "--block-size", std::to_string(kBlock)};
  full.insert(full.end(), args.begin(), args.end());
  return full;
}

nlohmann::json ToolTest::Backup(const std::vector<std::string>& paths,
                                const std::vector<std::string>& extra) {
  std::vector<std::string> args = BackupArgs(extra);
  args.insert(args.end(), paths.begin(), paths.end());
  RunResult result = RunTool(args);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  nlohmann::json job = result.Json();
  // A correct CLDB never answers for a block the storage side cannot serve.
  EXPECT_EQ(job["false_hits"], 0) << "false hits in job " << job["job_id"];
  return job;
}

nlohmann::json ToolTest::Json(const std::vector<std::string>& args) {
  std::vector<std::string> full = args;
  full.push_back("--json");
  return Run(full).Json();
}

void ToolTest::DropJob(const nlohmann::json& job) {
  Run({"storage", "drop-job", std::to_string(job["job_id"].get<uint32_t>())});
}

void ToolTest::DropAfile(const nlohmann::json& job) {
  Run({"storage", "drop-afile", std::to_string(job["archive_file_id"].get<uint32_t>())});
}

std::vector<DumpRecord> ToolTest::Dump(uint32_t app) {
  const std::string folder = dir_ / "dump";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  RunResult result = RunTool({"dump", CldbFolder(app), "-o", folder});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  std::vector<DumpRecord> records;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::ifstream in(entry.path());
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
      unsigned long long crc, size, reserved;
      unsigned tags, archivingTime, afile, flags, lastUpdate, inserted, subStore;
      if (std::sscanf(line.c_str(), "%llu , %llu , %u , %u , %u , %u , %u , %u , %u , %llu", &crc,
                      &size, &tags, &archivingTime, &afile, &flags, &lastUpdate, &inserted,
                      &subStore, &reserved) != 10) {
        ADD_FAILURE() << "bad dump line: " << line;
        continue;
      }
      records.push_back({size, afile, lastUpdate});
    }
  }
  return records;
}

std::string ToolTest::Restore(uint32_t jobId, const std::vector<std::string>& extra) {
  static int restores = 0;
  const std::string target = dir_ / ("restore-" + std::to_string(++restores));
  std::vector<std::string> args = {"restore", std::to_string(jobId), "--to", target};
  args.insert(args.end(), extra.begin(), extra.end());
  Run(args);
  return target;
}

void ToolTest::ExpectRestored(uint32_t jobId, const std::vector<std::string>& trees) {
  const std::string target = Restore(jobId);
  for (const std::string& tree : trees) {
    const std::vector<std::string> differences = CompareTrees(tree, target + tree);
    EXPECT_TRUE(differences.empty())
        << "job " << jobId << ", " << tree << ": " << ::testing::PrintToString(differences);
  }
}

nlohmann::json ToolTest::JobOnStorage(uint32_t jobId) {
  const nlohmann::json listed = Json({"storage", "jobs"});
  for (const nlohmann::json& job : listed["jobs"])
    if (job["job_id"] == jobId) return job;
  ADD_FAILURE() << "no job " << jobId << " on the storage side";
  return {};
}

void TwoTreesTest::SetUp() {
  WriteRandomFile(Tree("x") + "/x1", 11, 5 * kBlock);
  WriteRandomFile(Tree("x") + "/x2", 12, 3 * kBlock + 7);
  WriteRandomFile(Tree("y") + "/y1", 13, 6 * kBlock);
}

}  // namespace tooltest
