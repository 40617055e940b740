// The group: batches share one write transaction until it commits -- when
// another thread takes the table, when it is old, on request, at close --
// and the locks that keep sessions of other processes apart.
#include <thread>

#include "EngineFixture.h"

namespace enginetest {
namespace {

using EngineGroup = EngineTest;

// Batches of one thread share a commit; a batch on another thread commits
// what the first left pending and begins its own group, which the first
// thread in turn commits when it takes the table back.
TEST_F(EngineGroup, BatchesShareACommitUntilAnotherThreadTakesTheTable) {
  ASSERT_EQ(0, table.close());
  const size_t start = RawChange(base + ".dat");
  ASSERT_EQ(0, table.open(ZelIndexing::kReadWrite));
  for (uint64_t tag = 1; tag <= 3; ++tag) {
    cldb::TCtreeBatch batch(table);
    Add(1, 1, tag);
    ASSERT_EQ(0, batch.Commit());
  }
  std::thread other([&] {
    cldb::TCtreeBatch batch(table);  // commits the three, as one
    Add(2, 2, 4);
    EXPECT_EQ(0, batch.Commit());
  });
  other.join();
  EXPECT_EQ((Tags{1, 2, 3}), Walk(table, kCrc, 1));  // commits the other thread's
  EXPECT_EQ((Tags{4}), Walk(table, kCrc, 2));
  ASSERT_EQ(0, table.CommitPending());
  ASSERT_EQ(0, table.BeginBatch());
  EXPECT_EQ(TCT_BATCH, table.CommitPending());  // not inside a batch
  ASSERT_EQ(0, table.EndBatch(true));
  ASSERT_EQ(0, table.close());
  EXPECT_EQ(start + 2, RawChange(base + ".dat"));
}

TEST_F(EngineGroup, AnOldGroupCommitsWhenABatchEnds) {
  ASSERT_EQ(0, table.close());
  const size_t start = RawChange(base + ".dat");
  ASSERT_EQ(0, table.open(ZelIndexing::kReadWrite));
  for (uint64_t tag = 1; tag <= 2; ++tag) {
    if (tag == 2) usleep(2100 * 1000);
    cldb::TCtreeBatch batch(table);
    Add(1, 1, tag);
    ASSERT_EQ(0, batch.Commit());
  }
  // The file already holds both batches, in one commit.
  EXPECT_EQ(start + 1, RawChange(base + ".dat"));
  ASSERT_EQ(0, table.close());
}

// A session for changes locks the file against every other session of any
// process; read-only sessions share it with one another. LMDB keeps no
// lock file. (The writer, killed, leaves the table refused.)
TEST_F(EngineGroup, ASessionForChangesKeepsOtherProcessesOut) {
  Add(1, 1, 1);
  ASSERT_EQ(0, table.close());
  for (const auto access : {ZelIndexing::kReadOnly, ZelIndexing::kReadWrite}) {
    SCOPED_TRACE(access == ZelIndexing::kReadWrite ? "child changes" : "child reads");
    int childRc = -1;
    const pid_t child = HoldOpen(base, access, childRc);
    ASSERT_EQ(0, childRc);
    EXPECT_EQ(TCT_BUSY, table.open(ZelIndexing::kReadWrite));
    EXPECT_EQ(access == ZelIndexing::kReadWrite ? TCT_BUSY : 0, table.open(ZelIndexing::kReadOnly));
    EXPECT_EQ(0, table.close());
    kill(child, SIGKILL);
    EXPECT_TRUE(KilledBySigkill(child));
  }
  EXPECT_EQ(TCT_CORRUPT, table.open(ZelIndexing::kReadOnly));
  EXPECT_FALSE(Exists(base + ".dat-lock"));
}

}  // namespace
}  // namespace enginetest
