// Schema, configuration and set-up of the cache table.
#include "CacheTableFixture.h"

#include "platform/ZelPlatformInfo.h"

namespace cldbtest {
namespace {

class CacheTableSchema : public CacheTableTest {
 protected:
  void TearDown() override {
    ZelPlatformInfo::ClearOverrides();
    CacheTableTest::TearDown();
  }

  // Defines a table without creating it; the engine registers it meanwhile.
  void Define(bool aux) {
    table = std::make_unique<CCacheTable>();
    table->Initialize(1, kSigType, &log, 0, 30, 0, aux);
    ASSERT_EQ(table->initialize(Path().c_str()), 0);
  }
};

TEST_F(CacheTableSchema, RecordWrittenByOneInstanceReadsBackFieldForFieldInAnother) {
  const Signature sig = RandomSignature(rng);
  OpenTable();
  TestNow() = kT0 + 17;
  CacheRecordRef ref = MakeRef(sig, 0x1122334455667788ULL, 7, kT0 - 99, 4242, -5);
  ASSERT_EQ(table->AddCacheRecord(ref, 0), 0);
  ASSERT_EQ(table->close(), 0);

  OpenTable();
  ASSERT_EQ(table->getRecordCount(), 1);
  ASSERT_EQ(table->FindFirstRecord(), 0);
  const _CacheRecord& r = Current();
  EXPECT_EQ(r.Spare, 0u);
  EXPECT_EQ(r.tagHdrCount, 7u);
  EXPECT_EQ(r.crc64, CrcOf(sig));
  EXPECT_EQ(memcmp(r.Signature, sig.data(), 64), 0);
  EXPECT_EQ(r.size, 0x1122334455667788ULL);
  EXPECT_EQ(r.archiveFileId, 4242u);
  EXPECT_EQ(r.ArchivingTime, kT0 - 99);
  EXPECT_EQ(r.LastUpdateTime, kT0 + 17);
  EXPECT_EQ(r.InsertedTime, kT0 + 17);
  EXPECT_EQ(r.Flags, static_cast<uint32_t>(kSigType));
  EXPECT_EQ(r.subStoreID, -5);
  EXPECT_EQ(r.reserved2, 0u);
}

TEST_F(CacheTableSchema, ReportsItsTypeAndAsksForHugeFiles) {
  Define(false);
  EXPECT_STREQ(table->getTableType(), "Single Instance Client Cache Table");
  EXPECT_EQ(table->createHugeFile(), 1);
}

TEST_F(CacheTableSchema, CourierDefaultsAreLoggedAndApplied) {
  Define(false);
  EXPECT_EQ(table->bufferCount(), 1000);
  EXPECT_EQ(TCtreeTable::getnodeSize(), 8);
  EXPECT_TRUE(capture.Contains(1, "CCacheTable::registerTable: # of buffers [1000] NodeSize - [8]"));
}

TEST_F(CacheTableSchema, WardenDefaultsAreLoggedAndApplied) {
  Define(true);
  EXPECT_EQ(table->bufferCount(), 10000);
  EXPECT_EQ(TCtreeTable::getnodeSize(), 32);
  EXPECT_TRUE(
      capture.Contains(1, "CCacheTable::registerTable: # of buffers [10000] NodeSize - [32]"));
}

TEST_F(CacheTableSchema, ConfigurationOfItsOwnSectionOverridesDefaults) {
  ZelPlatformInfo::SetOverride("Courier", "CLDBCtreeBufferCount", 250UL);
  ZelPlatformInfo::SetOverride("Courier", "CLDBCtreeNodeSize", 16UL);
  ZelPlatformInfo::SetOverride("Warden", "CLDBCtreeBufferCount", 777UL);
  Define(false);
  EXPECT_EQ(table->bufferCount(), 250);
  EXPECT_EQ(TCtreeTable::getnodeSize(), 16);
  EXPECT_TRUE(capture.Contains("# of buffers [250] NodeSize - [16]"));

  capture.Clear();
  Define(true);  // Warden: its own buffer count, default node size
  EXPECT_EQ(table->bufferCount(), 777);
  EXPECT_EQ(TCtreeTable::getnodeSize(), 32);
  EXPECT_TRUE(capture.Contains("# of buffers [777] NodeSize - [32]"));
}

TEST_F(CacheTableSchema, BufferCountBeyondSixteenBitsIsClamped) {
  ZelPlatformInfo::SetOverride("Courier", "CLDBCtreeBufferCount", 70000UL);
  Define(false);
  EXPECT_EQ(table->bufferCount(), 32767);
  EXPECT_TRUE(capture.Contains("# of buffers [70000]"));
}

TEST_F(CacheTableSchema, RefusedAnnouncementFailsWithOne) {
  table = std::make_unique<CCacheTable>();
  table->Initialize(1, kSigType, &log, 0, 30, 0, false);
  EXPECT_EQ(table->initialize(""), 1);
  EXPECT_TRUE(
      capture.Contains(1, "CCacheTable::intialize: Cache table initialization failed, nRet=1"));
  EXPECT_FALSE(capture.Contains("registerTable"));
}

TEST_F(CacheTableSchema, OpenForwardsTheEngineResult) {
  Define(false);
  EXPECT_NE(table->Open(ZelIndexing::kReadWrite), 0);  // nothing created yet
  ASSERT_EQ(table->create(), 0);
  ASSERT_EQ(table->close(), 0);
  EXPECT_EQ(table->Open(ZelIndexing::kReadWrite), 0);
}

TEST_F(CacheTableSchema, InitializeZeroesTheCountersAgain) {
  OpenTable();
  CacheRecordRef ref = MakeRef(RandomSignature(rng), 1, 0, kT0, 1);
  EXPECT_EQ(table->QuerySignature(ref), -1);
  EXPECT_EQ(Stats().crcNotFound, 1u);
  table->Initialize(1, kSigType, &log, 0, 30, 0, false);
  ExpectSameStats(_stCLDBStates(), Stats());
}

}  // namespace
}  // namespace cldbtest
