// What the process's environment points at: the lock folder of MDLock and
// the configuration file of ZelPlatformInfo.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "TestSupport.h"
#include "platform/MDLock.h"
#include "platform/ZelPlatformInfo.h"

namespace {

// Sets (for a null value, unsets) an environment variable for its lifetime.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnv() { old_ ? setenv(name_.c_str(), old_->c_str(), 1) : unsetenv(name_.c_str()); }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// While a child process holds the lock, set times out and unset changes nothing;
// a holder killed during a wait hands the lock over. (The child lives a minute at most.)
TEST(MDLock, WaitsForAnotherProcessAndGetsItWhenTheHolderDies) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  if (child == 0) {
    MDLock lock("MDLockTest_Process");
    char held = lock.set(5000) ? 'y' : 'n';
    if (write(fds[1], &held, 1) == 1) sleep(60);
    _exit(0);
  }
  close(fds[1]);
  char held = 0;
  ASSERT_TRUE(child > 0 && read(fds[0], &held, 1) == 1 && held == 'y');
  close(fds[0]);
  MDLock loser("MDLockTest_Process");
  EXPECT_FALSE(loser.set(30));
  loser.unset();
  EXPECT_FALSE(MDLock("MDLockTest_Process").set(10));
  std::thread killer([child] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  });
  EXPECT_TRUE(loser.set(20000));  // must keep trying, not give up after one look
  killer.join();
}

TEST(MDLock, PrivateFolderSafeFileNameAndTwoObjectsInOneProcessExclude) {
  cldbtest::TempDir dir;
  ScopedEnv env("CLDB_LOCK_DIR", (dir / "a/locks").c_str());
  MDLock first("../escape/a b"), second("../escape/a b");
  ASSERT_TRUE(first.IsValid()) << first.Error();
  EXPECT_TRUE(std::filesystem::exists(dir / "a/locks/.._escape_a_b.lock"));
  EXPECT_EQ(std::filesystem::status(dir / "a/locks").permissions(),
            std::filesystem::perms::owner_all);
  ASSERT_TRUE(first.set(0));
  EXPECT_FALSE(second.set(10));
  first.unset();
  EXPECT_TRUE(second.set(0));
}

TEST(MDLock, RefusesALockFolderOthersCouldReach) {
  cldbtest::TempDir dir;
  ASSERT_EQ(mkdir((dir / "real").c_str(), 0700), 0);
  ASSERT_EQ(symlink((dir / "real").c_str(), (dir / "link").c_str()), 0);
  ASSERT_EQ(mkdir((dir / "open").c_str(), 0700), 0);
  ASSERT_EQ(chmod((dir / "open").c_str(), 0777), 0);
  for (auto [folder, why] : {std::pair{"link", "symbolic link"}, {"open", "open to other users"}}) {
    ScopedEnv env("CLDB_LOCK_DIR", (dir / folder).c_str());
    MDLock lock("MDLockTest_Refused");
    EXPECT_FALSE(lock.set(0));
    EXPECT_NE(lock.Error().find(why), std::string::npos) << lock.Error();
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir / "real"));
}

// Points the configuration at a file of the test's own.
class PlatformInfoTest : public ::testing::Test {
 protected:
  void TearDown() override { ZelPlatformInfo::Reload(); }
  void UseConfig(const std::string& content) {
    cldbtest::WriteFile(dir_ / "cldb.conf", content);
    ZelPlatformInfo::Reload();
  }
  // The number read; nullopt when absent, which must leave the value alone.
  static std::optional<unsigned long> Number(const char* section, const char* key) {
    unsigned long value = 12345;
    if (ZelPlatformInfo::getNumber(section, key, &value)) return value;
    EXPECT_EQ(value, 12345ul) << key;
    return std::nullopt;
  }

  cldbtest::TempDir dir_;
  ScopedEnv env_{"CLDB_CONFIG", (dir_ / "cldb.conf").c_str()};
};

TEST_F(PlatformInfoTest, ParsesSectionsCommentsAndHex) {
  UseConfig("# a comment\n; another\n[Courier]\n  CLDBCtreeBufferCount = 2500  \n"
            "CLDBCtreeNodeSize=0x10\n#CLDBCompactIntervalDays = 99\nWord = twelve\n"
            "[Warden]\nCLDBCtreeBufferCount = 7\n");
  EXPECT_EQ(Number("Courier", "CLDBCtreeBufferCount"), 2500ul);
  EXPECT_EQ(Number("Courier", "CLDBCtreeNodeSize"), 16ul);
  EXPECT_EQ(Number("Warden", "CLDBCtreeBufferCount"), 7ul);
  std::string text;
  ASSERT_NE(ZelPlatformInfo::getString("Courier", "Word", text), 0);
  EXPECT_EQ(text, "twelve");
  EXPECT_EQ(Number("Courier", "CLDBCompactIntervalDays"), std::nullopt);
  EXPECT_EQ(Number("courier", "CLDBCtreeNodeSize"), std::nullopt);
  EXPECT_EQ(Number("Courier", "Word"), std::nullopt);  // not a number
}

TEST_F(PlatformInfoTest, RootFolderResolutionOrder) {
  UseConfig("[CLDBRootFolders]\njobs = /data/jobs-cldb\n[CLDB]\nRootFolder = /data/default\n");
  ZelPlatformInfo info;
  std::string folder;
  for (auto [key, expected] : {std::pair{"jobs", "/data/jobs-cldb"}, {"/explicit", "/explicit"},
                               {"unknown", "/data/default"}}) {
    ASSERT_EQ(info.GetCLDBRootFolder(key, folder), 0);
    EXPECT_EQ(folder, expected);
  }
  UseConfig("");  // nothing configured: the user's data folder
  ScopedEnv data("XDG_DATA_HOME", "/xdg/data");
  ASSERT_EQ(info.GetCLDBRootFolder("", folder), 0);
  EXPECT_EQ(folder, "/xdg/data/cldb");
}

}  // namespace
