// End-to-end: what of the named paths a backup takes: exclude patterns and
// files, --one-file-system, named links, missing paths, and the root folder
// never backed up into itself.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "ToolHarness.h"

namespace tooltest {
namespace {

class BackupSelectionTest : public ToolTest {
 protected:
  // t/a.txt, t/b.o, t/sub/c.o, t/sub/keep.txt, t/.cache/d, t/sub/.cache (a file)
  void MakeTree() {
    const std::string t = Tree("t");
    WriteRandomFile(t + "/a.txt", 1, kBlock);
    WriteRandomFile(t + "/b.o", 2, kBlock);
    WriteRandomFile(t + "/sub/c.o", 3, kBlock);
    WriteRandomFile(t + "/sub/keep.txt", 4, kBlock);
    WriteRandomFile(t + "/.cache/d", 5, kBlock);
    WriteRandomFile(t + "/sub/.cache", 6, kBlock);
  }
  // The paths job `jobId` recorded below `below` (absolute), relative to it.
  std::set<std::string> Recorded(uint32_t jobId, const std::string& below) {
    std::set<std::string> paths;
    const std::string prefix = below.substr(1) + "/";
    const nlohmann::json listing = Json({"ls", std::to_string(jobId)});
    for (const nlohmann::json& entry : listing["entries"]) {
      const std::string path = entry["path"];
      if (path.rfind(prefix, 0) == 0) paths.insert(path.substr(prefix.size()));
    }
    return paths;
  }
};

TEST_F(BackupSelectionTest, ExcludePatternsLeaveOutWhatTheyMatch) {
  MakeTree();
  const std::string t = Tree("t");
  struct Case {
    std::vector<std::string> patterns;
    std::set<std::string> recorded;
  };
  const std::set<std::string> all = {"a.txt",        "b.o",    "sub",      "sub/c.o",
                                     "sub/keep.txt", ".cache", ".cache/d", "sub/.cache"};
  auto without = [&](std::set<std::string> gone) {
    std::set<std::string> left;
    std::set_difference(all.begin(), all.end(), gone.begin(), gone.end(),
                        std::inserter(left, left.end()));
    return left;
  };
  const Case cases[] = {
      {{"*.o"}, without({"b.o", "sub/c.o"})},                       // a bare name anywhere
      {{"sub/*.o"}, without({"sub/c.o"})},                          // relative to t
      {{"*/c.o"}, without({"sub/c.o"})},                            // '*' stops at '/'
      {{".cache"}, without({".cache", ".cache/d", "sub/.cache"})},  // a folder and a file
      {{"sub"}, without({"sub", "sub/c.o", "sub/keep.txt", "sub/.cache"})},
      {{t + "/sub/*"}, without({"sub/c.o", "sub/keep.txt", "sub/.cache"})},  // absolute
      {{"/sub"}, all},                                                       // absolute: no /sub
      {{"t"}, all},                                                          // never the named path
      {{"*.txt", "*.o"}, without({"a.txt", "b.o", "sub/c.o", "sub/keep.txt"})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.patterns));
    std::vector<std::string> extra;
    for (const std::string& pattern : c.patterns) extra.insert(extra.end(), {"--exclude", pattern});
    const nlohmann::json job = Backup({t}, extra);
    EXPECT_EQ(Recorded(job["job_id"], t), c.recorded);
    // An excluded folder counts once; what is below it is never looked at.
    uint64_t excluded = 0;
    for (const std::string& path : without(c.recorded))
      excluded += c.recorded.count(path.substr(0, path.find('/'))) != 0 ||
                  path.find('/') == std::string::npos;
    EXPECT_EQ(job["excluded"], excluded);
  }
}

TEST_F(BackupSelectionTest, ExcludeFilesHoldOnePatternPerLine) {
  MakeTree();
  const std::string list = dir_ / "exclude.txt";
  cldbtest::WriteFile(list, "# build output\n*.o\n\n   \n#.cache\nsub/keep.txt\r\n");
  const nlohmann::json job = Backup({Tree("t")}, {"--exclude-file", list, "--exclude", "a.txt"});
  EXPECT_EQ(Recorded(job["job_id"], Tree("t")),
            (std::set<std::string>{"sub", ".cache", ".cache/d", "sub/.cache"}));
  EXPECT_EQ(job["excluded"], 4);

  const RunResult missing = Run({"backup", "--exclude-file", dir_ / "nowhere.txt", Tree("t")}, 1);
  EXPECT_NE(missing.err.find("nowhere.txt"), std::string::npos) << missing.err;
  EXPECT_EQ(Json({"storage", "jobs"})["jobs"].size(), 1u);
}

// /dev/shm is a file system of its own below /dev where this runs.
TEST_F(BackupSelectionTest, OneFileSystemRecordsTheMountPointEmpty) {
  struct stat dev {
  }, shm{};
  if (stat("/dev", &dev) != 0 || stat("/dev/shm", &shm) != 0 || dev.st_dev == shm.st_dev)
    GTEST_SKIP() << "no mount point below /dev";
  const std::string mine = "/dev/shm/cldb-test-" + std::to_string(getpid());
  std::filesystem::remove_all(mine);
  WriteRandomFile(mine + "/f", 7, kBlock);
  const RunResult result = RunTool(BackupArgs({"--one-file-system", "/dev"}));
  ASSERT_TRUE(result.exitCode == 0 || result.exitCode == 4) << result.err;
  const std::set<std::string> below = Recorded(result.Json()["job_id"], "/dev");
  EXPECT_EQ(below.count("shm"), 1u);
  EXPECT_TRUE(std::none_of(below.begin(), below.end(), [](const std::string& path) {
    return path.rfind("shm/", 0) == 0;
  })) << ::testing::PrintToString(below);
  std::filesystem::remove_all(mine);
}

TEST_F(BackupSelectionTest, NamedLinksWarnAndAreFollowedOnlyWhenAsked) {
  MakeTree();
  const std::string link = Tree("link");
  ASSERT_EQ(symlink(Tree("t").c_str(), link.c_str()), 0);
  ASSERT_EQ(symlink("../a.txt", (Tree("t") + "/sub/up").c_str()), 0);

  const RunResult plain = Run({"backup", "--json", "--block-size", "4K", link});
  EXPECT_EQ(plain.ErrorLines(),
            std::vector<std::string>{"cldb: warning: '" + link +
                                     "' is a symbolic link: it is backed up as the link, not "
                                     "what it points to (--follow-cmdline-links follows it)"});
  EXPECT_EQ(plain.Json()["files"], 0);

  const RunResult followed =
      Run({"backup", "--json", "--block-size", "4K", "--follow-cmdline-links", link});
  EXPECT_EQ(followed.err, "");
  const nlohmann::json job = followed.Json();
  EXPECT_EQ(job["files"], 6);
  // Recorded under the link's own path; the link below stays a link.
  const std::set<std::string> recorded = Recorded(job["job_id"], link);
  EXPECT_EQ(recorded.count("sub/keep.txt"), 1u);
  int links = 0;
  const nlohmann::json listing = Json({"ls", std::to_string(job["job_id"].get<int>())});
  for (const nlohmann::json& entry : listing["entries"])
    links += entry["path"] == link.substr(1) + "/sub/up" && entry["type"] == "symlink";
  EXPECT_EQ(links, 1);
}

TEST_F(BackupSelectionTest, MissingPathsAreReportedAndTheOthersBackedUp) {
  MakeTree();
  const RunResult some =
      Run({"backup", "--json", "--block-size", "4K", Tree("gone"), Tree("t")}, 4);
  EXPECT_NE(some.err.find("cldb: cannot access '" + Tree("gone") + "': No such file or directory"),
            std::string::npos)
      << some.err;
  const nlohmann::json job = some.Json();
  EXPECT_EQ(job["files"], 6);
  EXPECT_EQ(job["unreadable"], 1);
  EXPECT_EQ(JobOnStorage(job["job_id"])["status"], "partial");
  ExpectRestored(job["job_id"], {Tree("t")});

  const RunResult none = Run({"backup", "--json", Tree("gone"), Tree("gone2")}, 1);
  EXPECT_EQ(none.Json()["error"]["exit_code"], 1) << none.out;  // --json: the error as JSON
  // Each path, then why nothing ran.
  EXPECT_EQ(none.ErrorLines(),
            (std::vector<std::string>{
                "cldb: cannot access '" + Tree("gone") + "': No such file or directory",
                "cldb: cannot access '" + Tree("gone2") + "': No such file or directory",
                "cldb: nothing to back up"}));
  EXPECT_EQ(Json({"storage", "jobs"})["jobs"].size(), 1u);
  EXPECT_EQ(Backup({Tree("t")})["hits"], 6);
}

TEST_F(BackupSelectionTest, TheRootFolderIsNeverBackedUpIntoItself) {
  MakeTree();
  const std::string t = Tree("t");
  const std::string root = t + "/sub/root";
  for (int run = 0; run < 2; ++run) {  // the first makes the root, the second finds it
    SCOPED_TRACE(run);
    const RunResult result = RunTool({"backup", "--root", root, "--json", "--block-size", "4K", t});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.ErrorLines(),
              std::vector<std::string>{"cldb: note: the root folder '" + root + "' is inside '" +
                                       t + "' and is left out"});
    const nlohmann::json job = result.Json();
    EXPECT_EQ(job["files"], 6);
    EXPECT_EQ(job["excluded"], 1);
  }
  // Through a named link that is followed, too: the folder is known by its
  // identity, not its path.
  ASSERT_EQ(symlink((t + "/sub").c_str(), Tree("via").c_str()), 0);
  const RunResult linked = RunTool({"backup", "--root", root, "--json", "--block-size", "4K",
                                    "--follow-cmdline-links", "--exclude", "*.o", Tree("via")});
  ASSERT_EQ(linked.exitCode, 0) << linked.err;
  EXPECT_NE(linked.err.find("cldb: note: the root folder '" + root + "' is inside"),
            std::string::npos);
  EXPECT_EQ(linked.Json()["files"], 2);     // sub/keep.txt and sub/.cache
  EXPECT_EQ(linked.Json()["excluded"], 2);  // sub/c.o and the root

