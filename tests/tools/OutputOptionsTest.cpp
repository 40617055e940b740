// End-to-end: -q prints errors only, -v shows the library's log on the
// terminal besides the root's log, --log-level names the log's detail.

#include <algorithm>

#include "ToolHarness.h"

namespace tooltest {
namespace {

class OutputOptionsTest : public ToolTest {
 protected:
  void SetUp() override { WriteRandomFile(Tree("t") + "/f", 5, 3 * kBlock); }
  std::vector<std::string> HumanBackupArgs(std::vector<std::string> options) const {
    options.insert(options.begin(), "backup");
    options.insert(options.end(), {"--root", Root(), "--block-size", "4K", Tree("t")});
    return options;
  }
  // Whether the root's log holds a line written at `level`.
  bool Logged(int level) const {
    return LogText().find(" lvl=" + std::to_string(level) + " ") != std::string::npos;
  }
};

TEST_F(OutputOptionsTest, QuietPrintsErrorsOnly) {
  // A warning of the configuration and one of the storage side, each shown
  // without -q.
  const std::string config = dir_ / "cldb.conf";
  cldbtest::WriteFile(config, "[Courier]\nCLDBCtreeNodeSize = eight\n");
  RunOptions options;
  options.env = {"CLDB_CONFIG=" + config};
  Backup({Tree("t")});
  Run({"storage", "offline"});
  const RunResult loud = RunTool(HumanBackupArgs({}), options);
  ASSERT_EQ(loud.exitCode, 0) << loud.err;
  EXPECT_NE(loud.err.find("cldb: warning: " + config + ":2:"), std::string::npos) << loud.err;
  EXPECT_NE(loud.err.find("cldb: warning: a mount path of copy 1 is offline"), std::string::npos);
  EXPECT_NE(loud.out.find("Backup job"), std::string::npos);

  const RunResult quiet = RunTool(HumanBackupArgs({"-q"}), options);
  EXPECT_EQ(quiet.exitCode, 0);
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(quiet.err, "");
  const RunResult quietJson = RunTool(HumanBackupArgs({"--quiet", "--json"}), options);
  EXPECT_EQ(quietJson.err, "");
  EXPECT_EQ(quietJson.Json()["blocks"], 3);
  for (const std::vector<std::string>& change :
       {std::vector<std::string>{"storage", "online", "-q"},
        {"prune", "-q"},
        {"compact", "-q", CldbFolder()}}) {
    const RunResult result = Run(change, 0, options);
    EXPECT_EQ(result.out + result.err, "") << change[0];
  }

  const RunResult failed = RunTool({"stats", "-q", "--root", dir_ / "nowhere"}, options);
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_EQ(failed.ErrorLines(),
            std::vector<std::string>{"cldb: no CLDB root folder '" + dir_ / "nowhere" +
                                     "' (a backup makes one)"});
  Run({"stats", "-q", "-v"}, 1);  // one or the other
}

// -v: the library's log on standard error as well as in the root's log,
// which a configured log file does not take away. The human summary: binary
// units only, what went to disk always, the counters no backup changes only
// with -v.
TEST_F(OutputOptionsTest, VerboseShowsTheLogAndTheSummaryHidesCountersThatStayZero) {
  const std::string config = dir_ / "cldb.conf";
  cldbtest::WriteFile(config, "[EvDebug]\nLogFile = " + dir_ / "configured.log" + "\n");
  RunOptions options;
  options.env = {"CLDB_CONFIG=" + config};
  const std::string opened = "CLDB Succeeded";
  for (bool verbose : {false, true}) {
    SCOPED_TRACE(verbose);
    const std::string earlier = LogText();
    const size_t before = std::count(earlier.begin(), earlier.end(), '\n');
    const RunResult result = RunTool(
        HumanBackupArgs(verbose ? std::vector<std::string>{"-v"} : std::vector<std::string>{}),
        options);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    // Without -v nothing else, as there is no terminal.
    EXPECT_EQ(verbose, result.err.find(opened) != std::string::npos) << result.err;
    if (!verbose) {
      EXPECT_EQ(result.err, "");
    }
    const std::string log = LogText();
    EXPECT_GT(static_cast<size_t>(std::count(log.begin(), log.end(), '\n')), before);
    EXPECT_NE(log.rfind(opened), std::string::npos);

    const std::string& out = result.out;
    EXPECT_NE(out.find("CLDB statistics"), std::string::npos) << out;
    EXPECT_NE(out.find("  written        "), std::string::npos) << out;
    EXPECT_NE(out.find("to disk"), std::string::npos) << out;
    EXPECT_NE(out.find(" MiB/s"), std::string::npos) << out;
    for (const char* decimal : {" MB", " kB", " KB", " GB"})
      EXPECT_EQ(out.find(decimal), std::string::npos) << decimal << " in\n" << out;
    EXPECT_NE(out.find("CRC not found"), std::string::npos) << out;
    for (const char* label : {"Inserted by this job", "Expired in this job"})
      EXPECT_EQ(verbose, out.find(label) != std::string::npos) << label << " in\n" << out;
  }
}

TEST_F(OutputOptionsTest, LogLevelsByName) {
  Backup({Tree("t")});
  // A second job lists the first one's archive file for pruning, at level 2.
  const struct {
    const char* level;
    bool info, detail;
  } cases[] = {
      {"error", false, false},
      {"warning", false, false},
      {"info", true, false},
      {"DEBUG", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.level);
    std::filesystem::remove(Root() + "/logs/cldb.log");
    const RunResult result = RunTool(HumanBackupArgs({"--log-level", c.level}));
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(Logged(-1));
    EXPECT_EQ(c.info, Logged(1));
    EXPECT_EQ(c.detail, Logged(2));
  }
  const RunResult bad = RunTool(HumanBackupArgs({"--log-level", "loud"}));
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_NE(bad.err.find("--log-level"), std::string::npos) << bad.err;
}

}  // namespace
}  // namespace tooltest
