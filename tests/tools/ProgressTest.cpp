// Backup progress: the JSON stream on standard error, the silence of
// --progress=auto without a terminal, and the fitting of a status line to
// the terminal's width.

#include <string>
#include <vector>

#include "ToolHarness.h"
#include "cldb/TextWidth.h"

namespace tooltest {
namespace {

class ProgressTest : public ToolTest {
 protected:
  void MakeTree() {
    for (int i = 0; i < 6; ++i)
      WriteRandomFile(Tree("t") + "/f" + std::to_string(i), 200 + i, (i + 1) * kBlock + 17);
    WriteRandomFile(Tree("t") + "/skip.o", 300, kBlock);
  }
};

TEST_F(ProgressTest, JsonStreamCountsUpToTheTotals) {
  MakeTree();
  for (bool dryRun : {false, true}) {
    SCOPED_TRACE(dryRun ? "dry run" : "backup");
    std::vector<std::string> args = BackupArgs({"--exclude", "*.o", "--progress=json", Tree("t")});
    if (dryRun) args.push_back("--dry-run");
    const RunResult run = RunTool(args);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const nlohmann::json job = run.Json();
    std::vector<nlohmann::json> lines;
    for (const std::string& text : run.ErrorLines()) {
      const nlohmann::json line = nlohmann::json::parse(text, nullptr, false);
      ASSERT_FALSE(line.is_discarded()) << text;
      lines.push_back(line);
    }
    ASSERT_FALSE(lines.empty());
    uint64_t files = 0, bytes = 0;
    bool counted = false;
    for (size_t i = 0; i < lines.size(); ++i) {
      const nlohmann::json& line = lines[i];
      EXPECT_EQ(line["schema_version"], 1);
      EXPECT_EQ(line["type"], i + 1 == lines.size() ? "progress_end" : "progress");
      EXPECT_GE(line["files_done"].get<uint64_t>(), files);
      EXPECT_GE(line["bytes_done"].get<uint64_t>(), bytes);
      files = line["files_done"];
      bytes = line["bytes_done"];
      EXPECT_EQ(line["files_total"].is_null(), line["bytes_total"].is_null());
      if (counted) {
        EXPECT_FALSE(line["files_total"].is_null());  // once known, stays known
      }
      counted = !line["files_total"].is_null();
      EXPECT_TRUE(line["path"].is_string());
    }
    const nlohmann::json& end = lines.back();
    EXPECT_EQ(end["files_total"], 6);
    EXPECT_EQ(end["files_done"], end["files_total"]);
    EXPECT_EQ(end["bytes_done"], end["bytes_total"]);
    EXPECT_EQ(end["bytes_done"], job["bytes"]);
    EXPECT_EQ(end["files_done"], job["files"]);
    EXPECT_EQ(end["eta_s"], 0.0);
  }
}

// Without a terminal, auto and none print nothing but the summary's errors.
TEST_F(ProgressTest, NothingWithoutATerminalOrWithNone) {
  MakeTree();
  for (const char* style : {"--progress=auto", "--progress=none"}) {
    SCOPED_TRACE(style);
    const RunResult run = Run({"backup", "--json", "--block-size", "4K", style, Tree("t")});
    EXPECT_EQ(run.err, "");
  }
}

TEST(TextWidthTest, FitToWidthCutsInTheMiddleBetweenCharacters) {
  const std::string e = "\xE2\x80\xA6";      // …
  const std::string u = "\xC3\xBC";          // ü, 2 bytes
  const std::string k = "\xE6\xBC\xA2";      // 漢, 3 bytes
  const std::string g = "\xF0\x9F\x98\x80";  // 😀, 4 bytes
  struct Case {
    std::string text;
    size_t columns;
    std::string fitted;
  };
  const Case cases[] = {
      {"abcdef", 6, "abcdef"},
      {"abcdef", 10, "abcdef"},
      {"abcdefgh", 5, "ab" + e + "gh"},
      {"abcdefgh", 4, "ab" + e + "h"},
      {"abcdef", 2, "a" + e},
      {"abcdef", 1, e},
      {"abcdef", 0, ""},
      {"", 0, ""},
      {u + u + u + u + u, 4, u + u + e + u},
      {k + "a" + k + "b" + k, 3, k + e + k},
      {g + g + g, 2, g + e},
      {"/x/" + k + k + k + "/y", 5, "/x" + e + "/y"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text + " in " + std::to_string(c.columns));
    const std::string fitted = cldb::FitToWidth(c.text, c.columns);
    EXPECT_EQ(fitted, c.fitted);
    EXPECT_LE(cldb::DisplayWidth(fitted), c.columns);
  }
  EXPECT_EQ(cldb::DisplayWidth(u + k + g + "a"), 4u);
  EXPECT_EQ(cldb::Printable("a\nb\x1b[2Jc\x7f"), "a?b?[2Jc?");
}

}  // namespace
}  // namespace tooltest
