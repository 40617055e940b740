// Compaction on request and the CSV dump, both on a CLDB folder that the
// instance has not opened.
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "InstanceFixture.h"
#include "platform/CTkCRC64.h"

namespace cldbtest {
namespace {

namespace fs = std::filesystem;

const char kHeader[] =
    "crc64,size,tagHdrCount,archivingTime,archiveFileId,flags,LastUpdateTime,InsertedTime,"
    "subStoreID,reserved2\n";

class Maintenance : public InstanceTest {
 protected:
  void SetUp() override {
    InstanceTest::SetUp();
    char* cwd = getcwd(nullptr, 0);
    ASSERT_NE(nullptr, cwd);
    savedCwd_ = cwd;
    free(cwd);
    ASSERT_EQ(0, chdir(work.path().c_str()));
  }
  void TearDown() override {
    EXPECT_EQ(0, chdir(savedCwd_.c_str()));
    InstanceTest::TearDown();
  }

  std::string DumpName() const { return "CLDBDump_" + std::to_string(TestNow().load()) + ".csv"; }
  std::string DumpPath() const { return work / DumpName(); }

  // The dump line of `block` stored at `when` (archive file, flags and
  // times as the cache table writes them).
  static std::string LineOf(const CacheRecordRef& b, uint32_t when, int sigType) {
    unsigned long long crc = CTkCRC64::Compute(b.Signature, sizeof(b.Signature));
    if (crc == 0) crc = 1;
    std::ostringstream s;
    s << crc << " , " << b.size << " , " << b.tagHdrCount << " , " << b.ArchivingTime << " , "
      << b.archiveFileId << " , " << sigType << " , " << when << " , " << when << " , "
      << b.subStoreID << " , 0\n";
    return s.str();
  }

  TempDir work;  // the current working directory, where dumps land

