// The I/O fault plan: which call fails, how often, and that calls of other
// kinds pass untouched.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "TestSupport.h"
#include "platform/FileIo.h"

namespace {

using namespace cldb::io;

class FileIoTest : public ::testing::Test {
 protected:
  void TearDown() override { SetFaultPlan(FaultPlan{}); }
  // Writes one byte through the door; the errno of a failure, else 0.
  int WriteOnce() {
    const int fd = Open(dir_.operator/("f").c_str(), O_WRONLY | O_CREAT, 0600);
    if (fd < 0) return errno;
    const int rc = Write(fd, "x", 1) == 1 ? 0 : errno;
    ::close(fd);
    return rc;
  }
  cldbtest::TempDir dir_;
};

TEST_F(FileIoTest, TheNthCountedCallFailsOnceOrFromThenOn) {
  const struct {
    FaultPlan plan;
    std::vector<int> errors;  // of six WriteOnce calls (open + write each)
  } cases[] = {
      {{kWrite, 2, ENOSPC, false}, {0, ENOSPC, 0, 0, 0, 0}},
      {{kWrite, 3, EIO, true}, {0, 0, EIO, EIO, EIO, EIO}},
      {{kOpen | kWrite, 4, EIO, false}, {0, EIO, 0, 0, 0, 0}},  // the second write
      {{kSync, 1, EIO, true}, {0, 0, 0, 0, 0, 0}},              // no sync made
      {{kAllOps, 0, EIO, true}, {0, 0, 0, 0, 0, 0}},            // no plan
  };
  for (const auto& c : cases) {
    SetFaultPlan(c.plan);
    std::vector<int> errors;
    for (int i = 0; i < 6; ++i) errors.push_back(WriteOnce());
    EXPECT_EQ(errors, c.errors) << "ops " << c.plan.ops << " failAt " << c.plan.failAt;
  }
}

TEST_F(FileIoTest, CountsTheCallsOfTheChosenKindsOnly) {
  SetFaultPlan({kOpen, UINT64_MAX, EIO, false});  // count, never fail
  for (int i = 0; i < 3; ++i) ASSERT_EQ(0, WriteOnce());
  EXPECT_EQ(3u, CountedCalls());
  EXPECT_EQ(0u, InjectedFailures());
  SetFaultPlan({kOpen, 2, EIO, false});
  WriteOnce();
  WriteOnce();
  EXPECT_EQ(1u, InjectedFailures());
}

}  // namespace
