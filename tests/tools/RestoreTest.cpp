// End-to-end: what a job backed up comes back byte for byte, with modes,
// times and links; a restore never writes outside its target and never
// replaces what is there unless asked; damage is found and named.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "ToolHarness.h"
#include "storage/PackFormat.h"
#include "storage/RawSql.h"

namespace tooltest {
namespace {

class RestoreTest : public ToolTest {
 protected:
  // Files of every shape, links, an empty folder, unusual modes, and times
  // with nanoseconds; the read-only folder is made so last.
  void MakeTree() {
    const std::string t = Tree("t");
    WriteRandomFile(t + "/a", 1, 10 * kBlock + 100);
    WriteRandomFile(t + "/whole", 2, 3 * kBlock);
    WriteRandomFile(t + "/one-byte", 3, 1);
    WriteRandomFile(t + "/empty", 4, 0);
    WriteRandomFile(t + "/sub/deeper/c", 5, kBlock + 1);
    WriteRandomFile(t + "/sub/repeat", 1, 10 * kBlock + 100);  // the same blocks as a
    WriteRandomFile(t + "/ro/inside", 6, 100);
    std::filesystem::create_directories(t + "/empty-folder");
    ASSERT_EQ(symlink("a", (t + "/link").c_str()), 0);
    ASSERT_EQ(symlink("/nonexistent/target", (t + "/dangling").c_str()), 0);
    ASSERT_EQ(chmod((t + "/a").c_str(), 0751), 0);
    ASSERT_EQ(chmod((t + "/one-byte").c_str(), 0400), 0);
    SetTime(t + "/sub/deeper/c", 1234567890, 123456789);
    SetTime(t + "/sub/deeper", 1000000000, 1);
    SetTime(t + "/link", 1500000000, 5);
    ASSERT_EQ(chmod((t + "/ro").c_str(), 0555), 0);
  }
  static void SetTime(const std::string& path, time_t seconds, long nanoseconds) {
    const struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
  }
  // `cldb restore` of job `jobId` into `target`; expects `exitCode`.
  RunResult RestoreRun(uint32_t jobId, const std::string& target, int exitCode,
                       const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"restore", std::to_string(jobId), "--to", target};
    args.insert(args.end(), extra.begin(), extra.end());
    return Run(args, exitCode);
  }
  std::string Db() const { return Root() + "/storage.sqlite"; }
};

TEST_F(RestoreTest, EveryKindOfEntryComesBackAsItWas) {
  MakeTree();
  const nlohmann::json first = Backup({Tree("t")});
  const nlohmann::json second = Backup({Tree("t")});
  EXPECT_EQ(second["hits"], second["blocks"]);
  ExpectRestored(first["job_id"], {Tree("t")});
  ExpectRestored(second["job_id"], {Tree("t")});

  // One path of the job, with the folders above it and nothing beside it.
  const std::string part = Restore(second["job_id"], {Tree("t") + "/sub"});
  EXPECT_TRUE(CompareTrees(Tree("t") + "/sub", part + Tree("t") + "/sub").empty());
  EXPECT_FALSE(std::filesystem::exists(part + Tree("t") + "/a"));
  struct stat parent {};
  ASSERT_EQ(stat((part + Tree("t")).c_str(), &parent), 0);
  EXPECT_TRUE(S_ISDIR(parent.st_mode));
}

TEST_F(RestoreTest, ListShowsTheTree) {
  MakeTree();
  const uint32_t jobId = Backup({Tree("t")})["job_id"];
  const std::string t = Tree("t").substr(1);  // as the tree records it
  nlohmann::json listed = Json({"ls", std::to_string(jobId), "/" + t + "/sub"});
  EXPECT_EQ(listed["schema_version"], 2);
  std::vector<std::string> paths;
  for (const nlohmann::json& entry : listed["entries"]) paths.push_back(entry["path"]);
  EXPECT_EQ(paths, (std::vector<std::string>{t + "/sub", t + "/sub/deeper", t + "/sub/deeper/c",
                                             t + "/sub/repeat"}));
  EXPECT_EQ(listed["entries"][2]["size"], kBlock + 1);
  EXPECT_EQ(listed["entries"][2]["blocks"], 2);
  EXPECT_EQ(listed["entries"][2]["mtime_ns"], 1234567890123456789);
  nlohmann::json link = Json({"ls", std::to_string(jobId), t + "/link"});
  ASSERT_EQ(link["entries"].size(), 1u);
  EXPECT_EQ(link["entries"][0]["type"], "symlink");
  EXPECT_EQ(link["entries"][0]["target"], "a");

  const RunResult human = Run({"ls", std::to_string(jobId)});
  EXPECT_NE(human.out.find("-rwxr-x--x"), std::string::npos);
  EXPECT_NE(human.out.find(t + "/link -> a"), std::string::npos);
}

TEST_F(RestoreTest, UnknownJobsAndPathsAreBadInput) {
  MakeTree();
  const std::string jobId = std::to_string(Backup({Tree("t")})["job_id"].get<uint32_t>());
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"ls", "99"}, "no job 99"},
      {{"restore", "99", "--to", Tree("r")}, "no job 99"},
      {{"ls", jobId, "no/such/path"}, "no 'no/such/path' in job " + jobId},
      {{"restore", jobId, "--to", Tree("r"), Tree("t") + "/nothing"}, "/nothing' in job"},
      {{"restore", jobId, "--to", Tree("t") + "/a"}, "cannot use"},
      {{"verify", "99"}, "no job 99"},
  };
  for (const Case& c : cases) {
    const RunResult result = Run(c.args, 1);
    ASSERT_EQ(result.ErrorLines().size(), 1u) << result.err;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
  }
  EXPECT_FALSE(std::filesystem::exists(Tree("r") + Tree("t")));
}

