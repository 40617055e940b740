// End-to-end: which folder is the root (--root, $CLDB_ROOT, a key of
// [CLDBRootFolders], the configured default), and that only a backup makes
// one: every other command refuses a root, storage database or CLDB that is
// not there, and looking at a CLDB changes nothing, not even for a user who
// may only read it.

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <tuple>

#include "ToolHarness.h"

namespace tooltest {
namespace {

namespace fs = std::filesystem;

class RootFolderTest : public ToolTest {
 protected:
  void SetUp() override {
    WriteRandomFile(Tree("t") + "/f", 3, 5 * kBlock);
    fs::create_directories(Work());
  }
  // The working folder of the runs, empty but for what they make.
  std::string Work() const { return Tree("work"); }
  RunOptions InWork(std::vector<std::string> env = {}) const {
    RunOptions options;
    options.cwd = Work();
    options.env = std::move(env);
    return options;
  }
  static std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
      names.push_back(entry.path().filename());
    return names;
  }
  // Every entry under `folder`, with what a change would alter; of the log
  // and of LMDB's lock file (its reader table, which even a read-only open
  // writes) only the kind and mode.
  static std::map<std::string, std::tuple<int, long, long, std::string>> Snapshot(
      const std::string& folder) {
    std::map<std::string, std::tuple<int, long, long, std::string>> entries;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
      struct stat info {};
      EXPECT_EQ(0, lstat(entry.path().c_str(), &info));
      const std::string name = entry.path().filename();
      if (name == "cldb.log" || name == "CacheTable.dat-lock") {
        entries[entry.path()] = {static_cast<int>(info.st_mode), 0, 0, ""};
        continue;
      }
      const bool small = S_ISREG(info.st_mode) && info.st_size < 4096;
      entries[entry.path()] = {static_cast<int>(info.st_mode), static_cast<long>(info.st_size),
                               info.st_mtim.tv_sec * 1000000000L + info.st_mtim.tv_nsec,
                               small ? cldbtest::ReadFile(entry.path()) : ""};
    }
    return entries;
  }
};

TEST_F(RootFolderTest, TheRootIsTheOptionElseTheEnvironmentThroughTheConfiguredKeys) {
  const std::string config = dir_ / "cldb.conf";
  cldbtest::WriteFile(config, "[CLDBRootFolders]\nnightly = " + Tree("srv-nightly") +
                                  "\n[CLDB]\nRootFolder = " + Tree("configured") + "\n");
  const std::string useConfig = "CLDB_CONFIG=" + config;
  const struct {
    std::vector<std::string> root;  // --root and its value, or nothing
    std::string environment;        // CLDB_ROOT, or "" for unset
    std::string expected;
  } cases[] = {
      {{"--root", "nightly"}, "", Tree("srv-nightly")},
      {{}, "CLDB_ROOT=nightly", Tree("srv-nightly")},
      {{}, "CLDB_ROOT=" + Tree("env-root"), Tree("env-root")},
      {{"--root", "relative"}, "CLDB_ROOT=" + Tree("env-root"), Work() + "/relative"},
      {{"--root", Tree("explicit") + "/"}, "CLDB_ROOT=nightly", Tree("explicit")},
      {{}, "", Tree("configured")},
      {{}, "CLDB_ROOT=", Tree("configured")},
  };
  const std::vector<std::string> candidates = {Tree("srv-nightly"),  Tree("env-root"),
                                               Work() + "/relative", Work() + "/nightly",
                                               Tree("explicit"),     Tree("configured")};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.root) + " " + c.environment);
    std::vector<std::string> env = {useConfig};
    if (!c.environment.empty()) env.push_back(c.environment);
    std::vector<std::string> backup = {"backup", "--json", "--block-size", "4K", Tree("t")};
    backup.insert(backup.end(), c.root.begin(), c.root.end());
    const RunResult ran = RunTool(backup, InWork(env));
    ASSERT_EQ(ran.exitCode, 0) << ran.err;
    EXPECT_EQ(ran.Json()["cldb_folder"], c.expected + "/ZEL_CLDB_APP_1_1");
    std::vector<std::string> stats = {"stats", "--json"};
    stats.insert(stats.end(), c.root.begin(), c.root.end());
    const RunResult looked = RunTool(stats, InWork(env));
    ASSERT_EQ(looked.exitCode, 0) << looked.err;
    EXPECT_EQ(looked.Json()["record_count"], 5);
    for (const std::string& candidate : candidates) {
      EXPECT_EQ(candidate == c.expected, fs::exists(candidate)) << candidate;
      fs::remove_all(candidate);
    }
  }
}

