// Schema declaration, key building and the table hooks.
#include "EngineFixture.h"

namespace enginetest {
namespace {

TEST(EngineSchema, CacheTableDeclarationCompletesAndRegistersOnce) {
  cldbtest::TempDir dir;
  TestTable t;
  ASSERT_EQ(0, t.Declare(dir / "T"));
  EXPECT_EQ(1, t.registered);
  EXPECT_EQ(1000, t.bufferCount());
  EXPECT_EQ(dir / "T.dat", t.dataFileName());
}

TEST(EngineSchema, RejectsDeclarationsThatDoNotFit) {
  TestTable t;
  EXPECT_EQ(TCT_SCHEMA, t.internalInitialize("T", 0, 1, 1, 1, 120, 100));  // not fixed-length
  ASSERT_EQ(0, t.internalInitialize("T", 0, 2, 1, 1, 16, 16));
  EXPECT_EQ(TCT_SCHEMA, t.setNextField("a", 12, 59, 8));   // past the record's end
  EXPECT_EQ(TCT_SCHEMA, t.setNextField("a", 0, 300, 4));   // type code beyond 255
  EXPECT_EQ(0, t.setNextField("a", 0, 59, 4));
  EXPECT_EQ(0, t.setNextField("b", 4, 128, 12));
  EXPECT_EQ(TCT_SCHEMA, t.setNextField("c", 0, 59, 4));    // more fields than announced
  EXPECT_EQ(TCT_SCHEMA, t.setNextIndex("i", 4, 0, 1, 0, 0, 1, 1));  // index numbers in order
  EXPECT_EQ(TCT_SCHEMA, t.setNextIndex("i", 4, 7, 1, 0, 0, 1, 0));  // unknown key type
  EXPECT_EQ(TCT_SCHEMA, t.setNextIndex("i", 4, 0, 0, 0, 0, 1, 0));  // unique keys
  EXPECT_EQ(0, t.setNextIndex("i", 4, 0, 1, 0, 0, 1, 0));
  EXPECT_EQ(TCT_SCHEMA, t.setNextSegment(1, 4, 1));  // integer segment of a partial field
  EXPECT_EQ(TCT_SCHEMA, t.setNextSegment(0, 4, 5));  // unknown mode
  EXPECT_EQ(TCT_SCHEMA, t.setNextSegment(9, 4, 1));  // undeclared field
  EXPECT_EQ(TCT_SCHEMA, t.initializeComplete());  // the index still lacks its segment
  EXPECT_EQ(0, t.setNextSegment(0, 4, 1));
  EXPECT_EQ(TCT_SCHEMA, t.setNextSegment(0, 4, 1));  // no index left to take it
  EXPECT_EQ(0, t.initializeComplete());
  EXPECT_EQ(1, t.registered);
}

TEST(EngineSchema, SegmentLengthsMustMakeTheKeyLength) {
  TestTable t;
  ASSERT_EQ(0, t.internalInitialize("T", 0, 1, 1, 1, 8, 8));
  ASSERT_EQ(0, t.setNextField("a", 0, 239, 8));
  ASSERT_EQ(0, t.setNextIndex("i", 6, 0, 1, 0, 0, 1, 0));
  ASSERT_EQ(0, t.setNextSegment(0, 8, 1));
  EXPECT_EQ(TCT_SCHEMA, t.initializeComplete());
  EXPECT_EQ(0, t.registered);
  EXPECT_EQ(TCT_SCHEMA, t.create());  // nothing usable was declared
}

TEST(EngineSchema, IntegerKeysAreBigEndianAndFinishKeyPadsThePosition) {
  cldbtest::TempDir dir;
  TestTable t;
  ASSERT_EQ(0, t.Declare(dir / "T"));
  const auto crc = CrcKey(t, 0x0102030405060708ULL);
  EXPECT_EQ(std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8), std::string(crc.data(), 8));
  const auto afid = AfidKey(t, 0x0A0B0C0DU);
  EXPECT_EQ(std::string("\x0A\x0B\x0C\x0D", 4) + std::string(8, '\0'),
            std::string(afid.data(), 12));

  char key[12];
  char* cursor = key;
  int left = 12;
  uint32_t value = 7;
  ASSERT_EQ(4, t.fillKeySegment(&cursor, &left, &value, 0, kAfid, 0));
  EXPECT_EQ(8, t.finishKey(&cursor, &left, 0, 0));
  EXPECT_EQ(std::string(8, '\xff'), std::string(key + 4, 8));
  EXPECT_EQ(0, left);
}

TEST(EngineSchema, FillKeySegmentRefusesWhatDoesNotFit) {
  cldbtest::TempDir dir;
  TestTable t;
  ASSERT_EQ(0, t.Declare(dir / "T"));
  char key[8];
  char* cursor = key;
  int left = 7;
  uint64_t crc = 1;
  EXPECT_LT(t.fillKeySegment(&cursor, &left, &crc, 0, kCrc, 0), 0);
  EXPECT_EQ(key, cursor);
  EXPECT_EQ(7, left);
  left = 8;
  EXPECT_LT(t.fillKeySegment(&cursor, &left, &crc, 1, kCrc, 0), 0);  // no segment 1
  EXPECT_LT(t.fillKeySegment(&cursor, &left, &crc, 0, 2, 0), 0);     // no index 2
}

// A table whose own hooks report other versions than the engine's.
class VersionedTable : public TestTable {
 public:
  int adjustTableVersion(const char* fileName, int& version) override {
    seenFile = fileName;
    version = tableVersion;
    return 0;
  }
  int processIndexVersionExternal(int& version) override { return 0; }
  int tableVersion = 1;
  std::string seenFile;
};

TEST(EngineSchema, DefaultHooksAndVersionsBelongToTheStoredSchema) {
  cldbtest::TempDir dir;
  TestTable plain;
  int version = 11;
  EXPECT_EQ(1, plain.createHugeFile());
  EXPECT_EQ(0, plain.processIndexVersionExternal(version));
  EXPECT_EQ(11, version);
  EXPECT_EQ(3, plain.indexVersion());
  ASSERT_EQ(0, plain.Declare(dir / "T"));
  ASSERT_EQ(0, plain.create());
  ASSERT_EQ(0, plain.close());

  VersionedTable other;  // keeps the engine's index version 2
  ASSERT_EQ(0, other.Declare(dir / "T"));
  EXPECT_EQ(dir / "T", other.seenFile);
  EXPECT_NE(3, other.indexVersion());
  EXPECT_EQ(TCT_SCHEMA_MISMATCH, other.open(ZelIndexing::kReadWrite));
}

TEST(EngineSchema, NodeSizeIsClassWide) {
  TCtreeTable::setnodeSize(32);
  EXPECT_EQ(32, TCtreeTable::getnodeSize());
  TCtreeTable::setnodeSize(8);
  EXPECT_EQ(8, TCtreeTable::getnodeSize());
}

}  // namespace
}  // namespace enginetest
