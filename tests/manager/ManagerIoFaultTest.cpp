// I/O errors through the manager, one file call at a time, for each thing a
// host does with a CLDB: create it, open it, run a batch of inserts and
// queries, close it, compact it, dump it, change its state file. Every file
// call the operation makes through the door of platform/FileIo.h fails in
// turn (EIO, ENOSPC on the calls that write, and from the Nth call on).
// After each: the operation said it failed, the next run works (with the
// records trusted before, or with an empty CLDB made anew, never part of
// them), and no block of an archive file storage no longer vouches for is
// ever answered as found.
//
// The log stays out of the door: a log that cannot be written must never
// fail an operation. SQLite's own I/O (the tool's storage.sqlite) is not
// routed either; LMDB's is not, and reaches the engine as LMDB errors.
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "ManagerFixture.h"
#include "platform/FileIo.h"

namespace cldbtest {
namespace {

namespace fs = std::filesystem;
using cldb::io::FaultPlan;

enum class Op { kCreate, kOpen, kBatch, kClose, kCompact, kDump, kStateChange, kCount };
const char* const kOpNames[] = {"create",     "open", "batch",       "close",
                                "compaction", "dump", "state change"};

// How failures are injected in one pass over an operation.
struct Mode {
  const char* name;
  unsigned ops;
  int error;
  bool sticky;
};
const Mode kModes[] = {{"EIO", cldb::io::kAllOps, EIO, false},
                       {"ENOSPC on writes", cldb::io::kWrite | cldb::io::kSync, ENOSPC, false},
                       {"EIO from the Nth call on", cldb::io::kAllOps, EIO, true}};

const uint32_t kValidAfile = 5;  // storage vouches for it
const uint32_t kLostAfile = 6;   // storage no longer has it
const unsigned kTrusted = 8;     // blocks of kValidAfile in the CLDB before the operation
const unsigned kLost = 4;        // blocks of kLostAfile in the CLDB before the operation
const unsigned kBatch = 12;      // blocks the batch inserts

CacheRecordRef TrustedBlock(unsigned i) { return Block(1 + i, kValidAfile); }
CacheRecordRef LostBlock(unsigned i) { return Block(101 + i, kLostAfile); }
CacheRecordRef BatchBlock(unsigned i) { return Block(201 + i, i % 3 ? kValidAfile : kLostAfile); }

class ManagerIoFault : public ManagerTest {
 protected:
  void SetUp() override {
    ManagerTest::SetUp();
    ASSERT_TRUE(getcwd(cwd_, sizeof cwd_) != nullptr);
    ASSERT_EQ(0, chdir(root.path().c_str()));  // the dump goes to the working folder
  }
  void TearDown() override {
    cldb::io::SetFaultPlan(FaultPlan{});
    EXPECT_EQ(0, chdir(cwd_));
    ManagerTest::TearDown();
  }

  // The CLDB as `op` finds it: none before a creation, else a clean one
  // holding trusted and lost blocks, opened for a batch or a close.
  void Prepare(Op op) {
    manager.reset();
    batchJob_ = 0;
    fs::remove_all(Folder());
    for (const std::string& dump : Dumps()) fs::remove(dump);
    storage->SetClientDirty(12, 1);
    storage->SetValidAFiles(12, {static_cast<int>(kValidAfile)});
    if (op == Op::kCreate) return;
    std::vector<std::pair<uint32_t, CacheRecordRef>> blocks;
    for (unsigned i = 0; i < kTrusted; ++i) blocks.push_back({kT0, TrustedBlock(i)});
    for (unsigned i = 0; i < kLost; ++i) blocks.push_back({kT0, LostBlock(i)});
    MakeCleanCLDB(blocks);
    ++args.jobId;
    if (op == Op::kBatch || op == Op::kClose) InitializeOk();
    if (op == Op::kClose) {
      ASSERT_EQ(0, RunBatch());
    }
  }

  // Inserts the batch and queries it back; 0 when every block was stored
  // and found, and no lost block was answered (that counts as a failure of
  // the test, not of the batch).
  int RunBatch() {
    std::vector<CacheRecordRef> blocks;
    for (unsigned i = 0; i < kBatch; ++i) blocks.push_back(BatchBlock(i));
    batchJob_ = args.jobId;
    int failed = manager->InsertSignature(blocks.data(), static_cast<int>(blocks.size()));
    for (const CacheRecordRef& block : blocks) failed |= Answer(block) == 1 ? 0 : 1;
    ExpectNoFalseHit();
    return failed;
  }

