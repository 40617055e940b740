// The configuration file as ZelPlatformInfo reads it: its format, the keys it
// knows, the warnings of a bad line, where the file is found, and how the
// warnings reach the log.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "TestSupport.h"
#include "platform/EvDebug.h"
#include "platform/ZelPlatformInfo.h"

namespace {

using cldbtest::ScopedEnv;

// Points the configuration at a file of the test's own.
class ConfigTest : public ::testing::Test {
 protected:
  void TearDown() override { ZelPlatformInfo::Reload(); }
  void UseConfig(const std::string& content) {
    cldbtest::WriteFile(path_, content);
    ZelPlatformInfo::Reload();
  }
  // The number read; nullopt when absent, which must leave the value alone.
  static std::optional<unsigned long> Number(const char* section, const char* key) {
    unsigned long value = 12345;
    if (ZelPlatformInfo::getNumber(section, key, &value)) return value;
    EXPECT_EQ(value, 12345ul) << key;
    return std::nullopt;
  }
  static std::optional<std::string> Text(const char* section, const char* key) {
    std::string value = "untouched";
    if (ZelPlatformInfo::getString(section, key, value)) return value;
    EXPECT_EQ(value, "untouched") << key;
    return std::nullopt;
  }

  cldbtest::TempDir dir_;
  const std::string path_ = dir_ / "cldb.conf";
  ScopedEnv env_{"CLDB_CONFIG", path_.c_str()};
};

struct Case {
  const char* name;
  std::string text;
  std::vector<std::tuple<const char*, const char*, std::optional<unsigned long>>> numbers;
  std::vector<std::tuple<const char*, const char*, std::optional<std::string>>> texts;
  std::vector<std::pair<int, std::string>> warnings;  // line, fragment; all of them, in order
};

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"inline comments after whitespace",
       "[Courier]   # client CLDBs\n"
       "CLDBCtreeBufferCount = 1000  # Warden: 10000\n"
       "CLDBCtreeNodeSize = 8\t; after a tab\n"
       "[CLDB] ; after a section\n"
       "RootFolder = /tmp/x   # default root: ~/.local/share/cldb\n",
       {{"Courier", "CLDBCtreeBufferCount", 1000}, {"Courier", "CLDBCtreeNodeSize", 8}},
       {{"CLDB", "RootFolder", "/tmp/x"}},
       {}},
      {"'#' and ';' inside a value belong to it",
       "[CLDBRootFolders]\na = /srv/a#1;b\nb =/srv/b\nc=#x\n",
       {},
       {{"CLDBRootFolders", "a", "/srv/a#1;b"}, {"CLDBRootFolders", "b", "/srv/b"}},
       {{4, "[CLDBRootFolders] c '#x' is not an absolute path; the default applies"}}},
      {"full-line comments, indented or not",
       "# top\n  ; indented\n[Courier]\n\t# tab\n#CLDBCtreeNodeSize = 99\n"
       "CLDBCtreeBufferCount = 5\n",
       {{"Courier", "CLDBCtreeNodeSize", std::nullopt}, {"Courier", "CLDBCtreeBufferCount", 5}},
       {},
       {}},
      {"quotes are removed and protect '#'",
       "[CLDB]\nRootFolder = \"/data/my cldb # not a comment\"   # but this is\n"
       "[CLDBRootFolders]\nsingle = '/srv/single'\n[Courier]\nCLDBCtreeNodeSize = \"16\"\n",
       {{"Courier", "CLDBCtreeNodeSize", 16}},
       {{"CLDB", "RootFolder", "/data/my cldb # not a comment"},
        {"CLDBRootFolders", "single", "/srv/single"}},
       {}},
      {"bad quotes",
       "[CLDB]\nRootFolder = \"/data/open\n[CLDBRootFolders]\na = \"/srv/a\" trailing\n"
       "b = '/srv/b\"\n",
       {},
       {{"CLDB", "RootFolder", std::nullopt},
        {"CLDBRootFolders", "a", std::nullopt},
        {"CLDBRootFolders", "b", std::nullopt}},
       {{2, "RootFolder the quote is not closed"},
        {4, "a text follows the closing quote"},
        {5, "b the quote is not closed"}}},
      {"numbers: decimal, whole, in range",
       "[Courier]\nCLDBCtreeBufferCount = 007\nCLDBCtreeNodeSize = 18446744073709551615\n"
       "CLDBCompactIntervalDays = 0\n[CLDB]\nCloudLaptopClient = 1\n",
       {{"Courier", "CLDBCtreeBufferCount", 7},
        {"Courier", "CLDBCtreeNodeSize", ULONG_MAX},
        {"Courier", "CLDBCompactIntervalDays", 0},
        {"CLDB", "CloudLaptopClient", 1}},
       {},
       {}},
      {"bad numbers: never half-read, the default applies",
       "[Courier]\n"
       "CLDBCtreeBufferCount = twelve\n"
       "CLDBCtreeNodeSize = 12abc\n"
       "CLDBCompactIntervalDays = 0x10\n"
       "MaxCacheDBSizeMB = -1\n"
       "[Warden]\n"
       "CLDBCtreeBufferCount = 18446744073709551616\n"
       "CLDBCtreeNodeSize = +5\n"
       "CLDBCompactIntervalDays =          # nothing\n"
       "MaxCacheDBSizeMB = 1 2\n"
       "[CLDB]\n"
       "CloudLaptopClient = 2\n"
       "[EvDebug]\n"
       "DebugLevel = 1.5\n",
       {{"Courier", "CLDBCtreeBufferCount", std::nullopt},
        {"Courier", "CLDBCtreeNodeSize", std::nullopt},
        {"Courier", "CLDBCompactIntervalDays", std::nullopt},
        {"Courier", "MaxCacheDBSizeMB", std::nullopt},
        {"Warden", "CLDBCtreeBufferCount", std::nullopt},
        {"Warden", "CLDBCtreeNodeSize", std::nullopt},
        {"Warden", "CLDBCompactIntervalDays", std::nullopt},
        {"Warden", "MaxCacheDBSizeMB", std::nullopt},
        {"CLDB", "CloudLaptopClient", std::nullopt},
        {"EvDebug", "DebugLevel", std::nullopt}},
       {},
       {{2, "[Courier] CLDBCtreeBufferCount 'twelve' is not a decimal number"},
        {3, "'12abc' is not a decimal number"},
        {4, "'0x10' is not a decimal number"},
        {5, "'-1' is negative"},
        {7, "'18446744073709551616' is out of range (at most 18446744073709551615)"},
        {8, "'+5' is not a decimal number"},
        {9, "[Warden] CLDBCompactIntervalDays has no value"},
        {10, "'1 2' is not a decimal number"},
        {12, "'2' is out of range (at most 1)"},
        {14, "'1.5' is not a decimal number"}}},
      {"unknown sections and keys",
       "[Couriers]\nCLDBCtreeBufferCount = 5\nCLDBCtreeNodeSize = 6\n[courier]\n"
       "CLDBCtreeBufferCount = 7\n[Courier]\nCLDBCtreeBufferCnt = 8\n",
       {{"Courier", "CLDBCtreeBufferCount", std::nullopt}},
       {{"Courier", "CLDBCtreeBufferCnt", std::nullopt}},
       {{1, "unknown section [Couriers] (known: Courier, Warden, CLDB, CLDBRootFolders, EvDebug)"},
        {4, "unknown section [courier]"},
        {7, "unknown key CLDBCtreeBufferCnt in [Courier] (known: CLDBCtreeBufferCount,"}}},
      {"folders and files are absolute paths",
       "[CLDB]\nRootFolder = data/cldb\n[CLDBRootFolders]\nnightly = ./nightly\n"
       "weekly = /srv/weekly\n[EvDebug]\nLogFile = cldb.log\n",
       {},
       {{"CLDB", "RootFolder", std::nullopt},
        {"CLDBRootFolders", "nightly", std::nullopt},
        {"CLDBRootFolders", "weekly", "/srv/weekly"},
        {"EvDebug", "LogFile", std::nullopt}},
       {{2, "[CLDB] RootFolder 'data/cldb' is not an absolute path"},
        {4, "'./nightly' is not an absolute path"},
        {7, "'cldb.log' is not an absolute path"}}},
      {"malformed lines never spill into another section",
       "CLDBCtreeNodeSize = 1\n[Courier]\nCLDBCtreeNodeSize = 8\njust some words\n= 5\n"
       "[Warden\nCLDBCtreeNodeSize = 99\n[Warden] extra\nCLDBCtreeNodeSize = 98\n",
       {{"Courier", "CLDBCtreeNodeSize", 8}, {"Warden", "CLDBCtreeNodeSize", std::nullopt}},
       {},
       {{1, "CLDBCtreeNodeSize comes before any [Section]"},
        {4, "'just some words' is not a Key = Value line"},
        {5, "'= 5' is not a Key = Value line"},
        {6, "'[Warden' is not a [Section] line"},
        {8, "'[Warden] extra' is not a [Section] line"}}},
      {"a later line replaces an earlier one; a bad one leaves the key absent",
       "[Courier]\nCLDBCtreeBufferCount = 8\nCLDBCtreeBufferCount = 9\n"
       "CLDBCtreeNodeSize = 8\nCLDBCtreeNodeSize = eight\n",
       {{"Courier", "CLDBCtreeBufferCount", 9}, {"Courier", "CLDBCtreeNodeSize", std::nullopt}},
       {},
       {{5, "'eight' is not a decimal number"}}},
      {"a file mode is octal; the owner reads and writes, others at most read",
       "[CLDB]\nFileMode = 0640\n",
       {},
       {{"CLDB", "FileMode", "0640"}},
       {}},
      {"bad file modes",
       "[CLDB]\nFileMode = 644\nFileMode = 666\nFileMode = 700\nFileMode = 400\n"
       "FileMode = 6a0\nFileMode = 10644\n",
       {},
       {{"CLDB", "FileMode", std::nullopt}},
       {{3, "[CLDB] FileMode '666' is not 600, 640 or 644"},
        {4, "'700' is not 600, 640 or 644"},
        {5, "'400' is not 600, 640 or 644"},
        {6, "'6a0' is not an octal mode"},
        {7, "'10644' is not an octal mode"}}},
      {"CRLF line ends and a byte order mark",
       "\xEF\xBB\xBF[CLDB]\r\nRootFolder = /srv/x  # c\r\nCloudLaptopClient = 1\r\n",
       {{"CLDB", "CloudLaptopClient", 1}},
       {{"CLDB", "RootFolder", "/srv/x"}},
       {}},
  };
  return cases;
}

