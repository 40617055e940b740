// End-to-end: the help a user can ask for: usage without a command, `cldb
// help`, --version, and every command's --help, bash completion and man
// page, all from one set of definitions, so none of them can leave out a
// command or an option.

#include <filesystem>
#include <set>
#include <sstream>

#include "ToolHarness.h"
#include "storage/PackFormat.h"
#include "storage/Schema.h"

namespace tooltest {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The first word of each line of the section titled `title` of a help text.
std::vector<std::string> Section(const std::string& help, const std::string& title) {
  std::vector<std::string> words;
  bool inside = false;
  for (const std::string& line : Lines(help)) {
    if (line == title) {
      inside = true;
    } else if (inside && line.empty()) {
      break;
    } else if (inside && line.compare(0, 2, "  ") == 0 && line[2] != ' ') {
      std::istringstream in(line);
      std::string word;
      in >> word;
      words.push_back(word);
    }
  }
  return words;
}

// Each command below `path` ("" for cldb itself), with its --help, found by
// reading the help texts.
void Discover(const std::vector<std::string>& path, std::map<std::string, std::string>& helps) {
  std::vector<std::string> args = path;
  args.push_back("--help");
  const RunResult result = RunTool(args);
  std::string name;
  for (const std::string& word : path) name += (name.empty() ? "" : " ") + word;
  ASSERT_EQ(result.exitCode, 0) << name << result.err;
  helps[name] = result.out;
  for (const std::string& sub : Section(result.out, "Subcommands:")) {
    std::vector<std::string> below = path;
    below.push_back(sub);
    Discover(below, helps);
  }
}

// The options a help text lists under "Options:": "-o", "--output-dir", ...
std::vector<std::string> OptionNames(const std::string& help) {
  std::vector<std::string> names;
  for (std::string word : Section(help, "Options:")) {
    word = word.substr(0, word.find('='));
    std::istringstream parts(word);
    for (std::string name; std::getline(parts, name, ',');) names.push_back(name);
  }
  return names;
}

// The words of `line` quoted after `key`, e.g. options='-h --help'.
std::set<std::string> Quoted(const std::string& line, const std::string& key) {
  const size_t start = line.find(key);
  if (start == std::string::npos) return {};
  const size_t from = start + key.size();
  std::istringstream in(line.substr(from, line.find('\'', from) - from));
  std::set<std::string> words;
  for (std::string word; in >> word;) words.insert(word);
  return words;
}

std::string Roff(std::string text) {
  std::string out;
  for (char c : text) out += c == '-' ? std::string("\\-") : std::string(1, c);
  return out;
}

std::string Generated(const std::string& format) {
  const RunResult result = RunTool({"__generate", format});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  return result.out;
}

class CommandLineHelpTest : public ToolTest {};

// Without a command the usage is an error; `cldb help` names a command or fails.
TEST_F(CommandLineHelpTest, HelpNamesACommandOrFails) {
  const struct {
    std::vector<std::string> args;
    int exitCode;
    const char* shows;  // on standard output, or alone on standard error when it fails
  } cases[] = {
      {{}, 1, "Usage: cldb [OPTIONS] SUBCOMMAND"},
      {{"help"}, 0, "Usage: cldb [OPTIONS] SUBCOMMAND"},
      {{"help", "backup"}, 0, "Usage: cldb backup [OPTIONS] PATH..."},
      {{"help", "storage"}, 0, "Usage: cldb storage [OPTIONS] SUBCOMMAND"},
      {{"help", "storage", "drop-job"}, 0, "Usage: cldb storage drop-job [OPTIONS] ID..."},
      {{"help", "nope"}, 1, "cldb: no command 'nope'"},
      {{"help", "storage", "backup"}, 1, "cldb: no command 'backup'"},
      {{"help", "__generate"}, 1, "cldb: no command '__generate'"},
  };
  for (const auto& c : cases) {
    const RunResult result = RunTool(c.args);
    EXPECT_EQ(result.exitCode, c.exitCode) << ::testing::PrintToString(c.args);
    const std::string& text = c.exitCode == 0 ? result.out : result.err;
    EXPECT_NE(text.find(c.shows), std::string::npos) << text;
    if (c.exitCode != 0) {
      EXPECT_EQ(result.out, "") << ::testing::PrintToString(c.args);
    }
  }
}

TEST_F(CommandLineHelpTest, VersionNamesTheToolTheLibraryAndEveryFormat) {
  const RunResult result = RunTool({"--version"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  const std::vector<std::string> lines = Lines(result.out);
  ASSERT_EQ(lines.size(), 6u) << result.out;
  EXPECT_EQ(lines[0].rfind("cldb ", 0), 0u);
  EXPECT_EQ(lines[1].rfind("libcldb ", 0), 0u);
  EXPECT_EQ(lines[1].substr(8), lines[0].substr(5));
  EXPECT_EQ(lines[2], "CLDB table file format 2");
  EXPECT_EQ(lines[3], "State.xml version 2");
  EXPECT_EQ(lines[4], "storage database schema " + std::to_string(cldb::kStorageSchemaVersion));
  EXPECT_EQ(lines[5], "pack file format " + std::to_string(cldb::kPackFormatVersion));
}

// Each command's help shows the options every command takes and examples,
// and names the types of values in words; the completion and the man page
// cover every command and option it lists.
TEST_F(CommandLineHelpTest, EveryCommandsHelpCompletionAndManPageAgree) {
  std::map<std::string, std::string> helps;
  Discover({}, helps);
  ASSERT_GT(helps.size(), 15u);
  for (const auto& [name, help] : helps) {
    for (const char* notation : {":UINT", "UINT", "TEXT", "[b, kb", " in [", ":SIZE"})
      EXPECT_EQ(help.find(notation), std::string::npos) << notation << " in\n" << help;
    if (name.empty()) continue;
    EXPECT_NE(help.find("Options of every command"), std::string::npos) << help;
    for (const char* option : {"--root FOLDER", "--json", "-q,--quiet", "--log-level LEVEL"})
      EXPECT_NE(help.find(option), std::string::npos) << option << " in\n" << help;
    EXPECT_NE(help.find("Examples:\n  cldb " + name), std::string::npos) << help;
  }

  // What --help lists is what the completion offers and the man page
  // documents; the build made both from the same definitions.
  const std::string bash = Generated("bash"), man = Generated("man");
  const std::vector<std::string> bashLines = Lines(bash);
  for (const auto& [name, help] : helps) {
    SCOPED_TRACE(name);
    std::string path = name.empty() ? "" : "/" + name;
    for (char& c : path)
      if (c == ' ') c = '/';
    // The completion: the command's line lists its options and its commands.
    std::string line;
    for (const std::string& candidate : bashLines)
      if (candidate.find("    \"" + path + "\") ") == 0) line = candidate;
    ASSERT_FALSE(line.empty()) << bash;
    const std::set<std::string> options = Quoted(line, "options='");
    const std::set<std::string> commands = Quoted(line, "commands='");
    for (const std::string& word : OptionNames(help))
      EXPECT_EQ(options.count(word), 1u) << word << " in\n" << line;
    for (const std::string& sub : Section(help, "Subcommands:"))
      EXPECT_EQ(commands.count(sub), 1u) << sub << " in\n" << line;
    // The man page: the command's section documents its options.
    size_t start = 0, end = man.size();
    if (!name.empty()) {
      start = man.find(".SS \"cldb " + Roff(name) + " ");
      ASSERT_NE(start, std::string::npos) << man;
      end = std::min(man.find("\n.SS ", start + 1), man.find("\n.SH ", start + 1));
    }
    const std::string section = man.substr(start, end - start);
    for (const std::string& word : OptionNames(help)) {
      const bool documented = section.find("\\fB" + Roff(word)) != std::string::npos ||
                              section.find("," + Roff(word)) != std::string::npos;
      EXPECT_TRUE(documented) << word << " in\n" << section;
    }
  }
  // The build generated and installs the same.
  const std::filesystem::path built = std::filesystem::path(CLDB_TOOL_PATH).parent_path();
  EXPECT_EQ(cldbtest::ReadFile(built / "cldb.bash"), bash);
  EXPECT_EQ(cldbtest::ReadFile(built / "cldb.1"), man);
}

}  // namespace
}  // namespace tooltest
