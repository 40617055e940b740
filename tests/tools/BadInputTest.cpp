// End-to-end: bad input gets one error line and a non-zero exit code, and
// never a crash or a damaged CLDB.

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "ToolHarness.h"

namespace tooltest {
namespace {

class BadInputTest : public ToolTest {
 protected:
  void SetUp() override { WriteRandomFile(Tree("t") + "/f", 41, 6 * kBlock); }

  // The run failed with `code` and said so in one line "cldb: ...".
  static void ExpectRefused(const RunResult& result, int code, const std::string& fragment) {
    EXPECT_EQ(result.exitCode, code) << result.err;
    EXPECT_EQ(result.signal, 0);
    const std::vector<std::string> lines = result.ErrorLines();
    ASSERT_EQ(lines.size(), 1u) << result.err;
    EXPECT_EQ(lines[0].rfind("cldb: ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(fragment), std::string::npos) << lines[0];
  }
};

TEST_F(BadInputTest, BadNumbersAreRefused) {
  const std::vector<std::vector<std::string>> cases = {
      {"--block-size", "0"},     {"--block-size", "abc"}, {"--block-size", "100"},
      {"--block-size", "1G"},    {"--batch", "0"},        {"--batch", "-5"},
      {"--batch", "12x"},        {"--expiry-days", "0"},  {"--app", "0"},
      {"--copy", "99999999999"}, {"--threads", "1000"},   {"--archive-file-size", "1Q"},
  };
  for (const auto& option : cases) {
    SCOPED_TRACE(option[0] + " " + option[1]);
    std::vector<std::string> args = {"backup", "--root", Root()};
    args.insert(args.end(), option.begin(), option.end());
    args.push_back(Tree("t"));
    ExpectRefused(RunTool(args), 1, option[0]);
  }
  EXPECT_FALSE(std::filesystem::exists(Root()));
}

TEST_F(BadInputTest, UsageErrorsAreRefused) {
  ExpectRefused(RunTool({"unpack", "--root", Root()}), 1, "unpack");
  ExpectRefused(RunTool({"restore", "--root", Root(), "--to", Tree("r")}), 1, "JOB");
  ExpectRefused(RunTool({"backup", "--root", Root()}), 1, "PATH");
  ExpectRefused(RunTool({"backup", "--root", Root(), "--frobnicate", Tree("t")}), 1, "frobnicate");
  ExpectRefused(RunTool({"stats", "--root", Root(), "surplus"}), 1, "surplus");
  EXPECT_FALSE(std::filesystem::exists(Root() + "/ZEL_CLDB_APP_1_1"));
  ExpectRefused(RunTool({"storage", "drop-afile", "seven", "--root", Root()}), 1, "seven");
  ExpectRefused(RunTool({"state"}), 1, "FOLDER");
}

// Each of these once passed for valid: an empty root as the default, a
// negative size wrapped around, an id of 0, a client never seen got a CLDB
// and a job made for it. None may change anything.
TEST_F(BadInputTest, ValuesThatOnlyLookValidAreRefused) {
  Backup({Tree("t")});
  const std::string state = cldbtest::ReadFile(CldbFolder() + "/State.xml");
  struct Case {
    std::vector<std::string> args;
    std::string fragment;
  };
  const Case cases[] = {
      {{"backup", "--root", "", Tree("t")}, "--root"},
      {{"storage", "jobs", "--root", ""}, "--root"},
      {{"backup", "--root", Root(), "--archive-file-size", "-1", Tree("t")}, "--archive-file-size"},
      {{"backup", "--root", Root(), "--block-size", "-4K", Tree("t")}, "--block-size"},
      {{"storage", "dirty", "--app", "0", "--root", Root()}, "--app"},
      {{"storage", "afiles", "--copy", "0", "--root", Root()}, "--copy"},
      {{"storage", "offline", "--copy", "0", "--root", Root()}, "--copy"},
      {{"prune", "--root", Root(), "--app", "77"}, "no CLDB for client 77 copy 1"},
      {{"storage", "drop-job", "99", "--root", Root()}, "no job 99"},
      {{"storage", "drop-afile", "99", "--root", Root()}, "no archive file 99"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1] + " " + c.args[2]);
    ExpectRefused(RunTool(c.args), 1, c.fragment);
  }
  EXPECT_FALSE(std::filesystem::exists(Root() + "/ZEL_CLDB_APP_77_1"));
  EXPECT_EQ(Json({"storage", "jobs"})["jobs"].size(), 1u);
  EXPECT_EQ(cldbtest::ReadFile(CldbFolder() + "/State.xml"), state);
  EXPECT_EQ(Backup({Tree("t")})["hits"], 6);
}

// The storage side failing is no fault of the input.
TEST_F(BadInputTest, ADamagedStorageDatabaseIsAFailure) {
  Backup({Tree("t")});
  for (const char* suffix : {"-wal", "-shm"})
    std::filesystem::remove(Root() + "/storage.sqlite" + suffix);
  cldbtest::WriteFile(Root() + "/storage.sqlite", std::string(8192, 'z'));
  ExpectRefused(RunTool({"backup", "--root", Root(), Tree("t")}), 2, "storage database");
  ExpectRefused(RunTool({"prune", "--root", Root()}), 2, "storage database");
  ExpectRefused(RunTool({"storage", "jobs", "--root", Root()}), 2, "storage database");
}

// Paths are bytes. JSON shows a byte that is not part of valid UTF-8 as
// U+FFFD and everything else as it is.
// The second pass also proves the CLDB's own files are reached by their
// bytes: it reopens State.xml and answers from the table.
TEST_F(BadInputTest, AnyBytesInARootFolderNameGiveValidJsonAndAWorkingCldb) {
  const std::string name = "r\xff\xfe-\xc3\xa9";
  for (int pass = 1; pass <= 2; ++pass) {
    SCOPED_TRACE(pass);
    const RunResult result =
        RunTool({"backup", "--root", Tree(name), "--json", "--block-size", "4K", Tree("t")});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.signal, 0);
    const auto json = result.Json();
    EXPECT_EQ(json["cldb_folder"],
              Tree("r\xef\xbf\xbd\xef\xbf\xbd-\xc3\xa9") + "/ZEL_CLDB_APP_1_1");
    EXPECT_GT(json["blocks"].get<uint64_t>(), 0u);
    EXPECT_EQ(json["hits"].get<uint64_t>(), pass == 1 ? 0u : json["blocks"].get<uint64_t>());
  }
  const RunResult jobs = RunTool({"storage", "jobs", "--json", "--root", Tree(name)});
  EXPECT_EQ(jobs.exitCode, 0) << jobs.err;
  EXPECT_EQ(jobs.Json()["jobs"].size(), 2u);
}

// A root below a file cannot be made; a dump of a folder that is no CLDB
// fails without a crash.
TEST_F(BadInputTest, ARootBelowAFileOrADumpOfNoCldbIsRefused) {
  ExpectRefused(RunTool({"backup", "--root", Tree("t") + "/f/root", Tree("t")}), 1,
                "cannot create root folder");
  ExpectRefused(RunTool({"storage", "jobs", "--root", Tree("t") + "/f/root"}), 1,
                "no CLDB root folder");
  const RunResult dump = RunTool({"dump", Tree("t"), "-o", dir_.path()});
  EXPECT_EQ(dump.exitCode, 2);
  EXPECT_EQ(dump.signal, 0);
}

TEST_F(BadInputTest, UnreadableFilesAreReportedCountedAndSkipped) {
  WriteRandomFile(Tree("t") + "/secret", 42, 3 * kBlock);
  WriteRandomFile(Tree("t") + "/closed/inside", 43, 2 * kBlock);
  ASSERT_EQ(chmod((Tree("t") + "/secret").c_str(), 0), 0);
  ASSERT_EQ(chmod((Tree("t") + "/closed").c_str(), 0), 0);
  // Root reads everything, so the tool runs as nobody when the test is root.
  RunOptions options;
  options.asNobody = geteuid() == 0;
  options.env = {"CLDB_LOCK_DIR=" + dir_.path() + "/locks"};
  const std::vector<std::string> args = BackupArgs({Tree("t")});
  const RunResult first = RunTool(args, options);
  EXPECT_EQ(first.exitCode, 4) << first.err;
  const std::vector<std::string> lines = first.ErrorLines();
  ASSERT_EQ(lines.size(), 3u) << first.err;
  EXPECT_EQ(lines[0], "cldb: cannot read '" + Tree("t") + "/closed': Permission denied");
  EXPECT_EQ(lines[1], "cldb: cannot read '" + Tree("t") + "/secret': Permission denied");
  EXPECT_NE(lines[2].find("2 file(s) or folder(s) could not be read"), std::string::npos);
  const nlohmann::json job = first.Json();
  EXPECT_EQ(job["unreadable"], 2);
  EXPECT_EQ(job["blocks"], 6);
  EXPECT_EQ(job["misses"], 6);

  const RunResult second = RunTool(args, options);
  EXPECT_EQ(second.exitCode, 4);
  EXPECT_EQ(second.Json()["hits"], 6);
}

}  // namespace
}  // namespace tooltest