TEST_F(ConfigTest, FormatKeysAndWarnings) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    UseConfig(c.text);
    for (const auto& [section, key, expected] : c.numbers)
      EXPECT_EQ(Number(section, key), expected) << section << " " << key;
    for (const auto& [section, key, expected] : c.texts)
      EXPECT_EQ(Text(section, key), expected) << section << " " << key;
    const std::vector<std::string> warnings = ZelPlatformInfo::Warnings();
    ASSERT_EQ(warnings.size(), c.warnings.size()) << ::testing::PrintToString(warnings);
    for (size_t i = 0; i < warnings.size(); ++i) {
      const std::string where = path_ + ":" + std::to_string(c.warnings[i].first) + ": ";
      EXPECT_EQ(warnings[i].rfind(where, 0), 0u) << warnings[i];
      EXPECT_NE(warnings[i].find(c.warnings[i].second), std::string::npos) << warnings[i];
    }
  }
}

// The README's example, as a user would copy it.
std::string ReadmeExample() {
  const std::string readme = cldbtest::ReadFile(CLDB_README_PATH);
  const size_t section = readme.find("\n## Configuration\n");
  const size_t begin = readme.find("```ini\n", section);
  const size_t end = readme.find("\n```", begin + 1);
  if (section == std::string::npos || begin == std::string::npos || end == std::string::npos)
    return "";
  return readme.substr(begin + 7, end + 1 - (begin + 7));
}

