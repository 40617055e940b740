// The README's `cldb` session, run as it stands: the block after the
// marker "<!-- cldb-session" is a list of commands ("$ ..."), each followed
// by parts of what it must print; "# exit N" gives an exit code other than
// 0. So the README cannot show a command or an output the tool has dropped.

#include <sys/wait.h>

#include <cstdio>
#include <regex>
#include <sstream>

#include "ToolHarness.h"

namespace tooltest {
namespace {

struct Step {
  std::string command;
  int exitCode = 0;
  std::vector<std::string> shows;
};

std::vector<Step> ReadSession(const std::string& readme) {
  std::vector<Step> steps;
  const size_t marker = readme.find("<!-- cldb-session");
  if (marker == std::string::npos) return steps;
  std::istringstream in(readme.substr(readme.find("```", marker)));
  std::string line;
  std::getline(in, line);  // the opening fence
  static const std::regex kExit("#\\s*exit\\s+([0-9]+)\\s*$");
  while (std::getline(in, line) && line.rfind("```", 0) != 0) {
    if (line.rfind("$ ", 0) == 0) {
      Step step;
      step.command = line.substr(2);
      std::smatch match;
      if (std::regex_search(step.command, match, kExit)) step.exitCode = std::stoi(match[1]);
      steps.push_back(step);
    } else if (!line.empty() && !steps.empty()) {
      steps.back().shows.push_back(line);
    }
  }
  return steps;
}

// Runs `command` with sh in `folder`, `cldb` found first on the PATH;
// returns its exit code and, in `output`, what it printed on either stream.
int RunShell(const std::string& command, const std::string& folder, std::string& output) {
  const std::string tools = std::filesystem::path(CLDB_TOOL_PATH).parent_path();
  const std::string script =
      "cd '" + folder + "' && PATH='" + tools + "':\"$PATH\" && { " + command + "\n} 2>&1";
  FILE* pipe = popen(script.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof(buffer), pipe)) > 0;) output.append(buffer, n);
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class ReadmeExamplesTest : public ToolTest {};

TEST_F(ReadmeExamplesTest, TheSessionRunsAsShown) {
  const std::vector<Step> steps = ReadSession(cldbtest::ReadFile(CLDB_README_PATH));
  ASSERT_GE(steps.size(), 10u) << "the README's session block is missing or cut short";
  const std::string folder = Tree("session");
  std::filesystem::create_directories(folder);
  for (const Step& step : steps) {
    std::string output;
    const int exitCode = RunShell(step.command, folder, output);
    EXPECT_EQ(exitCode, step.exitCode) << step.command << "\n" << output;
    for (const std::string& part : step.shows)
      EXPECT_NE(output.find(part), std::string::npos)
          << step.command << "\nshould show: " << part << "\nshowed:\n"
          << output;
  }
}

}  // namespace
}  // namespace tooltest
