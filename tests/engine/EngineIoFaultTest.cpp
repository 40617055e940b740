// I/O errors, one file call at a time: for each step of a table's life
// (creation and a first session, a session for changes, compaction with
// re-indexing, a read-only session), every file call the engine makes
// through its door (platform/FileIo.h) is made to fail in turn. The step
// must then report a failure, and the table must either open with the
// records it held before the step or those it holds after it, or be
// refused: never anything else.
#include "EngineFixture.h"
#include "platform/FileIo.h"

namespace enginetest {
namespace {

using Model = std::map<uint64_t, _CacheRecord>;

class EngineIoFault : public ::testing::Test {
 protected:
  void TearDown() override { cldb::io::SetFaultPlan(cldb::io::FaultPlan{}); }

  // A fresh folder holding the table as the steps before `step` leave it.
  void Prepare(int step) {
    folder = std::make_unique<cldbtest::TempDir>();
    base = *folder / "CacheTable";
    model.clear();
    for (int s = 0; s < step; ++s) ASSERT_EQ(0, Run(s));
  }

  // Step `step`; 0 when every call it made succeeded.
  int Run(int step) {
    TestTable t;
    int failed = t.Declare(base) | t.setLazyIndex(kAfid) | t.setFilteredIndex(kCrc);
    const auto add = [&](uint64_t tag) {
      _CacheRecord r = Rec(tag * 7919 % 97 + 1, static_cast<uint32_t>(tag % 5), tag);
      failed |= t.addRecord(&r);
      if (!failed) model[tag] = r;
    };
    switch (step) {
      case 0:  // creation and a first session
        failed |= t.create();
        for (uint64_t tag = 1; !failed && tag <= 400; ++tag) {
          failed |= tag % 200 == 1 ? t.BeginBatch() : 0;
          add(tag);
          failed |= tag % 200 == 0 ? t.EndBatch(true) : 0;
        }
        return failed | t.close();
      case 1:  // a session for changes: re-points, deletes and adds
        failed |= t.open(ZelIndexing::kReadWrite);
        failed |= failed ? 0 : t.BeginBatch();
        for (uint64_t tag = 1; !failed && tag <= 400; tag += 4) {
          _CacheRecord r;
          auto key = Key(t, kCrc, model[tag].crc64);
          for (int rc = t.firstInSet(kCrc, key.data(), &r, 8); rc == 0 && !failed;
               rc = t.nextInSet(kCrc, &r)) {
            if (r.reserved2 != tag) continue;
            r.archiveFileId = 9;
            failed |= tag % 8 == 1 ? t.deleteRecord() : t.modifyRecord(&r);
            if (!failed && tag % 8 == 1) model.erase(tag);
            if (!failed && tag % 8 != 1) model[tag] = r;
          }
        }
        for (uint64_t tag = 401; !failed && tag <= 450; ++tag) add(tag);
        failed |= failed ? 0 : t.EndBatch(true);
        return failed | t.close();
      case 2:  // compaction, then re-indexing
        failed |= t.MakeCompact();
        return failed | t.ReBuildIndex();
      default:  // a read-only session
        failed |= t.open(ZelIndexing::kReadOnly);
        if (!failed) failed |= Holds(t, model) ? 0 : 1;
        return failed | t.close();
    }
  }

  // The table now: refused, or holding one of the two models.
  void ExpectBeforeOrAfterOrRefused(const Model& before, const Model& after) {
    TestTable t;
    ASSERT_EQ(0, t.Declare(base) | t.setLazyIndex(kAfid) | t.setFilteredIndex(kCrc));
    cldbtest::LogCapture quiet(nullptr);
    const int rc = t.open(ZelIndexing::kReadOnly);
    if (rc != 0) {
      EXPECT_TRUE(rc == TCT_CORRUPT || rc == TCT_NO_FILE || rc == TCT_IO) << rc;
      return;
    }
    EXPECT_TRUE(Holds(t, before) || Holds(t, after)) << "neither before nor after the step";
    EXPECT_EQ(0, t.close());
  }

  std::unique_ptr<cldbtest::TempDir> folder;
  std::string base;
  Model model;
};

TEST_F(EngineIoFault, EveryFailedFileCallIsReportedAndLeavesATrustedTableOrNone) {
  using cldb::io::FaultPlan;
  uint64_t points = 0;
  for (int step = 0; step < 4; ++step) {
    SCOPED_TRACE(::testing::Message() << "step " << step);
    Prepare(step);
    cldb::io::SetFaultPlan(FaultPlan{cldb::io::kAllOps, UINT64_MAX, EIO, false});
    const Model before = model;
    ASSERT_EQ(0, Run(step));
    const uint64_t calls = cldb::io::CountedCalls();
    const Model after = model;
    ASSERT_GT(calls, 0u);
    for (uint64_t n = 1; n <= calls && !HasFailure(); ++n) {
      SCOPED_TRACE(::testing::Message() << "call " << n << " of " << calls << " fails");
      Prepare(step);
      cldb::io::SetFaultPlan(FaultPlan{cldb::io::kAllOps, n, EIO, false});
      int failed;
      {
        cldbtest::LogCapture quiet(nullptr);
        failed = Run(step);
      }
      const uint64_t injected = cldb::io::InjectedFailures();
      cldb::io::SetFaultPlan(FaultPlan{});
      ASSERT_EQ(1u, injected);
      EXPECT_NE(0, failed) << "the failure was not reported";
      ExpectBeforeOrAfterOrRefused(before, after);
      ++points;
    }
  }
  printf("%llu injection points\n", static_cast<unsigned long long>(points));
  RecordProperty("injection_points", static_cast<int>(points));
}

}  // namespace
}  // namespace enginetest
