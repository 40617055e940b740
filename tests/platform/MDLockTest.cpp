#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ScopedEnv.h"
#include "TestSupport.h"
#include "platform/MDLock.h"

namespace {

// A child process that takes the lock `name`, reports it through a pipe and
// then holds it until it is killed.
class LockHolder {
 public:
  explicit LockHolder(const std::string& name) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[0]);
      MDLock lock(name.c_str());
      char ok = lock.set(5000) ? 'y' : 'n';
      if (write(fds[1], &ok, 1) != 1) _exit(2);
      for (;;) pause();
    }
    close(fds[1]);
    char ok = 0;
    held_ = pid_ > 0 && read(fds[0], &ok, 1) == 1 && ok == 'y';
    close(fds[0]);
  }
  ~LockHolder() { Kill(); }
  bool held() const { return held_; }
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  bool held_ = false;
};

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* e = readdir(dir))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
        names.push_back(e->d_name);
    closedir(dir);
  }
  return names;
}

TEST(MDLock, TimesOutWhileOtherProcessHoldsItAndUnsetLeavesItHeld) {
  LockHolder child("MDLockTest_Process");
  ASSERT_TRUE(child.held());
  MDLock loser("MDLockTest_Process");
  ASSERT_TRUE(loser.IsValid()) << loser.Error();
  EXPECT_FALSE(loser.set(30));
  EXPECT_FALSE(loser.isHeld());
  loser.unset();  // not the holder: must change nothing
  MDLock probe("MDLockTest_Process");
  EXPECT_FALSE(probe.set(10));
}

TEST(MDLock, HolderKilledDuringTheWaitHandsItOver) {
  LockHolder child("MDLockTest_Killed");
  ASSERT_TRUE(child.held());
  MDLock lock("MDLockTest_Killed");
  std::thread killer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    child.Kill();
  });
  EXPECT_TRUE(lock.set(20000));  // must keep trying, not give up after one look
  EXPECT_TRUE(lock.isHeld());
  killer.join();
}

TEST(MDLock, TwoObjectsInOneProcessExcludeEachOther) {
  MDLock first("MDLockTest_InProcess");
  MDLock second("MDLockTest_InProcess");
  ASSERT_TRUE(first.set(0));
  EXPECT_FALSE(second.set(10));
  second.unset();
  EXPECT_FALSE(MDLock("MDLockTest_InProcess").set(0));
  first.unset();
  EXPECT_FALSE(first.isHeld());
  EXPECT_TRUE(second.set(0));
}

TEST(MDLock, PrivateFolderAndSafeFileName) {
  cldbtest::TempDir dir;
  ScopedEnv env("CLDB_LOCK_DIR", (dir / "a/locks").c_str());
  MDLock lock("../escape/a b");
  ASSERT_TRUE(lock.IsValid()) << lock.Error();
  EXPECT_EQ(FolderEntries(dir / "a/locks"), std::vector<std::string>{".._escape_a_b.lock"});
  EXPECT_EQ(FolderEntries(dir / "a"), std::vector<std::string>{"locks"});
  struct stat st;
  ASSERT_EQ(stat((dir / "a/locks").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(MDLock, RefusesSymlinkedLockFolder) {
  cldbtest::TempDir dir;
  ASSERT_EQ(mkdir((dir / "real").c_str(), 0700), 0);
  ASSERT_EQ(symlink((dir / "real").c_str(), (dir / "link").c_str()), 0);
  ScopedEnv env("CLDB_LOCK_DIR", (dir / "link").c_str());
  MDLock lock("MDLockTest_Symlink");
  EXPECT_FALSE(lock.IsValid());
  EXPECT_FALSE(lock.set(0));
  EXPECT_NE(lock.Error().find("symbolic link"), std::string::npos) << lock.Error();
  EXPECT_TRUE(FolderEntries(dir / "real").empty());
}

TEST(MDLock, RefusesLockFolderOpenToOthers) {
  cldbtest::TempDir dir;
  ASSERT_EQ(mkdir((dir / "open").c_str(), 0700), 0);
  ASSERT_EQ(chmod((dir / "open").c_str(), 0777), 0);
  ScopedEnv env("CLDB_LOCK_DIR", (dir / "open").c_str());
  MDLock lock("MDLockTest_Open");
  EXPECT_FALSE(lock.IsValid());
  EXPECT_FALSE(lock.set(0));
  EXPECT_NE(lock.Error().find("open to other users"), std::string::npos) << lock.Error();
}

}  // namespace
