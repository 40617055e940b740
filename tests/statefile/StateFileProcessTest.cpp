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
// parent's test machinery, and is killed if still running at destruction.
class Child {
 public:
  explicit Child(const std::function<void()>& body) : pid_(fork()) {
    if (pid_ == 0) {
      body();
      _exit(0);
    }
  }
  ~Child() { Kill(); }
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_;
};

// Past the time-out a reader still reads (without rewriting) and a writer
// fails, leaving the file as it was.
TEST_F(StateFileTest, LockHeldByAnotherProcessBeyondTheTimeout) {
  CreateFile();
  ASSERT_EQ(0, state_.SetState(2));
  const std::string before = Content();
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  Child holder([&] {
    MDLock lock(Folder(), ("SIDBStateFileLock_Engine_" + std::to_string(kCldbId)).c_str());
    char c = lock.set(10000) ? 'y' : 'n';
    if (write(ready[1], &c, 1) == 1) pause();  // until killed
  });
  close(ready[1]);
  char c = 0;
  ASSERT_TRUE(read(ready[0], &c, 1) == 1 && c == 'y');
  close(ready[0]);
  const unsigned int saved = CCLDBStateFile::LockTimeout();
  CCLDBStateFile::SetLockTimeout(50);
  TestNow() = kNow + 5;
  unsigned int state = 0;
  EXPECT_EQ(0, state_.GetState(state));
  EXPECT_EQ(2u, state);
  EXPECT_TRUE(log_.Contains(1, "[CCLDBStateFile::GetState] Lock failed"));
  EXPECT_TRUE(log_.Contains(1, "Cannot lock the mutex."));
  EXPECT_EQ(-1, state_.SetState(1));
  EXPECT_EQ(-1, state_.Create(kStoreId));
  EXPECT_TRUE(log_.Contains(1, "CCLDBStateFile::Create(): Lock failed"));
  EXPECT_EQ(before, Content());
  CCLDBStateFile::SetLockTimeout(saved);
  holder.Kill();
  EXPECT_EQ(0, state_.SetState(1)) << "the lock is free again";
}

bool ReadCount(int fd, unsigned long long& count) {
  return read(fd, &count, sizeof(count)) == static_cast<ssize_t>(sizeof(count));
}

// A child rewrites State.xml as fast as it can, announcing each record count
// it stored, and is killed at a random moment after a random number of
// rewrites. Whatever the moment, the file must be whole and must hold the
// last announced count or the one after it: a finished rewrite is never lost.
class CrashDuringRewrite : public StateFileTest {
 protected:
  void KillWriterRepeatedly(int rounds);
};

void CrashDuringRewrite::KillWriterRepeatedly(int rounds) {
  CreateFile();
  const unsigned int seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> rewrites(1, 3), delayUs(0, 4000);
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE(round);
    int done[2];
    ASSERT_EQ(0, pipe(done));
    Child writer([&] {
      CCLDBStateFile file;
      if (file.Initialize(kCldbId, nullptr, Folder()) != 0) return;
      for (unsigned long long i = 1;; ++i)
        if (file.SetRecordCount(i) != 0 || write(done[1], &i, sizeof(i)) != sizeof(i)) return;
    });
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