  // Runs `op`; 0 when it reports success.
  int Run(Op op) {
    bool offline = false;
    switch (op) {
      case Op::kCreate:
      case Op::kOpen:
        return Initialize(offline);
      case Op::kBatch:
        return RunBatch();
      case Op::kClose:
        return manager->Tables().Close(false);
      case Op::kCompact:
        return CCLDBTableManager().CompactCacheTable(&log, Folder().c_str());
      case Op::kDump:
        return CCLDBTableManager().DumpCacheTable(&log, Folder().c_str());
      default:
        return ChangeState();
    }
  }

  // The state file's update paths a closed CLDB sees.
  int ChangeState() {
    CCLDBStateFile file;
    if (file.Initialize(12, &log, Folder().c_str()) != 0) return -1;
    return file.SetRecordCount(kTrusted + kLost) | file.SetLastCompactTime(kT0 + 60) |
           file.SetOwner(4242);
  }

  // No block of the lost archive file is ever found, but by the job that
  // inserted it.
  void ExpectNoFalseHit() {
    if (!manager || !manager->IsOpened()) return;
    for (unsigned i = 0; i < kLost; ++i) EXPECT_NE(1, Answer(LostBlock(i))) << "lost block " << i;
    if (args.jobId == batchJob_) return;
    for (unsigned i = 0; i < kBatch; i += 3) EXPECT_NE(1, Answer(BatchBlock(i))) << "batch " << i;
  }

  // With no more faults: whatever the operation left is closed, and the next
  // job opens the CLDB with every trusted block or with none, and with no
  // lost block. After an operation that reported success (`succeeded`), it
  // reuses the CLDB, batch included, unless the operation itself made it
  // anew (`remadeBefore`) and said so.
  void ExpectNextRunWorks(Op op, bool succeeded, bool remadeBefore) {
    // A host closes once: after a close that failed, it closes no more.
    if (manager && manager->IsOpened() && op != Op::kClose) {
      ExpectNoFalseHit();
      manager->Uninitialize(false);
    }
    manager.reset();
    ++args.jobId;
    InitializeOk();
    ExpectNoFalseHit();
    unsigned found = 0;
    for (unsigned i = 0; i < kTrusted; ++i) found += Found(TrustedBlock(i)) ? 1 : 0;
    const bool remadeNow = manager->Recreated() != cldb::RecreateReason::kNone;
    if (succeeded) {
      EXPECT_FALSE(remadeNow) << "a reported success left a CLDB the next job cannot use";
    }
    const bool remade = remadeBefore || remadeNow;
    if (op != Op::kCreate) {
      EXPECT_EQ(remade ? 0u : kTrusted, found) << "recreated " << remade;
    }
    if (!remade && succeeded && (op == Op::kBatch || op == Op::kClose)) {
      for (unsigned i = 1; i < kBatch; i += 3) EXPECT_TRUE(Found(BatchBlock(i))) << i;
    }
    EXPECT_EQ(0, manager->Uninitialize(false));
    EXPECT_EQ(2u, StoredState(Folder(), 12));
    manager.reset();
  }

  // What an operation that reported success despite a failed call must
  // still have done in full (the rest ExpectNextRunWorks checks).
  void ExpectDone(Op op) {
    if (op == Op::kCreate || op == Op::kOpen) {
      EXPECT_TRUE(manager->IsOpened());
    } else if (op == Op::kDump) {
      std::vector<std::string> dumps = Dumps();
      ASSERT_EQ(1u, dumps.size());
      const std::string text = ReadFile(dumps[0]);
      EXPECT_EQ(1 + kTrusted + kLost, std::count(text.begin(), text.end(), '\n'));
    } else if (op == Op::kStateChange) {
      EXPECT_EQ(kTrusted + kLost,
                StoredValue<unsigned long long>(Folder(), 12, &CCLDBStateFile::GetRecordCount));
      EXPECT_EQ(kT0 + 60,
                StoredValue<unsigned int>(Folder(), 12, &CCLDBStateFile::GetLastCompactTime));
      EXPECT_EQ(4242u, StoredValue<unsigned long long>(Folder(), 12, &CCLDBStateFile::GetOwner));
    }
  }

