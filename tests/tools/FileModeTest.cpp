// End-to-end: what the tool and the library make under a root is private
// (folders 0700, files 0600) unless [CLDB] FileMode lets others read; lock
// files stay 0600 whatever is set; the log is never written through a link.

#include <sys/stat.h>

#include <filesystem>

#include "ToolHarness.h"

namespace tooltest {
namespace {

namespace fs = std::filesystem;

using FileModeTest = ToolTest;

TEST_F(FileModeTest, EverythingUnderTheRootGetsTheConfiguredModeLocksStayPrivate) {
  WriteRandomFile(Tree("t") + "/f", 9, 7 * kBlock);
  const struct {
    const char* config;
    unsigned file, folder;
  } cases[] = {
      {"", 0600, 0700},
      {"[CLDB]\nFileMode = 640\n", 0640, 0750},
      {"[CLDB]\nFileMode = 644\n", 0644, 0755},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.config);
    fs::remove_all(Root());
    const std::string config = dir_ / "cldb.conf";
    cldbtest::WriteFile(config, c.config);
    RunOptions options;
    options.env = {"CLDB_CONFIG=" + config};
    // Everything that makes or rewrites a file: two jobs, a prune, a
    // compaction (a new data file), a change on the storage side.
    const std::vector<std::vector<std::string>> runs = {
        {"backup", Tree("t")},     {"backup", Tree("t")}, {"prune"},
        {"compact", CldbFolder()}, {"storage", "dirty"},  {"backup", Tree("t")}};
    for (const std::vector<std::string>& args : runs) Run(args, 0, options);
    size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(Root())) {
      struct stat info {};
      ASSERT_EQ(0, lstat(entry.path().c_str(), &info));
      const std::string name = entry.path().filename();
      const bool lock = name.size() > 5 && name.substr(name.size() - 5) == ".lock";
      const unsigned expected = S_ISDIR(info.st_mode) ? c.folder : lock ? 0600 : c.file;
      EXPECT_EQ(info.st_mode & 07777, expected) << entry.path();
      files += S_ISREG(info.st_mode) ? 1 : 0;
    }
    // The root's lock, its storage database and log, the CLDB's table, seal,
    // state and two locks: none left out.
    EXPECT_GE(files, 8u);
    struct stat root {};
    ASSERT_EQ(0, stat(Root().c_str(), &root));
    EXPECT_EQ(root.st_mode & 07777, c.folder);
  }
}

// A link (or anything but a plain file) planted as the log is left alone:
// the lines go to standard error instead.
TEST_F(FileModeTest, TheLogIsNeverWrittenThroughALink) {
  WriteRandomFile(Tree("t") + "/f", 9, 2 * kBlock);
  Backup({Tree("t")});
  const std::string log = Root() + "/logs/cldb.log", victim = dir_ / "victim";
  cldbtest::WriteFile(victim, "keep\n");
  fs::remove(log);
  fs::create_symlink(victim, log);
  const RunResult result = Run({"backup", Tree("t")});
  EXPECT_EQ(cldbtest::ReadFile(victim), "keep\n");
  EXPECT_TRUE(fs::is_symlink(log));
  EXPECT_NE(result.err.find("CLDB Succeeded"), std::string::npos) << result.err;
}

}  // namespace
}  // namespace tooltest
