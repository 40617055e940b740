// Where the process's environment points MDLock's private lock folder, and
// the folder form of the lock that does not depend on it.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "TestSupport.h"
#include "platform/MDLock.h"

namespace {

using cldbtest::ScopedEnv;

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
  ScopedEnv relative("CLDB_LOCK_DIR", "a/locks");  // another folder in every working folder
  EXPECT_EQ(MDLock::LockFolder().find("a/locks"), std::string::npos) << MDLock::LockFolder();
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

// The folder form is met whatever the environment says, and a lock file
// that someone else could have put in place is never followed, waited on or
// used; one open to others is narrowed.
TEST(MDLock, FolderFormIsSharedWhateverTheEnvironmentAndRefusesWhatOthersCouldHold) {
  cldbtest::TempDir dir;
  const char* folder = dir.path().c_str();
  MDLock first(folder, "L");
  {
    ScopedEnv lockDir("CLDB_LOCK_DIR", (dir / "elsewhere").c_str());
    ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr);
    MDLock second(folder, "L");
    ASSERT_TRUE(first.set(0)) << first.Error();
    EXPECT_FALSE(second.set(0));
  }
  cldbtest::WriteFile(dir / "victim", "keep");
  ASSERT_EQ(symlink((dir / "victim").c_str(), (dir / "link.lock").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "fifo.lock").c_str(), 0600), 0);
  ASSERT_EQ(mkdir((dir / "folder.lock").c_str(), 0700), 0);
  cldbtest::WriteFile(dir / "foreign.lock", "");
  ASSERT_EQ(chown((dir / "foreign.lock").c_str(), cldbtest::kNobody, cldbtest::kNobody), 0);
  for (auto [name, why] : {std::pair{"link", "symbolic links"},
                           {"fifo", "not a regular file"},
                           {"folder", "directory"},
                           {"foreign", "belongs to another user"}}) {
    MDLock lock(folder, name);
    EXPECT_FALSE(lock.set(0)) << name;
    EXPECT_NE(lock.Error().find(why), std::string::npos) << lock.Error();
  }
  EXPECT_EQ(cldbtest::ReadFile(dir / "victim"), "keep");

  cldbtest::WriteFile(dir / "wide.lock", "");
  ASSERT_EQ(chmod((dir / "wide.lock").c_str(), 0666), 0);
  EXPECT_TRUE(MDLock(folder, "wide").set(0));
  EXPECT_EQ(std::filesystem::status(dir / "wide.lock").permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  ASSERT_EQ(symlink(folder, (dir / "linked").c_str()), 0);
  EXPECT_FALSE(MDLock((dir / "linked").c_str(), "L").IsValid());
}

}  // namespace
