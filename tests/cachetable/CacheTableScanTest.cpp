// Scans in archive-file order, clean-up, and the sweep of the least
// archive-file id. (Marking files expired: the model test.)
#include <lmdb.h>

#include <atomic>

#include "CacheTableFixture.h"

namespace cldbtest {
namespace {

class CacheTableScan : public CacheTableTest {
 protected:
  // Inserts one fresh block of each archive file, in the order given.
  void InsertFiles(std::initializer_list<uint32_t> afileIds) {
    for (uint32_t id : afileIds) Insert(Block(id));
  }
  std::vector<uint32_t> ScanIds() {
    std::vector<uint32_t> ids;
    for (int rc = table->FindFirstRecord(); rc == 0; rc = table->FindNextRecord())
      ids.push_back(Current().archiveFileId);
    return ids;
  }
  std::atomic<bool> quit{false};
};

TEST_F(CacheTableScan, ScansRunInArchiveFileOrderExpiredRecordsIncluded) {
  OpenTable();
  EXPECT_EQ(-1, table->FindFirstRecord());
  EXPECT_EQ(-1, table->FindFirstRecordByAfileId(0));
  InsertFiles({5, 0, 2, 9, 2, 1, 0});
  ASSERT_EQ(0, table->MarkRecordsExpired(2));
  EXPECT_EQ((std::vector<uint32_t>{1, 2, 2, 5, 9}), ScanIds());  // never archive file 0
  EXPECT_EQ(0, table->FindFirstRecordByAfileId(0));
  EXPECT_EQ(0u, Current().archiveFileId);
  EXPECT_EQ(0, table->FindFirstRecordByAfileId(6));  // lands on the next greater file
  EXPECT_EQ(9u, Current().archiveFileId);
  EXPECT_EQ(-1, table->FindNextRecordByAfileId());
  EXPECT_EQ(-1, table->FindFirstRecordByAfileId(10));
}

TEST_F(CacheTableScan, CleanUpDeletesOnlyFlaggedRecordsUnlessAskedToQuit) {
  OpenTable();
  InsertFiles({4, 6});
  capture.Clear();
  EXPECT_EQ(0, table->CleanUpExpiredSignatures(quit));
  EXPECT_TRUE(capture.Lines().empty());  // nothing expired: silent

  _CacheRecord raw{};  // under key 0 but not flagged: not an expired record
  raw.archiveFileId = 2;
  ASSERT_EQ(0, table->addRecord(&raw));
  InsertFiles({4, 7, 4});
  ASSERT_EQ(0, table->MarkRecordsExpired(4));
  quit = true;
  EXPECT_EQ(0, table->CleanUpExpiredSignatures(quit));
  EXPECT_EQ(6, table->getRecordCount());
  EXPECT_TRUE(capture.Contains(-1, "=== Started cleaning up expired signatuers ==="));
  EXPECT_TRUE(capture.Contains(-1,
                               "CCacheTable::CleanUpExpiredSignatures: Quit-Pruning "
                               "requested. Quiting clean-up expired signatuers ==="));
  EXPECT_EQ(2u, capture.Lines().size());

  capture.Clear();
  quit = false;
  EXPECT_EQ(0, table->CleanUpExpiredSignatures(quit));
  EXPECT_EQ((std::vector<uint32_t>{2, 6, 7}), ScanIds());
  EXPECT_EQ((std::vector<std::pair<int, std::string>>{
                {-1,
                 "CCacheTable::CleanUpExpiredSignatures: === Started cleaning up expired "
                 "signatuers ==="},
                {-1,
                 "CCacheTable::CleanUpExpiredSignatures: === completed cleaning up expired "
                 "signatuers (count 3)==="}}),
            capture.Lines());
}

// Entries of the archive-file index of the closed table `dataFile`.
long long ArchiveFileEntries(const std::string& dataFile) {
  MDB_env* env = nullptr;
  MDB_txn* txn = nullptr;
  MDB_dbi dbi;
  MDB_stat st{};
  long long entries = -1;
  // A 4 GiB map (LMDB widens it to the data when needed): the terabyte the
  // file's header records can be more address space than a sanitizer leaves.
  if (mdb_env_create(&env) == 0 && mdb_env_set_maxdbs(env, 16) == 0 &&
      mdb_env_set_mapsize(env, size_t{1} << 32) == 0 &&
      mdb_env_open(env, dataFile.c_str(), MDB_NOSUBDIR | MDB_RDONLY | MDB_NOLOCK, 0) == 0 &&
      mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn) == 0 &&
      mdb_dbi_open(txn, "index1", 0, &dbi) == 0 && mdb_stat(txn, dbi, &st) == 0)
    entries = static_cast<long long>(st.ms_entries);
  if (txn) mdb_txn_abort(txn);
  mdb_env_close(env);
  return entries;
}

// Hits re-point records and leave their old archive-file entries behind;
// the lookup of the least archive file, which every job makes, takes away
// those it passes, so that the next job does not walk them again.
TEST_F(CacheTableScan, LeastArchiveFileIdSweepsTheStaleEntriesItPasses) {
  OpenTable();
  std::vector<CacheRecordRef> blocks;
  for (int i = 0; i < 50; ++i) blocks.push_back(Block(1));
  for (const auto& b : blocks) Insert(b);
  for (auto b : blocks) {
    b.archiveFileId = 9;
    ASSERT_EQ(0, table->QuerySignature(b));
  }
  ASSERT_EQ(0, table->close());
  ASSERT_EQ(100, ArchiveFileEntries(dir / "CacheTable.dat"));
  OpenTable();
  unsigned int least = 0;
  EXPECT_EQ(0, table->GetLeastAFileId(least));
  EXPECT_EQ(9u, least);
  ASSERT_EQ(0, table->close());
  EXPECT_EQ(50, ArchiveFileEntries(dir / "CacheTable.dat"));
}

}  // namespace
}  // namespace cldbtest
