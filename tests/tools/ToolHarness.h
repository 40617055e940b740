// Drives the real `cldb` binary for the end-to-end tests: runs it in a child
// process with its output captured, generates trees of deterministic
// pseudo-random files, and reads the tool's JSON and CSV output.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace tooltest {

const uint32_t kBlock = 4096;  // the block size every test backs up with

struct RunOptions {
  std::string cwd;               // "" keeps the test's
  bool asNobody = false;         // drop root privileges in the child
  std::vector<std::string> env;  // extra NAME=VALUE entries
  int timeoutSeconds = 120;      // the child is killed after this
};

struct RunResult {
  int exitCode = -1;  // -1 when killed by a signal
  int signal = 0;
  long maxRssKiB = 0;  // the child's peak resident memory
  std::string out;
  std::string err;
  // stdout parsed as one JSON value; a test failure when it is not.
  nlohmann::json Json() const;
  // The lines of stderr.
  std::vector<std::string> ErrorLines() const;
};

// Runs `cldb args...` to its end.
RunResult RunTool(const std::vector<std::string>& args, const RunOptions& options = {});

// A `cldb` child left running; Finish waits for it.
class Child {
 public:
  Child(const std::vector<std::string>& args, const std::string& outputFolder,
        const RunOptions& options = {});
  ~Child();  // kills a child still running
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  void Signal(int sig);
  // Waits until the tool has its signal guard in place: SIGHUP, SIGINT and
  // SIGTERM blocked for its watcher thread, and SIGPIPE ignored (set last,
  // so a runtime that blocks signals for a moment is not mistaken for it);
  // false when the child ended first.
  bool WaitUntilGuarded();
  // Whether the child has ended (reaped by this call when it has).
  bool Ended();
  RunResult Finish();

 private:
  pid_t pid_ = -1;
  std::string outPath_;
  std::string errPath_;
  int status_ = 0;
  long maxRssKiB_ = 0;
  bool reaped_ = false;
};

// `size` deterministic bytes for `seed`; different seeds give different blocks.
std::string RandomBytes(uint64_t seed, size_t size);
void WriteRandomFile(const std::string& path, uint64_t seed, size_t size);

// What a tree holds: each entry below its root (the root as "."), by
// relative path, with what a restore must bring back of it.
struct ScannedEntry {
  uint32_t type = 0;  // S_IFREG, S_IFDIR, S_IFLNK
  uint32_t mode = 0;  // permission bits
  int64_t mtimeNs = 0;
  std::string content;  // a file's bytes, a link's target
};
using TreeScan = std::map<std::string, ScannedEntry>;
TreeScan ScanTree(const std::string& root);
// The differences between two scans: entries missing on either side, and
// for each entry its kind, permission bits (not of links), modification
// time, and content or link target. With `subset`, entries `expected`
// holds may be missing from `actual`.
std::vector<std::string> CompareScans(const TreeScan& expected, const TreeScan& actual,
                                      bool subset = false);
// CompareScans of the trees at two paths.
std::vector<std::string> CompareTrees(const std::string& expected, const std::string& actual);

struct DumpRecord {
  uint64_t size = 0;
  uint32_t archiveFileId = 0;
  uint32_t lastUpdateTime = 0;
};

// Each test gets a fresh root folder and a folder for its trees.
class ToolTest : public ::testing::Test {
 protected:
  ToolTest();
  std::string Root() const { return dir_ / "root"; }
  std::string Tree(const std::string& name) const { return dir_ / name; }
  std::string CldbFolder(uint32_t app = 1, uint32_t copy = 1) const;
  std::string LogText() const;

  // `cldb <args> --root <root>`; expects `exitCode`.
  RunResult Run(const std::vector<std::string>& args, int exitCode = 0,
                const RunOptions& options = {});
  // `backup --root <root> --json --block-size 4096`, then `args`.
  std::vector<std::string> BackupArgs(const std::vector<std::string>& args) const;
  // `cldb backup --json` of `paths` with 4 KiB blocks; expects success and
  // no false hit.
  nlohmann::json Backup(const std::vector<std::string>& paths,
                        const std::vector<std::string>& extra = {});
  // `cldb --root <root> <args> --json`; expects success.
  nlohmann::json Json(const std::vector<std::string>& args);
  // `cldb storage drop-job` of `job`, and `drop-afile` of its archive file.
  void DropJob(const nlohmann::json& job);
  void DropAfile(const nlohmann::json& job);
  // The records of the CLDB's CSV dump.
  std::vector<DumpRecord> Dump(uint32_t app = 1);
  // Blocks and bytes the storage side holds for job `jobId`.
  nlohmann::json JobOnStorage(uint32_t jobId);
  // `cldb restore` of job `jobId` into a fresh folder, whose path it
  // returns; expects success.
  std::string Restore(uint32_t jobId, const std::vector<std::string>& extra = {});
  // Restores job `jobId` and expects each of `trees` (absolute paths, as
  // they were when the job backed them up) to come back as it was.
  void ExpectRestored(uint32_t jobId, const std::vector<std::string>& trees);

  cldbtest::TempDir dir_;
};

// Two trees of fresh blocks: X, two files of 9 blocks; Y, one of 6.
class TwoTreesTest : public ToolTest {
 protected:
  void SetUp() override;
  static constexpr uint64_t kX = 9;
  static constexpr uint64_t kY = 6;
};

}  // namespace tooltest