// A second restore into the same folder is refused before anything is
// written; with --overwrite files and links are replaced, folders kept.
TEST_F(RestoreTest, ExistingFilesAreReplacedOnlyWhenAsked) {
  MakeTree();
  const uint32_t jobId = Backup({Tree("t")})["job_id"];
  const std::string target = Restore(jobId);
  cldbtest::WriteFile(target + Tree("t") + "/whole", "changed");
  const RunResult refused = RestoreRun(jobId, target, 1);
  EXPECT_NE(refused.err.find("exists (give --overwrite"), std::string::npos) << refused.err;
  EXPECT_EQ(cldbtest::ReadFile(target + Tree("t") + "/whole"), "changed");

  std::filesystem::remove(target + Tree("t") + "/link");
  ASSERT_EQ(symlink("/etc/passwd", (target + Tree("t") + "/link").c_str()), 0);
  const RunResult replaced = RestoreRun(jobId, target, 0, {"--overwrite"});
  EXPECT_TRUE(CompareTrees(Tree("t"), target + Tree("t")).empty());
}

// However the target is laid out or the store is tampered with, nothing is
// made or written outside the target.
TEST_F(RestoreTest, NothingIsWrittenOutsideTheTarget) {
  MakeTree();
  const uint32_t jobId = Backup({Tree("t")})["job_id"];
  const std::string outside = Tree("outside");
  std::filesystem::create_directories(outside);

  // A link in the target where a folder of the tree goes.
  const std::string target = Tree("target");
  std::filesystem::create_directories(target + Tree("t"));
  ASSERT_EQ(symlink(outside.c_str(), (target + Tree("t") + "/sub").c_str()), 0);
  RunResult result = RestoreRun(jobId, target, 1, {"--overwrite"});
  EXPECT_NE(result.err.find("exists and is not a folder"), std::string::npos) << result.err;
  EXPECT_TRUE(std::filesystem::is_empty(outside));

  // Paths in the store that lead out, or under a link of the job.
  const std::string t = Tree("t").substr(1);
  for (const std::string& path : {std::string("../escape"), std::string("/abs/olute"),
                                  t + "/../../escape", t + "/link/inside"}) {
    SCOPED_TRACE(path);
    const std::string fresh = Tree("fresh-" + std::to_string(path.size()));
    cldbtest::RawSql(Db(), "INSERT INTO entries VALUES (" + std::to_string(jobId) + ", CAST('" +
                               path + "' AS BLOB), 1, 420, 0, 0, X'')");
    // Under a link the job restored: refused as in the way, the rest done.
    const bool escapes = path.find("..") != std::string::npos || path[0] == '/';
    result = RestoreRun(jobId, fresh, escapes ? 1 : 4);
    EXPECT_NE(result.err.find(escapes ? "cannot be restored" : "in the way"), std::string::npos)
        << result.err;
    cldbtest::RawSql(Db(), "DELETE FROM entries WHERE path = CAST('" + path + "' AS BLOB)");
    EXPECT_FALSE(std::filesystem::exists(Tree("escape")));
    EXPECT_FALSE(std::filesystem::exists("/abs/olute"));
    EXPECT_FALSE(std::filesystem::exists(fresh + "/escape"));
  }
  EXPECT_TRUE(std::filesystem::is_empty(outside));
}

