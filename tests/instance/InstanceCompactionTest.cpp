// The compaction schedule of Close: interval, size limit, second expiry
// period, and the unsigned arithmetic of the elapsed days.
#include "InstanceFixture.h"

namespace cldbtest {
namespace {

class CompactAtClose : public InstanceTest {
 protected:
  // Opens the CLDB, stores `lastCompact` as its last compaction time, closes
  // it with `allow`, and tells whether the table was compacted. The stored
  // time must agree with the log.
  bool Compacted(uint32_t lastCompact, bool allow = true) {
    OpenInstance();
    Insert({Block(1, 5), Block(2, 6)});
    StoreValue(Folder(), config.cldbId, &CCLDBStateFile::SetLastCompactTime, lastCompact);
    capture.Clear();
    CloseInstance(allow);
    const bool ran = capture.Contains("CCacheTable::MakeCompact: Making compact CLDB ....");
    const uint32_t stored =
        StoredValue<unsigned int>(Folder(), config.cldbId, &CCLDBStateFile::GetLastCompactTime);
    EXPECT_EQ(ran ? TestNow().load() : lastCompact, stored);
    return ran;
  }
};

TEST_F(CompactAtClose, DefaultIntervalIsFifteenDaysToTheSecond) {
  EXPECT_FALSE(Compacted(kT0 - 15 * kDay + 1));
  EXPECT_TRUE(
      capture.Contains("CCLDBTables::Close(): Compact [days-configured - 15][days-elapsed- 14]"));
  EXPECT_TRUE(Compacted(kT0 - 15 * kDay));
  EXPECT_TRUE(
      capture.Contains("CCLDBTables::Close(): Compact [days-configured - 15][days-elapsed- 15]"));
}

TEST_F(CompactAtClose, LastCompactionInTheFutureWrapsAndCompacts) {
  EXPECT_TRUE(Compacted(kT0 + 1));
  EXPECT_TRUE(capture.Contains("[days-elapsed- 49710]"));
}

TEST_F(CompactAtClose, IntervalComesFromCourierThenWardenAndZeroMeansFifteen) {
  ZelPlatformInfo::SetOverride("Warden", "CLDBCompactIntervalDays", 2ul);
  EXPECT_TRUE(Compacted(kT0 - 2 * kDay));
  EXPECT_FALSE(Compacted(kT0 - 2 * kDay + 1));
  ZelPlatformInfo::SetOverride("Courier", "CLDBCompactIntervalDays", 4ul);
  EXPECT_FALSE(Compacted(kT0 - 2 * kDay));
  EXPECT_TRUE(Compacted(kT0 - 4 * kDay));
  ZelPlatformInfo::SetOverride("Courier", "CLDBCompactIntervalDays", 0ul);
  EXPECT_FALSE(Compacted(kT0 - 14 * kDay));
  EXPECT_TRUE(Compacted(kT0 - 15 * kDay));
}

TEST_F(CompactAtClose, SizeAboveFourGigabytesTurnsCompactionOff) {
  config.dbSizeMB = 4096;
  EXPECT_TRUE(Compacted(kT0 - 20 * kDay));
  config.dbSizeMB = 4097;
  EXPECT_FALSE(Compacted(kT0 - 20 * kDay));
  EXPECT_FALSE(capture.Contains("Compact [days-configured"));
}

TEST_F(CompactAtClose, SecondExpiryPeriodCompactsAtEveryAllowedClose) {
  config.extraExpiryDays = 1;
  EXPECT_TRUE(Compacted(kT0));
  EXPECT_FALSE(Compacted(kT0, false));
}

TEST_F(CompactAtClose, NotAllowedMeansNotEvenChecked) {
  EXPECT_FALSE(Compacted(kT0 - 100 * kDay, false));
  EXPECT_FALSE(capture.Contains("Compact [days-configured"));
}

TEST_F(CompactAtClose, CompactedCLDBKeepsItsRecordsAndIsReused) {
  ASSERT_TRUE(Compacted(kT0 - 30 * kDay));
  OpenInstance();
  EXPECT_FALSE(capture.Contains("Creating CacheTable"));
  EXPECT_EQ(2, tables->RecordCount());
  EXPECT_TRUE(Found(Block(1, 5)));
  EXPECT_TRUE(Found(Block(2, 6)));
}

}  // namespace
}  // namespace cldbtest
