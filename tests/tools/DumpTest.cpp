// End-to-end: `cldb dump` never harms the CLDB it reads (whatever signal ends
// it) and never writes through a name someone planted.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <thread>

#include "ToolHarness.h"

namespace tooltest {
namespace {

namespace fs = std::filesystem;

class DumpTest : public ToolTest {
 protected:
  // 4096 blocks: a dump that takes long enough to be caught in the middle.
  void SetUp() override {
    for (int i = 0; i < 4; ++i)
      WriteRandomFile(Tree("z") + "/z" + std::to_string(i), 70 + i, 1024 * kBlock);
    ASSERT_EQ(Backup({Tree("z")})["misses"], kZ);
  }
  static constexpr uint64_t kZ = 4096;
  std::string Out() const { return dir_ / "out"; }
};

TEST_F(DumpTest, AnInterruptedDumpLeavesTheCldbAsItWas) {
  fs::create_directories(Out());
  for (int sig : {SIGINT, SIGTERM, SIGKILL}) {
    for (int delayMs : {0, 2, 5, 10, 20}) {
      SCOPED_TRACE(std::to_string(sig) + " after " + std::to_string(delayMs) + " ms");
      Child dump({"dump", CldbFolder(), "-o", Out()}, dir_.path());
      std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
      dump.Signal(sig);
      dump.Finish();
    }
  }
  const nlohmann::json next = Backup({Tree("z")});
  EXPECT_EQ(next["hits"], kZ);
  EXPECT_EQ(LogText().find("not closed cleanly"), std::string::npos);
}

TEST_F(DumpTest, APlantedLinkIsNotFollowedAndNoDumpReplacesAnother) {
  fs::create_directories(Out());
  cldbtest::WriteFile(dir_ / "victim", "keep");
  const long now = static_cast<long>(time(nullptr));
  for (long t = now; t < now + 5; ++t)
    fs::create_symlink(dir_ / "victim", Out() + "/CLDBDump_" + std::to_string(t) + ".csv");
  for (int i = 0; i < 2; ++i) {
    const RunResult dump = RunTool({"dump", CldbFolder(), "-o", Out()});
    ASSERT_EQ(dump.exitCode, 0) << dump.err;
  }
  EXPECT_TRUE(cldbtest::ReadFile(dir_ / "victim") == "keep");
  int dumps = 0;
  for (const auto& entry : fs::directory_iterator(Out())) {
    if (fs::is_symlink(entry.symlink_status())) continue;
    ++dumps;
    EXPECT_EQ(entry.status().permissions(), fs::perms::owner_read | fs::perms::owner_write);
    const std::string text = cldbtest::ReadFile(entry.path());
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), static_cast<long>(kZ + 1));
  }
  EXPECT_EQ(dumps, 2);
}

}  // namespace
}  // namespace tooltest
