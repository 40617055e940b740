// One instance shared by the job's thread (query and insert batches) and a
// pruning thread (passes and statistics reads), for a few seconds.
#include <chrono>
#include <thread>

#include "InstanceFixture.h"
#include "platform/TkSleep.h"

namespace cldbtest {
namespace {

// StopPruning's waits, shortened from 1000 ms.
void ShortSleep(unsigned int) { std::this_thread::sleep_for(std::chrono::milliseconds(5)); }

class InstanceStress : public InstanceTest {
 protected:
  static constexpr int kBatch = 20;
  static constexpr unsigned kOldFiles = 20;
  static constexpr unsigned kBlocksPerOldFile = 10;

  void SetUp() override {
    InstanceTest::SetUp();
    TkSetSleepHook(&ShortSleep);
    OpenInstance();
    // Old files that nobody vouches for: a pass that is not stopped prunes them.
    for (unsigned f = 1; f <= kOldFiles; ++f) {
      std::vector<CacheRecordRef> old;
      for (unsigned i = 0; i < kBlocksPerOldFile; ++i) old.push_back(Block(f * 1000 + i, f));
      InsertAt(config.backupStart - 1000, old);
    }
    std::vector<int> valid;
    for (int id = 100; id < 200; ++id) valid.push_back(id);
    tables->SetValidAFileList(valid.data(), static_cast<int>(valid.size()));
    TestNow() = config.backupStart + 100;
  }
  std::string ErrorLines() const {
    std::string out;
    for (const auto& line : capture.Lines())
      if (line.second.find("ERROR") != std::string::npos) out += line.second + "\n";
    return out;
  }
  void TearDown() override {
    TkSetSleepHook(nullptr);
    InstanceTest::TearDown();
  }
};

TEST_F(InstanceStress, StressBatchesBesidePruningAndStatistics) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  std::atomic<bool> jobDone{false};
  int queryBatches = 0, wrongAnswers = 0, failedBatches = 0;
  unsigned nextSeed = 1000000;
  std::vector<CacheRecordRef> inserted;

  std::thread job([&] {
    while (std::chrono::steady_clock::now() < deadline) {
      std::vector<CacheRecordRef> fresh;
      for (int i = 0; i < kBatch; ++i) {
        const unsigned seed = nextSeed++;
        fresh.push_back(Block(seed, 100 + seed % 100));
      }
      if (tables->InsertSignature(fresh.data(), kBatch) != 0) {
        ++failedBatches;
        continue;
      }
      inserted.insert(inserted.end(), fresh.begin(), fresh.end());
      // Half blocks just inserted (never listed for pruning: used after the
      // backup started), half blocks never stored.
      std::vector<CLDBQuerySignature> q(2 * kBatch);
      for (int i = 0; i < kBatch; ++i) {
        q[i].record = fresh[i];
        q[kBatch + i].record = Block(nextSeed++, 150);
      }
      if (tables->QuerySignature(q.data(), 2 * kBatch) != 0) {
        ++failedBatches;
        continue;
      }
      ++queryBatches;
      for (int i = 0; i < 2 * kBatch; ++i) wrongAnswers += q[i].found != (i < kBatch ? 1u : 0u);
    }
    jobDone = true;
  });

  int passes = 0, failedPasses = 0, statsGoingBack = 0;
  std::thread pruner([&] {
    _stCLDBStates last;
    while (!jobDone) {
      failedPasses += tables->PruneExpiredRecords(config.backupStart + 100) != 0;
      ++passes;
      _stCLDBStates now;
      tables->GetStats(now);
      statsGoingBack += now.crcNotFound < last.crcNotFound;
      last = now;
      // A caller paces its passes; back to back, a new pass would always be
      // running when StopPruning looks, and the job's batches would give up.
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  job.join();
  pruner.join();

  EXPECT_GT(queryBatches, 0);
  EXPECT_GT(passes, 0);
  EXPECT_EQ(0, wrongAnswers);
  EXPECT_EQ(0, failedBatches) << ErrorLines();
  EXPECT_EQ(0, failedPasses);
  EXPECT_EQ(0, statsGoingBack);
  _stCLDBStates s;
  tables->GetStats(s);
  EXPECT_EQ(static_cast<uint32_t>(queryBatches * kBatch), s.crcNotFound);

  // Everything the job stored survives a clean close.
  CloseInstance();
  OpenInstance();
  const long long count = tables->RecordCount();
  EXPECT_GE(count, static_cast<long long>(inserted.size()));
  EXPECT_LE(count, static_cast<long long>(inserted.size() + kOldFiles * kBlocksPerOldFile));
  for (size_t i = 0; i < inserted.size(); i += 97) EXPECT_TRUE(Found(inserted[i]));
}

}  // namespace
}  // namespace cldbtest