  for (const std::string& inside : {root, root + "/ZEL_CLDB_APP_1_1"}) {
    SCOPED_TRACE(inside);
    const RunResult refused = RunTool({"backup", "--root", root, inside});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("is inside the root folder"), std::string::npos) << refused.err;
  }
}

// A dry run reads and looks up what a backup would, and changes nothing in
// the root folder: no job, no pack, no CLDB record or stamp, no State.xml.
TEST_F(BackupSelectionTest, DryRunPredictsTheJobAndChangesNothing) {
  MakeTree();
  const std::string t = Tree("t");
  Backup({t});
  WriteRandomFile(t + "/new", 50, 3 * kBlock);
  WriteRandomFile(t + "/copy-of-new", 50, 3 * kBlock);  // found once the first copy is stored
  const TreeScan before = ScanTree(Root());
  const RunResult dry = Run({"backup", "--json", "--block-size", "4K", "--dry-run", t});
  EXPECT_EQ(CompareScans(before, ScanTree(Root())), std::vector<std::string>{});
  EXPECT_EQ(Json({"storage", "jobs"})["jobs"].size(), 1u);
  const nlohmann::json predicted = dry.Json();
  EXPECT_EQ(predicted["dry_run"], true);
  EXPECT_TRUE(predicted["dry_run_note"].is_null()) << predicted["dry_run_note"];
  const nlohmann::json job = Backup({t});
  for (const char* key : {"files", "blocks", "hits", "misses", "bytes_stored", "bytes_not_sent"}) {
    SCOPED_TRACE(key);
    EXPECT_EQ(predicted[key], job[key]);
  }
  EXPECT_EQ(job["misses"], 3);

  // No root: nothing is made, every block is new.
  const std::string nowhere = dir_ / "nowhere";
  const RunResult fresh =
      RunTool({"backup", "--root", nowhere, "--json", "--block-size", "4K", "--dry-run", t});
  ASSERT_EQ(fresh.exitCode, 0) << fresh.err;
  EXPECT_FALSE(std::filesystem::exists(nowhere));
  EXPECT_EQ(fresh.Json()["hits"], 3);  // the repeats within the run
  EXPECT_EQ(fresh.Json()["misses"], 9);
  EXPECT_FALSE(fresh.Json()["dry_run_note"].is_null());
}

