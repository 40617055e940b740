// End-to-end: every command answers --json with one object on standard
// output that carries the schema version and only snake_case keys, and
// that holds the error (message and exit code) when the command fails, as
// standard error and the exit code say.

#include <filesystem>
#include <regex>
#include <sstream>

#include "ToolHarness.h"

namespace tooltest {
namespace {

// Names every key of `value`, at any depth, that is not snake_case.
void CollectBadKeys(const nlohmann::json& value, const std::string& where,
                    std::vector<std::string>& bad) {
  static const std::regex kSnake("[a-z][a-z0-9]*(_[a-z0-9]+)*");
  if (value.is_array()) {
    for (size_t i = 0; i < value.size(); ++i)
      CollectBadKeys(value[i], where + "[" + std::to_string(i) + "]", bad);
    return;
  }
  if (!value.is_object()) return;
  for (const auto& item : value.items()) {
    if (!std::regex_match(item.key(), kSnake)) bad.push_back(where + "." + item.key());
    CollectBadKeys(item.value(), where + "." + item.key(), bad);
  }
}

class JsonOutputTest : public ToolTest {
 protected:
  void SetUp() override {
    WriteRandomFile(Tree("t") + "/a", 1, 3 * kBlock);
    WriteRandomFile(Tree("t") + "/b", 2, kBlock + 7);
    std::filesystem::create_directories(Tree("out"));
  }

  // Runs `args` with --json and checks the conventions; returns the document.
  nlohmann::json Check(const std::vector<std::string>& args, int exitCode) {
    std::vector<std::string> full = args;
    full.insert(full.end(), {"--root", Root(), "--json"});
    const RunResult result = RunTool(full);
    const std::string name = ::testing::PrintToString(args);
    EXPECT_EQ(result.exitCode, exitCode) << name << "\n" << result.err;
    const nlohmann::json document = result.Json();
    if (!document.is_object()) {
      ADD_FAILURE() << name << ": not an object:\n" << result.out;
      return document;
    }
    EXPECT_EQ(document.value("schema_version", 0), 2) << name;
    std::vector<std::string> bad;
    CollectBadKeys(document, "", bad);
    EXPECT_EQ(bad, std::vector<std::string>{}) << name;
    if (exitCode == 0) {
      EXPECT_FALSE(document.contains("error")) << name << "\n" << result.out;
      EXPECT_EQ(result.err, "") << name;
      return document;
    }
    // The error is in the document and, as without --json, on standard error.
    const std::vector<std::string> lines = result.ErrorLines();
    EXPECT_EQ(document["error"]["exit_code"], exitCode) << name;
    EXPECT_FALSE(lines.empty()) << name;
    if (!lines.empty() && document.contains("error")) {
      EXPECT_EQ("cldb: " + document["error"]["message"].get<std::string>(), lines.back()) << name;
    }
    return document;
  }
};

TEST_F(JsonOutputTest, EveryCommandAnswersWithOneSnakeCaseObject) {
  const nlohmann::json job = Check({"backup", Tree("t")}, 0);
  const std::string jobId = std::to_string(job["job_id"].get<uint32_t>());
  const std::string afile = std::to_string(job["archive_file_id"].get<uint32_t>());
  EXPECT_TRUE(job["stats"].contains("crc_not_found")) << job.dump();

  struct Case {
    std::vector<std::string> args;
    int exitCode;
    const char* key;  // a key the document must hold
  };
  const std::vector<Case> cases = {
      {{"backup", Tree("t")}, 0, "bytes_written"},
      {{"stats"}, 0, "record_count"},
      {{"state", CldbFolder()}, 0, "record_count"},
      {{"dump", CldbFolder(), "-o", Tree("out")}, 0, "dump_file"},
      {{"compact", CldbFolder()}, 0, "bytes_after"},
      {{"prune"}, 0, "records_after"},
      {{"ls", jobId}, 0, "entries"},
      {{"restore", jobId, "--to", Tree("restored")}, 0, "files"},
      {{"verify"}, 0, "bad_blocks"},
      {{"gc"}, 0, "bytes_freed"},
      {{"storage", "jobs"}, 0, "jobs"},
      {{"storage", "afiles"}, 0, "archive_files"},
      {{"storage", "dirty"}, 0, "dirty"},
      {{"storage", "dirty", "--clean"}, 0, "dirty"},
      {{"storage", "offline"}, 0, "offline"},
      {{"storage", "online"}, 0, "offline"},
      {{"storage", "drop-afile", afile}, 0, "dropped"},
      // After the loss: a verify that finds missing blocks fails, but still
      // reports them.
      {{"verify", jobId}, 4, "problems"},
      {{"storage", "drop-job", jobId}, 0, "dropped"},
      // Errors of the command, and of the command line.
      {{"stats", "--app", "9"}, 1, nullptr},
      {{"ls", "99"}, 1, nullptr},
      {{"restore", "99", "--to", Tree("r2")}, 1, nullptr},
      {{"state", Tree("nowhere")}, 1, nullptr},
      {{"bogus"}, 1, nullptr},
      {{"backup"}, 1, nullptr},
      {{"backup", "--block-size", "-4K", Tree("t")}, 1, nullptr},
      {{"storage", "drop-job", "12345"}, 1, "dropped"},
  };
  for (const Case& c : cases) {
    const nlohmann::json document = Check(c.args, c.exitCode);
    if (c.key != nullptr) {
      EXPECT_TRUE(document.contains(c.key)) << ::testing::PrintToString(c.args) << "\n"
                                            << document.dump();
    }
    if (c.args[0] == "dump") {  // names the file it wrote
      const std::string file = document["dump_file"];
      EXPECT_EQ(std::filesystem::path(file).parent_path(), std::filesystem::path(Tree("out")));
      EXPECT_TRUE(std::filesystem::is_regular_file(file)) << file;
    }
  }
}

TEST_F(JsonOutputTest, StorageJobsTellPrunesFromBackups) {
  Backup({Tree("t")});
  Check({"prune"}, 0);
  std::vector<std::string> kinds;
  const nlohmann::json listed = Check({"storage", "jobs"}, 0);
  for (const nlohmann::json& job : listed["jobs"]) kinds.push_back(job["kind"]);
  EXPECT_EQ(kinds, (std::vector<std::string>{"backup", "prune"}));

  const RunResult human = Run({"storage", "jobs"});
  std::istringstream lines(human.out);
  std::vector<std::string> column;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string id, kind;
    words >> id >> kind;
    column.push_back(kind);
  }
  EXPECT_EQ(column, (std::vector<std::string>{"kind", "backup", "prune"})) << human.out;
}

}  // namespace
}  // namespace tooltest
