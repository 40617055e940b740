// End-to-end: a configuration file with a bad line still lets `cldb` run; the
// line is named once on standard error and once in the library's log.

#include <algorithm>

#include "ToolHarness.h"

namespace tooltest {
namespace {

size_t CountContaining(const std::vector<std::string>& lines, const std::string& fragment) {
  return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.find(fragment) != std::string::npos;
  }));
}

TEST_F(ToolTest, ConfigurationWarningsAreShownOnceAndLogged) {
  const std::string config = dir_ / "cldb.conf";
  cldbtest::WriteFile(config,
                      "[Courier]\nCLDBCtreeNodeSize = 8  # fine\nCLDBCtreeBufferCount = lots\n");
  WriteRandomFile(Tree("t") + "/f", 7, 3 * kBlock);
  RunOptions options;
  options.env = {"CLDB_CONFIG=" + config};
  const RunResult result =
      Run({"backup", "--block-size", std::to_string(kBlock), Tree("t")}, 0, options);
  const std::string where = config + ":3: [Courier] CLDBCtreeBufferCount 'lots'";
  const std::vector<std::string> lines = result.ErrorLines();
  EXPECT_EQ(CountContaining(lines, where), 1u) << result.err;
  EXPECT_EQ(CountContaining(lines, "cldb: warning: " + where), 1u) << result.err;
  EXPECT_EQ(CountContaining(lines, config + ":2:"), 0u) << result.err;
  EXPECT_NE(LogText().find("configuration: " + where), std::string::npos);
}

}  // namespace
}  // namespace tooltest
