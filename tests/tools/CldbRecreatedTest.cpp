// End-to-end: a job that starts with an empty CLDB says so and why, in its
// JSON and in its summary, for each reason the library tells.

#include <filesystem>
#include <functional>

#include "ToolHarness.h"

namespace tooltest {
namespace {

class CldbRecreatedTest : public ToolTest {
 protected:
  void SetUp() override { WriteRandomFile(Tree("t") + "/f", 4, kBlocks * kBlock); }
  static constexpr uint64_t kBlocks = 6;

  void Edit(const std::string& file, const std::string& from, const std::string& to) {
    std::string text = cldbtest::ReadFile(file);
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    cldbtest::WriteFile(file, text.replace(at, from.size(), to));
  }
};

TEST_F(CldbRecreatedTest, AJobThatStartsEmptySaysWhy) {
  const struct {
    const char* reason;  // nullptr: the CLDB is reused
    std::function<void()> before;
    std::vector<std::string> extra;
  } steps[] = {
      {"new", [] {}, {}},
      {nullptr, [] {}, {}},
      {"dirty",
       [&] {
         Run({"storage", "dirty"});
       },
       {}},
      {"other_store", [] {}, {"--store", "99"}},
      {"other_store", [] {}, {}},
      {"unclosed",
       [&] { Edit(CldbFolder() + "/State.xml", "<State>2</State>", "<State>1</State>"); },
       {}},
      {"damaged", [&] { Edit(CldbFolder() + "/CacheTable.idx", "size=", "size=1"); }, {}},
      {"new", [&] { std::filesystem::remove_all(CldbFolder()); }, {}},
      {nullptr, [] {}, {}},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.reason ? step.reason : "reused");
    step.before();
    const nlohmann::json job = Backup({Tree("t")}, step.extra);
    EXPECT_EQ(job["cldb_recreated"], step.reason != nullptr);
    if (step.reason)
      EXPECT_EQ(job["cldb_recreated_reason"], step.reason);
    else
      EXPECT_TRUE(job["cldb_recreated_reason"].is_null()) << job;
    EXPECT_EQ(job["hits"], step.reason ? 0 : kBlocks);
  }

  // The summary for people says it on its first line, only when it happened;
  // so does a prune.
  for (bool dirty : {true, false}) {
    if (dirty) Run({"storage", "dirty"});
    const RunResult human = Run({"backup", "--block-size", "4K", Tree("t")});
    const std::string firstLine = human.out.substr(0, human.out.find('\n'));
    EXPECT_EQ(dirty, firstLine.find(" (CLDB started empty: the storage side marked it dirty)") !=
                         std::string::npos)
        << firstLine;
  }
  Run({"storage", "dirty"});
  const nlohmann::json pruned = Json({"prune"});
  EXPECT_EQ(pruned["cldb_recreated"], true);
  EXPECT_EQ(pruned["cldb_recreated_reason"], "dirty");
}

}  // namespace
}  // namespace tooltest
