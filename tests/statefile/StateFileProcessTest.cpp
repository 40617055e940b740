// The state file against other processes: a holder of its named lock, and a
// writer killed at random moments.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <random>
#include <string>

#include "StateFileFixture.h"
#include "platform/MDLock.h"

namespace cldbtest {
namespace {

// A forked child running `body`; it ends with _exit so it never runs the
// parent's test machinery.
class Child {
 public:
  explicit Child(const std::function<void()>& body) {
    pid_ = fork();
    if (pid_ == 0) {
      body();
      _exit(0);
    }
  }
  ~Child() {
    if (pid_ > 0) Kill();
  }
  bool started() const { return pid_ > 0; }
  void Kill() {
    kill(pid_, SIGKILL);
    Wait();
  }
  int Wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_;
};

class LockTimeout {
 public:
  explicit LockTimeout(unsigned int ms) : saved_(CCLDBStateFile::LockTimeout()) {
    CCLDBStateFile::SetLockTimeout(ms);
  }
  ~LockTimeout() { CCLDBStateFile::SetLockTimeout(saved_); }

 private:
  unsigned int saved_;
};

using LockedByOtherProcess = StateFileTest;

TEST_F(LockedByOtherProcess, ReaderReadsAndWriterFailsLeavingTheFile) {
  CreateFile();
  ASSERT_EQ(0, state_.SetState(2));
  const std::string before = Content();

  int ready[2], release[2];
  ASSERT_EQ(0, pipe(ready));
  ASSERT_EQ(0, pipe(release));
  Child holder([&] {
    close(release[1]);  // else the read below never sees the parent close
    close(ready[0]);
    MDLock lock(("SIDBStateFileLock_Engine_" + std::to_string(kCldbId)).c_str());
    char c = lock.set(10000) ? 'y' : 'n';
    if (write(ready[1], &c, 1) != 1) return;
    read(release[0], &c, 1);  // returns when the parent closes its end
  });
  ASSERT_TRUE(holder.started());
  close(release[0]);
  char c = 0;
  ASSERT_EQ(1, read(ready[0], &c, 1));
  ASSERT_EQ('y', c);

  {
    LockTimeout shortWait(50);
    unsigned int state = 0;
    EXPECT_EQ(0, state_.GetState(state));
    EXPECT_EQ(2u, state);
    EXPECT_TRUE(log_.Contains(1, "[CCLDBStateFile::GetState] Lock failed"));
    EXPECT_TRUE(log_.Contains(1, "Cannot lock the mutex."));

    EXPECT_EQ(-1, state_.SetState(1));
    EXPECT_TRUE(log_.Contains(1, "[CCLDBStateFile::SetState] Lock failed"));
    EXPECT_EQ(-1, state_.Create(kStoreId));
    EXPECT_TRUE(log_.Contains(1, "Lock failed"));
    EXPECT_EQ(before, Content());
  }

  close(release[1]);
  EXPECT_EQ(0, holder.Wait());
  close(ready[0]);
  close(ready[1]);
  EXPECT_EQ(0, state_.SetState(1)) << "the lock is free again";
}

// Reads one announced record count; false at end of file.
bool ReadCount(int fd, unsigned long long& count) {
  return read(fd, &count, sizeof(count)) == static_cast<ssize_t>(sizeof(count));
}

// A child rewrites State.xml as fast as it can, announcing each record count
// it stored, and is killed at a random moment after a random number of
// rewrites. Whatever the moment, the file must be whole and must hold the
// last announced count or the one after it: a finished rewrite is never
// lost.
class CrashDuringRewrite : public StateFileTest {
 protected:
  void KillWriterRepeatedly(int rounds);
};

void CrashDuringRewrite::KillWriterRepeatedly(int rounds) {
  CreateFile();
  std::random_device seed;
  const unsigned int seedValue = seed();
  SCOPED_TRACE("seed " + std::to_string(seedValue));
  std::mt19937 random(seedValue);
  std::uniform_int_distribution<int> rewrites(1, 3);
  std::uniform_int_distribution<int> delayUs(0, 4000);

  const std::string folder = Folder();
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE(round);
    int done[2];
    ASSERT_EQ(0, pipe(done));
    Child writer([&] {
      close(done[0]);
      CCLDBStateFile file;
      if (file.Initialize(kCldbId, nullptr, folder.c_str()) != 0) return;
      for (unsigned long long i = 1;; ++i) {
        if (file.SetRecordCount(i) == 0 && write(done[1], &i, sizeof(i)) != sizeof(i)) return;
      }
    });
    ASSERT_TRUE(writer.started());
    close(done[1]);
    unsigned long long announced = 0;
    for (int n = rewrites(random); n > 0; --n) ASSERT_TRUE(ReadCount(done[0], announced));
    usleep(delayUs(random));
    writer.Kill();
    for (unsigned long long later; ReadCount(done[0], later);) announced = later;
    close(done[0]);

    ASSERT_EQ(0, state_.CheckStatefileSanity()) << Content();
    ASSERT_EQ(0, state_.Open()) << Content();
    unsigned long long stored = 0;
    EXPECT_EQ(0, state_.GetElementText("RECORDCOUNT", stored));
    EXPECT_EQ(0, state_.Close());
    EXPECT_GE(stored, announced);
    EXPECT_LE(stored, announced + 1);
  }
}

TEST_F(CrashDuringRewrite, NeverLeavesADamagedFile) { KillWriterRepeatedly(30); }

TEST_F(CrashDuringRewrite, StressNeverLeavesADamagedFile) { KillWriterRepeatedly(500); }

}  // namespace
}  // namespace cldbtest
