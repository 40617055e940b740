// End-to-end: what a backup reads of trees that change under it, and what
// reading costs: a folder swapped for a link is never followed, a file is
// read up to the size it had when opened, and the memory stays bounded
// whatever the flags.

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>

#include "ToolHarness.h"

namespace tooltest {
namespace {

// Runs `action` on a thread of its own as soon as some process opens `path`
// (an inotify event), at most once; the tool's progress through a tree is
// thereby a fixed point at which the test changes the tree.
class OnOpen {
 public:
  OnOpen(const std::string& path, std::function<void()> action) : action_(std::move(action)) {
    fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd_ < 0 || inotify_add_watch(fd_, path.c_str(), IN_OPEN) < 0) {
      ADD_FAILURE() << "cannot watch " << path;
      return;
    }
    thread_ = std::thread([this] { Watch(); });
  }
  ~OnOpen() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
  }
  bool Fired() const { return fired_; }

 private:
  void Watch() {
    while (!stop_) {
      struct pollfd ready = {fd_, POLLIN, 0};
      if (poll(&ready, 1, 10) <= 0) continue;
      fired_ = true;
      action_();
      return;
    }
  }

  std::function<void()> action_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<bool> fired_{false};
  std::thread thread_;
};

class TreeInputTest : public ToolTest {
 protected:
  // Replaces the folder `folder` by a symbolic link to `target`, keeping the
  // folder itself at `aside`.
  static void SwapForLink(const std::string& folder, const std::string& aside,
                          const std::string& target) {
    if (std::rename(folder.c_str(), aside.c_str()) != 0 ||
        symlink(target.c_str(), folder.c_str()) != 0)
      ADD_FAILURE() << "cannot swap " << folder;
  }
};

// A folder of the tree is swapped for a link to a folder outside it while
// the backup runs: before it was listed, the walk skips it as the link it
// now is; after, the walk goes on in the folder it listed. Nothing from
// outside is read either way.
TEST_F(TreeInputTest, AFolderSwappedForALinkIsNeverFollowed) {
  const uint64_t kLarge = 4096;  // blocks of the file whose opening triggers the swap
  struct Case {
    const char* what;
    const char* trigger;  // the swap happens when this file is opened
    uint64_t files;
    uint64_t blocks;
    uint64_t skipped;
  };
  // t/a: kLarge blocks, t/b: 8, t/sub/f0: kLarge, t/sub/f1..f3: 8 each.
  const Case cases[] = {
      {"before its listing", "a", 2, kLarge + 8, 1},
      {"after its listing", "sub/f0", 6, kLarge + 8 + kLarge + 3 * 8, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string tree = Tree(std::string("t-") + c.trigger[0]);
    WriteRandomFile(tree + "/a", 1, kLarge * kBlock);
    WriteRandomFile(tree + "/b", 2, 8 * kBlock);
    WriteRandomFile(tree + "/sub/f0", 3, kLarge * kBlock);
    for (int i = 1; i <= 3; ++i)
      WriteRandomFile(tree + "/sub/f" + std::to_string(i), 3 + i, 8 * kBlock);
    const std::string outside = Tree(std::string("outside-") + c.trigger[0]);
    for (int i = 0; i < 20; ++i)
      WriteRandomFile(outside + "/f" + std::to_string(i), 100 + i, 3 * kBlock);

    nlohmann::json job;
    {
      OnOpen swap(tree + "/" + c.trigger,
                  [&] { SwapForLink(tree + "/sub", tree + "-aside", outside); });
      job = Backup({tree}, {"--threads", "1"});
      ASSERT_TRUE(swap.Fired());
    }
    EXPECT_EQ(job["files"], c.files);
    EXPECT_EQ(job["blocks"], c.blocks);
    EXPECT_EQ(job["skipped"], c.skipped);
  }
}

// The file grows (sparsely, fast) from the moment the backup opens it; the
// backup reads what the file held then and ends.
TEST_F(TreeInputTest, AGrowingFileIsReadUpToItsSizeWhenOpened) {
  const uint64_t kBlocks = 4096;
  const std::string file = Tree("t") + "/growing";
  WriteRandomFile(file, 7, kBlocks * kBlock);
  std::atomic<bool> stop{false};
  std::thread grower;
  RunResult result;
  {
    OnOpen start(file, [&] {
      grower = std::thread([&] {
        const int fd = open(file.c_str(), O_WRONLY | O_CLOEXEC);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        for (off_t size = kBlocks * kBlock; !stop && size < (off_t{1} << 40); size += 64 << 20) {
          if (ftruncate(fd, size) != 0) break;
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        close(fd);
      });
    });
    RunOptions options;
    options.timeoutSeconds = 30;
    result = RunTool(BackupArgs({"--threads", "1", Tree("t")}), options);
    stop = true;
  }
  if (grower.joinable()) grower.join();
  ASSERT_EQ(result.exitCode, 0) << result.err;
  const nlohmann::json job = result.Json();
  // What it held when opened: its size before the growth, unless the growth
  // beat the tool from its open to its look at the size.
  EXPECT_GE(job["bytes"].get<uint64_t>(), kBlocks * kBlock);
  EXPECT_LE(job["bytes"].get<uint64_t>(), kBlocks * kBlock + (256u << 20));
  EXPECT_EQ(job["blocks"].get<uint64_t>() * kBlock, job["bytes"].get<uint64_t>());
}

// Sixty-four threads of 64 MiB blocks over a small tree: the read buffers
// follow what is read and the threads what the memory bound allows.
TEST_F(TreeInputTest, MemoryStaysBoundedWhateverTheFlags) {
  for (int i = 0; i < 100; ++i)
    WriteRandomFile(Tree("t") + "/f" + std::to_string(i), 200 + i, 32 * kBlock);
  WriteRandomFile(Tree("t") + "/large", 300, 72 << 20);
  const RunResult result = Run({"backup", "--json", "--threads", "64", "--block-size", "64M",
                                "--batch", "65536", Tree("t")});
  EXPECT_EQ(result.Json()["files"], 101);
  // The sanitizers' shadow memory comes on top of what the tool uses.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  const long kBoundKiB = 3 * 512 * 1024;
#else
  const long kBoundKiB = 512 * 1024;
#endif
  EXPECT_LT(result.maxRssKiB, kBoundKiB) << "peak resident memory in KiB";
}

}  // namespace
}  // namespace tooltest