// A mistyped root, storage database, client or folder is refused with exit
// 1 and a message that names it; nothing is made anywhere.
TEST_F(RootFolderTest, OnlyABackupMakesARootOtherCommandsRefuseWhatIsNotThere) {
  const std::string mistyped = Work() + "/mistyped", empty = Tree("empty-root");
  fs::create_directories(empty);
  const std::string noRoot = "no CLDB root folder '" + mistyped + "' (a backup makes one)";
  const std::string noStorage = "no storage database in '" + empty + "'";
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"stats", "--root", "mistyped"}, noRoot},
      {{"prune", "--root", "mistyped"}, noRoot},
      {{"storage", "jobs", "--root", "mistyped"}, noRoot},
      {{"storage", "afiles", "--root", "mistyped"}, noRoot},
      {{"storage", "drop-job", "1", "--root", "mistyped"}, noRoot},
      {{"storage", "drop-afile", "1", "--root", "mistyped"}, noRoot},
      {{"storage", "dirty", "--root", "mistyped"}, noRoot},
      {{"storage", "offline", "--root", "mistyped"}, noRoot},
      {{"storage", "online", "--root", "mistyped"}, noRoot},
      {{"state", "mistyped/ZEL_CLDB_APP_1_1"}, "no CLDB folder 'mistyped/ZEL_CLDB_APP_1_1'"},
      {{"dump", "mistyped/ZEL_CLDB_APP_1_1"}, "no CLDB folder"},
      {{"compact", "mistyped/ZEL_CLDB_APP_1_1"}, "no CLDB folder"},
      {{"stats", "--root", empty}, "no CLDB for client 1 copy 1 in '" + empty + "'"},
      {{"prune", "--root", empty}, noStorage},
      {{"storage", "jobs", "--root", empty}, noStorage},
      {{"storage", "dirty", "--root", empty}, noStorage},
      {{"state", empty}, "no State.xml in '" + empty + "'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const RunResult result = RunTool(c.args, InWork());
    EXPECT_EQ(result.exitCode, 1) << result.err;
    ASSERT_EQ(result.ErrorLines().size(), 1u) << result.err;
    EXPECT_NE(result.ErrorLines()[0].find(c.message), std::string::npos) << result.err;
    EXPECT_EQ(Entries(Work()), std::vector<std::string>());
    EXPECT_EQ(Entries(empty), std::vector<std::string>());
  }

  // In a root that exists: another client's CLDB is not made, nor a job.
  Backup({Tree("t")});
  const auto before = Snapshot(Root());
  Run({"stats", "--app", "9"}, 1);
  Run({"prune", "--app", "9"}, 1);
  EXPECT_EQ(Json({"storage", "jobs"})["jobs"].size(), 1u);
  EXPECT_EQ(before, Snapshot(Root()));
}

TEST_F(RootFolderTest, LookingAtACldbChangesNothing) {
  Backup({Tree("t")});
  const auto before = Snapshot(Root());
  const std::string out = Tree("out");
  fs::create_directories(out);
  const std::vector<std::vector<std::string>> looks = {
      {"stats", "--root", Root()},
      {"stats", "--json", "--root", Root()},
      {"state", CldbFolder()},
      {"storage", "jobs", "--root", Root()},
      {"storage", "afiles", "--root", Root()},
      {"dump", CldbFolder(), "-o", out},
  };
  for (const std::vector<std::string>& look : looks) {
    SCOPED_TRACE(look[0]);
    const RunResult result = RunTool(look);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(before, Snapshot(Root()));
  }
}

// A user who may only read the root and the CLDB, which was copied without
// its lock files: stats and state work and change nothing.
TEST_F(RootFolderTest, AUserWhoMayOnlyReadTheCldbCanLookAtIt) {
  Backup({Tree("t")});
  for (const char* lock : {"/Owner.lock", "/SIDBStateFileLock_Engine_1.lock"})
    fs::remove(CldbFolder() + lock);
  const std::string stateXml = cldbtest::ReadFile(CldbFolder() + "/State.xml");
  cldbtest::GiveToNobody(Root());
  for (const auto& entry : fs::recursive_directory_iterator(Root()))
    ASSERT_EQ(0, chmod(entry.path().c_str(), entry.is_directory() ? 0500 : 0400));
  ASSERT_EQ(0, chmod(Root().c_str(), 0500));
  const auto before = Snapshot(Root());

  RunOptions nobody;
  nobody.asNobody = true;
  const RunResult state = RunTool({"state", "--json", CldbFolder()}, nobody);
  ASSERT_EQ(state.exitCode, 0) << state.err;
  EXPECT_EQ(state.Json()["state"], 2);
  EXPECT_EQ(state.Json()["record_count"], 5);
  const RunResult stats = Run({"stats", "--json"}, 0, nobody);
  EXPECT_EQ(stats.Json()["state_name"], "closed");
  EXPECT_EQ(stats.err, "");
  EXPECT_EQ(before, Snapshot(Root()));
  EXPECT_EQ(stateXml, cldbtest::ReadFile(CldbFolder() + "/State.xml"));
}

}  // namespace
}  // namespace tooltest