TEST_F(ConfigTest, ReadmeExampleReadsAsWritten) {
  const std::string example = ReadmeExample();
  ASSERT_NE(example.find("RootFolder"), std::string::npos) << "no ```ini block in the README";
  UseConfig(example);
  EXPECT_EQ(ZelPlatformInfo::Warnings(), std::vector<std::string>());
  EXPECT_EQ(Number("Courier", "CLDBCtreeBufferCount"), 1000ul);
  EXPECT_EQ(Number("Courier", "CLDBCtreeNodeSize"), 8ul);
  EXPECT_EQ(Number("Courier", "CLDBCompactIntervalDays"), 15ul);
  EXPECT_EQ(Number("Courier", "MaxCacheDBSizeMB"), 4096ul);
  EXPECT_EQ(Text("CLDB", "RootFolder"), "/var/lib/backup/cldb");
  EXPECT_EQ(Number("CLDB", "CloudLaptopClient"), 0ul);
  EXPECT_EQ(Text("CLDB", "FileMode"), "600");
  EXPECT_EQ(Text("CLDBRootFolders", "nightly"), "/srv/cldb/nightly");
  EXPECT_EQ(Number("EvDebug", "DebugLevel"), 1ul);
  EXPECT_EQ(Text("EvDebug", "LogFile"), "/var/log/cldb.log");
}