// A dry run counts a block as found only when the archive file its record
// names is still valid on the storage side, and predicts what the job then
// finds. Without a storage database, or with the copy offline, it finds
// nothing.
TEST_F(BackupSelectionTest, DryRunFindsOnlyWhatStorageStillHolds) {
  const std::string x = Tree("x"), y = Tree("y");
  WriteRandomFile(x + "/f", 70, 3 * kBlock);
  WriteRandomFile(y + "/f", 71, 2 * kBlock);
  struct Case {
    const char* name;
    std::vector<std::vector<std::string>> storageCommands;  // %job1 / %job2 / %afile2 filled in
    bool removeStorage;
    int hits;
    bool noted;
  };
  const Case cases[] = {
      {"nothing lost", {}, false, 5, false},
      {"second job dropped", {{"drop-job", "%job2"}}, false, 3, false},
      {"second archive file lost", {{"drop-afile", "%afile2"}}, false, 3, false},
      {"both jobs dropped", {{"drop-job", "%job1"}, {"drop-job", "%job2"}}, false, 0, false},
      {"copy offline", {{"offline", "--copy", "1"}}, false, 0, true},
      {"storage database gone", {}, true, 0, true},
  };
  auto dryRun = [&] {
    const RunResult dry = Run({"backup", "--json", "--block-size", "4K", "--dry-run", x, y});
    return dry.Json();
  };
  // Jobs that follow each other within a second each start after the
  // CLDB's newest stamp, so their stamps run ahead of the clock; the dry run
  // ages records from where the next job would start.
  for (int i = 0; i < 5; ++i) Backup({x, y});
  EXPECT_EQ(dryRun()["hits"], 5);

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(Root());
    const nlohmann::json job1 = Backup({x});
    const nlohmann::json job2 = Backup({y});
    for (std::vector<std::string> command : c.storageCommands) {
      for (std::string& arg : command) {
        if (arg == "%job1") arg = std::to_string(job1["job_id"].get<uint32_t>());
        if (arg == "%job2") arg = std::to_string(job2["job_id"].get<uint32_t>());
        if (arg == "%afile2") arg = std::to_string(job2["archive_file_id"].get<uint32_t>());
      }
      command.insert(command.begin(), "storage");
      Run(command);
    }
    if (c.removeStorage) std::filesystem::remove(Root() + "/storage.sqlite");
    const nlohmann::json predicted = dryRun();
    EXPECT_EQ(predicted["hits"], c.hits);
    EXPECT_EQ(predicted["misses"], 5 - c.hits);
    EXPECT_EQ(predicted["dry_run_note"].is_null(), !c.noted) << predicted["dry_run_note"];
    if (c.removeStorage) continue;  // a job would start a new storage side
    const nlohmann::json job = Backup({x, y});
    EXPECT_EQ(job["hits"], predicted["hits"]);
    EXPECT_EQ(job["misses"], predicted["misses"]);
  }
}

}  // namespace
}  // namespace tooltest