 private:
  std::string savedCwd_;
};

TEST_F(Maintenance, DumpWritesEveryRecordInArchiveFileOrder) {
  const CacheRecordRef nine = Block(1, 9, 4), three = Block(2, 3), seven = Block(3, 7, 2);
  const CacheRecordRef none = Block(4, 0);  // archive file 0 is never visited
  OpenInstance();
  InsertAt(kT0 - 10, {nine});
  InsertAt(kT0 - 20, {three, none});
  InsertAt(kT0 - 30, {seven});
  CloseInstance();

  CCLDBTables dumper;
  EvDebug dumpLog;
  LogCapture dumpCapture(&dumpLog);
  ASSERT_EQ(0, dumper.DumpCacheTable(&dumpLog, Folder().c_str()));
  EXPECT_EQ(std::string(kHeader) + LineOf(three, kT0 - 20, config.sigType) +
                LineOf(seven, kT0 - 30, config.sigType) + LineOf(nine, kT0 - 10, config.sigType),
            ReadFile(DumpPath()));
  EXPECT_TRUE(dumpCapture.Contains("Dumping cache table records in to [" + DumpName() + "]"));
  EXPECT_EQ(Folder(), dumper.Path());
  EXPECT_FALSE(dumper.IsOpened());
  // The table was closed again: an instance can open the CLDB at once.
  OpenInstance();
  EXPECT_EQ(4, tables->RecordCount());
}

TEST_F(Maintenance, DumpOfAnEmptyTableHoldsOnlyTheHeader) {
  MakeClosedCLDB({});
  CCLDBTables dumper;
  ASSERT_EQ(0, dumper.DumpCacheTable(&log, (Folder() + "/").c_str()));
  EXPECT_EQ(kHeader, ReadFile(DumpPath()));
  EXPECT_EQ(106u, ReadFile(DumpPath()).size());
}

TEST_F(Maintenance, SecondDumpInTheSameSecondReplacesTheFirst) {
  MakeClosedCLDB({Block(1, 5), Block(2, 6)});
  CCLDBTables dumper;
  ASSERT_EQ(0, dumper.DumpCacheTable(&log, Folder().c_str()));
  const std::string first = ReadFile(DumpPath());
  OpenInstance();
  CacheRecordRef gone = Block(2, 6);
  ASSERT_EQ(0, tables->DeleteCacheRecord(&gone, 1));
  CloseInstance();
  ASSERT_EQ(0, dumper.DumpCacheTable(&log, Folder().c_str()));
  const std::string second = ReadFile(DumpPath());
  EXPECT_EQ(std::string(kHeader) + LineOf(Block(1, 5), kT0, config.sigType), second);
  EXPECT_LT(second.size(), first.size());
}

TEST_F(Maintenance, DumpWhoseFileCannotBeWrittenFails) {
  MakeClosedCLDB({Block(1, 5)});
  fs::create_symlink("/dev/full", DumpPath());
  CCLDBTables dumper;
  EXPECT_EQ(-1, dumper.DumpCacheTable(&log, Folder().c_str()));
  EXPECT_TRUE(capture.Contains("DumpCache: File write failed - " + DumpName()));
}

TEST_F(Maintenance, DumpWhoseFileCannotBeCreatedFails) {
  MakeClosedCLDB({Block(1, 5)});
  ASSERT_TRUE(fs::create_directory(DumpPath()));
  CCLDBTables dumper;
  EXPECT_EQ(-1, dumper.DumpCacheTable(&log, Folder().c_str()));
  EXPECT_TRUE(capture.Contains("DumpCache: File Create failed - " + DumpName()));
  // The table was closed on the way out.
  OpenInstance();
  EXPECT_EQ(1, tables->RecordCount());
}

TEST_F(Maintenance, DumpOfAMissingTableFails) {
  CCLDBTables dumper;
  const std::string folder = root / "nothing";
  EXPECT_EQ(-1, dumper.DumpCacheTable(&log, folder.c_str()));
  EXPECT_TRUE(capture.Contains("CCLDBTables::DumpCacheTable(): CacheTable open (" + folder +
                               ") Failed. (May be corrupted[or]not found)"));
  EXPECT_FALSE(fs::exists(DumpPath()));
}

TEST_F(Maintenance, CompactionAndDumpRefuseAnOpenInstance) {
  OpenInstance();
  EvDebug other;
  LogCapture otherCapture(&other);
  const std::string elsewhere = root / "elsewhere";
  EXPECT_EQ(-1, tables->CompactCacheTable(&other, elsewhere.c_str()));
  EXPECT_EQ(-1, tables->DumpCacheTable(&other, elsewhere.c_str()));
  EXPECT_EQ(1u, otherCapture.Count("CCLDBTables::CompactCacheTable(): CacheTable already opened (" +
                                   Folder() + ")"));
  EXPECT_EQ(1u, otherCapture.Count("CCLDBTables::DumpCacheTable(): CacheTable already opened (" +
                                   Folder() + ")"));
  EXPECT_EQ(Folder(), tables->Path());
  EXPECT_TRUE(tables->IsOpened());
  EXPECT_FALSE(fs::exists(DumpPath()));
}

TEST_F(Maintenance, CompactionOnRequestKeepsTheRecords) {
  MakeClosedCLDB({Block(1, 5), Block(2, 6), Block(3, 7)});
  CCLDBTables compactor;
  ASSERT_EQ(0, compactor.CompactCacheTable(&log, Folder().c_str()));
  EXPECT_TRUE(capture.Contains("CCacheTable::MakeCompact: Making compact CLDB ...."));
  EXPECT_TRUE(capture.Contains("CCacheTable::MakeCompact: Reindexing completed...."));
  EXPECT_EQ(3u, RecordsIn(Folder()).size());
  OpenInstance();
  EXPECT_TRUE(Found(Block(3, 7)));
}

TEST_F(Maintenance, CompactionOfAMissingTableFails) {
  CCLDBTables compactor;
  const std::string folder = root / "nothing";
  EXPECT_EQ(-1, compactor.CompactCacheTable(&log, folder.c_str()));
  EXPECT_TRUE(capture.Contains("CCLDBTables::CompactCacheTable(): CacheTable Compact-DB (" +
                               folder + ") Failed"));
}

}  // namespace
}  // namespace cldbtest