// What the library and the tool make: private unless the configuration
// lets the group or everyone read; folders searchable where readable.
TEST_F(ConfigTest, FileModeSetsTheModesOfNewFilesAndFolders) {
  const struct {
    const char* config;
    mode_t file, folder;
  } cases[] = {
      {"", 0600, 0700},
      {"[CLDB]\nFileMode = 600\n", 0600, 0700},
      {"[CLDB]\nFileMode = 640\n", 0640, 0750},
      {"[CLDB]\nFileMode = 0644\n", 0644, 0755},
      {"[CLDB]\nFileMode = 666\n", 0600, 0700},  // refused: the default
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.config);
    UseConfig(c.config);
    EXPECT_EQ(ZelPlatformInfo::NewFileMode(), c.file);
    EXPECT_EQ(ZelPlatformInfo::NewFolderMode(), c.folder);
  }
}

TEST_F(ConfigTest, RootFolderResolutionOrder) {
  UseConfig("[CLDBRootFolders]\njobs = /data/jobs-cldb\n[CLDB]\nRootFolder = /data/default\n");
  ZelPlatformInfo info;
  std::string folder;
  for (auto [key, expected] : {std::pair{"jobs", "/data/jobs-cldb"},
                               {"/explicit", "/explicit"},
                               {"unknown", "/data/default"}}) {
    ASSERT_EQ(info.GetCLDBRootFolder(key, folder), 0);
    EXPECT_EQ(folder, expected);
  }
  ScopedEnv data("XDG_DATA_HOME", "/xdg/data");
  // A relative folder is not taken relative to whatever the working folder is.
  for (const char* config : {"", "[CLDBRootFolders]\njobs = jobs-cldb\n[CLDB]\nRootFolder = x\n"}) {
    UseConfig(config);
    ASSERT_EQ(info.GetCLDBRootFolder("jobs", folder), 0);
    EXPECT_EQ(folder, "/xdg/data/cldb");
  }
}

TEST_F(ConfigTest, ANamedFileThatCannotBeReadWarnsAndConfiguresNothing) {
  for (auto [name, why] : {std::pair{"missing.conf", "no such file (named by CLDB_CONFIG)"},
                           {"", "cannot be read: Is a directory"}}) {
    const std::string path = dir_ / name;
    ScopedEnv env("CLDB_CONFIG", path.c_str());
    ZelPlatformInfo::Reload();
    EXPECT_EQ(ZelPlatformInfo::Warnings(),
              std::vector<std::string>{path + ": " + why + "; no configuration is read"});
    EXPECT_EQ(Number("Courier", "CLDBCtreeBufferCount"), std::nullopt);
  }
  ScopedEnv none("CLDB_CONFIG", "/dev/null");  // the quiet way to read no file
  ZelPlatformInfo::Reload();
  EXPECT_EQ(ZelPlatformInfo::Warnings(), std::vector<std::string>());
}