// One damaged pack breaks the files with a block only it held: verify names
// both, restore brings back every other file and leaves no broken one.
TEST_F(RestoreTest, ADamagedPackIsNamedAndTheRestRestores) {
  MakeTree();
  // One thread: the pack holds a's blocks first.
  const nlohmann::json first = Backup({Tree("t") + "/a", Tree("t") + "/sub"}, {"--threads", "1"});
  const nlohmann::json second = Backup({Tree("t")});
  ASSERT_EQ(first["archive_files"].size(), 1u);
  const std::string pack =
      Root() + "/packs/" + std::to_string(first["archive_file_id"].get<uint32_t>()) + ".pack";
  {
    // Into the first record's data: a's first block.
    std::fstream file(pack, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(64 + 96 + 10);
    file.put('\x55');
  }
  const RunResult verify = Run({"verify", "--json"}, 4);
  const nlohmann::json report = verify.Json();
  ASSERT_EQ(report["bad_blocks"], 1);
  EXPECT_EQ(report["problems"][0]["problem"], "damaged");
  EXPECT_EQ(report["damaged_packs"], nlohmann::json::array({pack}));
  const std::string t = Tree("t").substr(1);
  std::set<std::string> broken;
  for (const nlohmann::json& file : report["problems"][0]["files"]) broken.insert(file["path"]);
  EXPECT_EQ(broken, (std::set<std::string>{t + "/a", t + "/sub/repeat"}));

  const std::string target = Tree("target");
  const RunResult restore = RestoreRun(second["job_id"], target, 4);
  EXPECT_NE(restore.err.find(t + "/a': block 1 of 11 is missing or damaged"), std::string::npos)
      << restore.err;
  EXPECT_FALSE(std::filesystem::exists(target + Tree("t") + "/a"));
  EXPECT_FALSE(std::filesystem::exists(target + Tree("t") + "/sub/repeat"));
  for (const char* intact : {"/whole", "/one-byte", "/sub/deeper/c", "/ro/inside"})
    EXPECT_TRUE(cldbtest::ReadFile(target + Tree("t") + intact) ==
                cldbtest::ReadFile(Tree("t") + intact))
        << intact;
}

// A store written by a newer program is refused, not misread.
TEST_F(RestoreTest, AStoreOfANewerFormatIsRefused) {
  MakeTree();
  const uint32_t jobId = Backup({Tree("t")})["job_id"];
  const std::string pack = Root() + "/packs/1.pack";
  {
    cldb::PackHeader newer;
    newer.version = cldb::kPackFormatVersion + 1;
    newer.afileId = 1;
    unsigned char header[cldb::kPackHeaderSize];
    cldb::EncodePackHeader(newer, header);
    std::fstream file(pack, std::ios::in | std::ios::out | std::ios::binary);
    file.write(reinterpret_cast<const char*>(header), sizeof(header));
  }
  const RunResult restore = RestoreRun(jobId, Tree("target"), 4);
  EXPECT_NE(restore.err.find("1.pack': written by a newer format version"), std::string::npos)
      << restore.err;

  cldbtest::RawSql(Db(), "PRAGMA user_version = 5");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"ls", std::to_string(jobId)},
        {"backup", Tree("t")},
        {"storage", "jobs"}}) {
    const RunResult result = Run(args, 2);
    EXPECT_NE(result.err.find("written by a newer version"), std::string::npos) << result.err;
  }
}

}  // namespace
}  // namespace tooltest