  // The dumps in the working folder.
  std::vector<std::string> Dumps() const {
    std::vector<std::string> dumps;
    for (const auto& entry : fs::directory_iterator(root.path()))
      if (entry.path().filename().string().rfind("CLDBDump_", 0) == 0)
        dumps.push_back(entry.path());
    return dumps;
  }

  // Every injection point of `op` under `mode`, every `stride`th one when
  // `stride` > 1; the number of points run.
  uint64_t Loop(Op op, const Mode& mode, uint64_t stride) {
    Prepare(op);
    cldb::io::SetFaultPlan(FaultPlan{mode.ops, UINT64_MAX, mode.error, false});
    EXPECT_EQ(0, Run(op)) << "the operation fails with no fault";
    const uint64_t calls = cldb::io::CountedCalls();
    cldb::io::SetFaultPlan(FaultPlan{});
    // LMDB writes and syncs its own file: a batch makes no call through the
    // door, and its failures are the engine's tests' to inject.
    EXPECT_EQ(op == Op::kBatch, calls == 0) << calls << " calls";
    uint64_t points = 0, tolerated = 0, remadeCount = 0;
    for (uint64_t n = 1; n <= calls && !HasFailure(); n += stride) {
      SCOPED_TRACE(::testing::Message() << kOpNames[static_cast<int>(op)] << ", " << mode.name
                                        << ", call " << n << " of " << calls << " fails");
      Prepare(op);
      cldb::io::SetFaultPlan(FaultPlan{mode.ops, n, mode.error, mode.sticky});
      int rc;
      {
        LogCapture quiet(nullptr);
        rc = Run(op);
      }
      const uint64_t injected = cldb::io::InjectedFailures();
      cldb::io::SetFaultPlan(FaultPlan{});
      EXPECT_GE(injected, 1u) << "no call failed";
      // A failure passed by must have done no harm: the operation did all
      // it should (an open may have taken the failure for damage and made
      // the CLDB anew, and said so).
      bool remade = false;
      if (rc == 0) {
        ++tolerated;
        ExpectDone(op);
        remade = (op == Op::kCreate || op == Op::kOpen) &&
                 manager->Recreated() != cldb::RecreateReason::kNone;
        remadeCount += remade ? 1 : 0;
      } else if (op == Op::kDump && !mode.sticky) {
        EXPECT_TRUE(Dumps().empty()) << "a failed dump left its file";
      }
      ExpectNextRunWorks(op, rc == 0, remade);
      ++points;
    }
    printf("%-13s %-25s %3llu calls, %3llu injection points, %llu passed by (%llu made anew)\n",
           kOpNames[static_cast<int>(op)], mode.name, static_cast<unsigned long long>(calls),
           static_cast<unsigned long long>(points), static_cast<unsigned long long>(tolerated),
           static_cast<unsigned long long>(remadeCount));
    return points;
  }

  // Every operation in every mode; every `stride`th point of EIO, every
  // `stickyStride`th of the sticky mode, every point of ENOSPC.
  void LoopAll(uint64_t stride, uint64_t stickyStride) {
    uint64_t points = 0;
    for (int op = 0; op < static_cast<int>(Op::kCount) && !HasFailure(); ++op)
      for (const Mode& mode : kModes)
        points += Loop(static_cast<Op>(op), mode,
                       mode.sticky         ? stickyStride
                       : mode.error == EIO ? stride
                                           : 1);
    printf("%llu injection points\n", static_cast<unsigned long long>(points));
    RecordProperty("injection_points", static_cast<int>(points));
  }

 private:
  char cwd_[4096];
  unsigned long long batchJob_ = 0;  // the job that ran the batch
};

// Every other call fails once with EIO, every writing call once with
// ENOSPC, every eighth call and all after it with EIO: each call syncs, so
// the whole of it is the stress variant's.
TEST_F(ManagerIoFault, FailedFileCallsAreReportedAndLeaveTheTrustedRecordsOrNone) { LoopAll(2, 8); }

TEST_F(ManagerIoFault, StressEveryFailedFileCallAndEveryOneAfterIt) { LoopAll(1, 1); }

}  // namespace
}  // namespace cldbtest