TEST_F(ConfigTest, TheUsersFileIsReadWhenNoneIsNamed) {
  ScopedEnv unnamed("CLDB_CONFIG", nullptr);
  ScopedEnv xdg("XDG_CONFIG_HOME", (dir_ / "xdg").c_str());
  std::filesystem::create_directories(dir_ / "xdg/cldb");
  cldbtest::WriteFile(dir_ / "xdg/cldb/cldb.conf", "[Courier]\nCLDBCtreeNodeSize = x\n");
  ZelPlatformInfo::Reload();
  EXPECT_EQ(ZelPlatformInfo::Warnings().size(), 1u);
  EXPECT_EQ(ZelPlatformInfo::Warnings().at(0).rfind(dir_ / "xdg/cldb/cldb.conf:2: ", 0), 0u);
}

// The library reports a load's warnings once, through the default log
// destination, however many log objects are made after it and whatever
// file they write to themselves.
TEST_F(ConfigTest, WarningsAreLoggedOncePerLoadToTheDefaultDestination) {
  UseConfig("[Courier]\nCLDBCtreeNodeSize = eight\n");
  cldbtest::LogCapture capture(nullptr);
  const std::string defaultLog = dir_ / "default.log", ownLog = dir_ / "own.log";
  EvDebug::SetDefaultLogFile(defaultLog);
  const std::string line = "configuration: " + path_ + ":2: [Courier] CLDBCtreeNodeSize 'eight'";
  {
    EvDebug own(ownLog), plain;
    EXPECT_EQ(capture.Count(line), 1u);
    EXPECT_TRUE(capture.Contains(0, line));
  }
  ZelPlatformInfo::Reload();
  EvDebug afterReload;
  EXPECT_EQ(capture.Count(line), 2u);
  EvDebug::SetDefaultLogFile("");
  EXPECT_EQ(cldbtest::ReadFile(ownLog).find(line), std::string::npos);
  const std::string written = cldbtest::ReadFile(defaultLog);
  const size_t first = written.find(line);
  ASSERT_NE(first, std::string::npos) << written;
  EXPECT_NE(written.find(line, first + 1), std::string::npos) << written;
}

// A level beyond int must not wrap into a negative threshold that hides
// every line.
TEST_F(ConfigTest, DebugLevelBeyondIntLetsEveryLineThrough) {
  UseConfig("[EvDebug]\nDebugLevel = 4294967296\n");
  const std::string logFile = dir_ / "default.log";
  EvDebug::SetDefaultLogFile(logFile);
  {
    EvDebug log;
    log.debugLvl(3, "a detail line");
  }
  EvDebug::SetDefaultLogFile("");
  EXPECT_NE(cldbtest::ReadFile(logFile).find("a detail line"), std::string::npos);
}

// Readers on several threads while the file is read again and again: each
// look-up sees a whole load, never an empty or half-made one.
TEST_F(ConfigTest, LookupsDuringReloadsSeeWholeLoads) {
  UseConfig(
      "[Courier]\nCLDBCtreeBufferCount = 1000\nCLDBCtreeNodeSize = x\n"
      "[CLDB]\nRootFolder = /data/cldb\n");
  const int kReaders = 3;
  std::atomic<int> done{0}, wrong{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < kReaders; ++t)
    readers.emplace_back([&] {
      ZelPlatformInfo info;
      std::string folder;
      for (int i = 0; i < 2000; ++i) {
        if (Number("Courier", "CLDBCtreeBufferCount") != 1000ul) ++wrong;
        if (info.GetCLDBRootFolder("", folder) != 0 || folder != "/data/cldb") ++wrong;
        if (ZelPlatformInfo::Warnings().size() != 1) ++wrong;
      }
      ++done;
    });
  int reloads = 0;
  for (; done < kReaders; ++reloads) ZelPlatformInfo::Reload();
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(reloads, 0);
}

}  // namespace
