// The answers the library gets from the SQLite storage side through the
// StorageBackend calls.
#include "StorageFixture.h"

namespace cldbtest {
namespace {

std::vector<int> Signed(const std::vector<uint32_t>& ids) {
  return std::vector<int>(ids.begin(), ids.end());
}

// Each helper makes one call, expects it to succeed and returns its answer.
class SqliteBackendCallsTest : public StorageTest {
 protected:
  std::vector<int> Listed(uint32_t appId, uint32_t copyId, uint32_t oldest,
                          unsigned int* retFlags = nullptr) {
    ListAfileIdByAppIdArgs_t args;
    args.appId = appId;
    args.copyId = copyId;
    args.oldestArchFileId = oldest;
    ListAfileIdByAppIdRet_t ret;
    ret.retFlags = 0xFFFFFFFF;
    EXPECT_EQ(backend_->listAfileIdByAppId(args, ret), 0);
    if (retFlags) *retFlags = ret.retFlags;
    return ret.afileIds;
  }
  std::vector<int> Recopied(uint32_t copyId, int* flags = nullptr) {
    std::vector<MMAFToRecopy> list{{-1, 0}};
    int answer = -1;
    EXPECT_EQ(backend_->getAFsToRecopyForCopy(copyId, list, answer), 0);
    if (flags) *flags = answer;
    std::vector<int> ids;
    for (const MMAFToRecopy& entry : list) {
      EXPECT_EQ(entry.copyId, copyId);
      ids.push_back(entry.afileId);
    }
    return ids;
  }
  std::string CopyName(uint32_t copyId) {
    GetAgroupCopyInfoArgs_t args;
    args.copyId = copyId;
    GetAgroupCopyInfoRet_t ret;
    EXPECT_EQ(backend_->getAgroupCopyInfo(args, ret), 0);
    return ret.copyName;
  }
  int Dirty(uint32_t appId) {
    int dirty = -1;
    EXPECT_EQ(backend_->isClientCacheDBDirty(appId, dirty), 0);
    return dirty;
  }
  bool Clean(uint32_t copyId) {
    bool clean = true;
    EXPECT_EQ(backend_->isCopyClientCacheDBClean(99, copyId, clean), 0);
    return clean;
  }
};

TEST_F(SqliteBackendCallsTest, ListsTheClientsHeldFilesOnTheCopyAscending) {
  std::vector<uint32_t> mine;
  JobWithFiles(10, 1, 2, &mine);
  JobWithFiles(11, 1, 1);  // another client
  JobWithFiles(10, 2, 1);  // another copy
  JobWithFiles(10, 1, 2, &mine);
  ASSERT_EQ(backend_->DropArchiveFile(mine[1]), 0);
  mine.erase(mine.begin() + 1);
  unsigned int retFlags = 0;
  EXPECT_EQ(Listed(10, 1, 0, &retFlags), Signed(mine));
  EXPECT_EQ(retFlags, 0u);
}

TEST_F(SqliteBackendCallsTest, ListStartsAtTheOldestArchiveFileId) {
  std::vector<uint32_t> files;
  JobWithFiles(10, 1, 4, &files);
  EXPECT_EQ(Listed(10, 1, files[2]), Signed({files[2], files[3]}));
  EXPECT_TRUE(Listed(10, 1, 0x0FFFFFFF).empty());
}

TEST_F(SqliteBackendCallsTest, OfflineMountPathSetsTheFlagOfThatCopyOnly) {
  JobWithFiles(10, 1, 1);
  ASSERT_EQ(backend_->SetMountPathOffline(1, true), 0);
  unsigned int retFlags = 0;
  EXPECT_EQ(Listed(10, 1, 0, &retFlags).size(), 1u);
  EXPECT_EQ(retFlags, unsigned{ZELA_ANY_MOUNTPATH_OFFLINE_FLAG});
  Listed(10, 2, 0, &retFlags);
  EXPECT_EQ(retFlags, 0u);
  int flags = 0;
  Recopied(1, &flags);
  EXPECT_EQ(flags, 1);
  ASSERT_EQ(backend_->SetMountPathOffline(1, false), 0);
  Recopied(1, &flags);
  EXPECT_EQ(flags, 0);
}

TEST_F(SqliteBackendCallsTest, CopyNameDefaultsUntilNamed) {
  EXPECT_EQ(CopyName(5), "Copy 5");
  ASSERT_EQ(backend_->SetCopyName(5, "Secondary 'disk'"), 0);
  EXPECT_EQ(CopyName(5), "Secondary 'disk'");
  EXPECT_EQ(CopyName(6), "Copy 6");
  ASSERT_EQ(backend_->SetCopyName(5, ""), 0);
  EXPECT_EQ(CopyName(5), "Copy 5");
}

TEST_F(SqliteBackendCallsTest, UnknownClientIsDirtyUntilRecordedOtherwise) {
  EXPECT_EQ(Dirty(30), 1);
  ASSERT_EQ(backend_->setClientCacheDBDirty(30, 0), 0);
  EXPECT_EQ(Dirty(30), 0);
  EXPECT_EQ(Dirty(31), 1);
  // Any value is kept as given; the library decides what it means.
  ASSERT_EQ(backend_->setClientCacheDBDirty(30, 2), 0);
  EXPECT_EQ(Dirty(30), 2);
  ASSERT_EQ(backend_->MarkClientDirty(30), 0);
  EXPECT_EQ(Dirty(30), 1);
}

TEST_F(SqliteBackendCallsTest, CopyIsNotCleanUntilRecordedClean) {
  EXPECT_FALSE(Clean(7));
  ASSERT_EQ(backend_->SetMountPathOffline(7, true), 0);  // makes the copy known
  EXPECT_FALSE(Clean(7));
  ASSERT_EQ(backend_->setCopyClientCacheDBClean(98, 7), 0);
  EXPECT_TRUE(Clean(7));
  EXPECT_FALSE(Clean(8));
  ASSERT_EQ(backend_->MarkCopyClean(7, false), 0);
  EXPECT_FALSE(Clean(7));
}

TEST_F(SqliteBackendCallsTest, RecopiedListIsReplacedAndSorted) {
  int flags = -1;
  EXPECT_TRUE(Recopied(3, &flags).empty());
  EXPECT_EQ(flags, 0);
  ASSERT_EQ(backend_->SetRecopied(3, {40, 12, 40, 25}), 0);
  ASSERT_EQ(backend_->SetRecopied(4, {99}), 0);
  EXPECT_EQ(Recopied(3), (std::vector<int>{12, 25, 40}));
  ASSERT_EQ(backend_->SetRecopied(3, {7}), 0);
  EXPECT_EQ(Recopied(3), std::vector<int>{7});
  EXPECT_EQ(Recopied(4), std::vector<int>{99});
}

TEST_F(SqliteBackendCallsTest, RecopiedIdOutOfRangeChangesNothingAndDropsKeepIds) {
  std::vector<uint32_t> files;
  JobWithFiles(1, 3, 1, &files);
  ASSERT_EQ(backend_->SetRecopied(3, files), 0);
  EXPECT_EQ(backend_->SetRecopied(3, {6, SqliteStorageBackend::kMaxArchiveFileId + 1}), -1);
  EXPECT_NE(backend_->LastError().find("2147483648"), std::string::npos) << backend_->LastError();
  EXPECT_EQ(backend_->SetRecopied(3, {0}), -1);
  ASSERT_EQ(backend_->DropArchiveFile(files[0]), 0);
  EXPECT_EQ(Recopied(3), Signed(files));
}

TEST_F(SqliteBackendCallsTest, LeastArchiveFileIdIsKeptPerCldb) {
  bool known = true;
  uint32_t least = 0;
  uint64_t jobId = 0;
  ASSERT_EQ(backend_->GetLastArchFileId(8, known, least, jobId), 0);
  EXPECT_FALSE(known);
  const unsigned long long bigJob = 0x123456789ABCDEF0ULL;
  ASSERT_TRUE(backend_->setCachDBLastArchFileId(8, bigJob, 41));
  ASSERT_TRUE(backend_->setCachDBLastArchFileId(9, bigJob, 2));
  ASSERT_TRUE(backend_->setCachDBLastArchFileId(8, 6, 43));
  ASSERT_EQ(backend_->GetLastArchFileId(8, known, least, jobId), 0);
  EXPECT_TRUE(known);
  EXPECT_EQ(least, 43u);
  EXPECT_EQ(jobId, 6u);
  ASSERT_EQ(backend_->GetLastArchFileId(9, known, least, jobId), 0);
  EXPECT_EQ(least, 2u);
  EXPECT_EQ(jobId, bigJob);
}

// The library reaches the installed backend only through the service
// objects; they must see the database's answers.
TEST_F(SqliteBackendCallsTest, ServiceObjectsAnswerFromTheInstalledDatabase) {
  std::vector<uint32_t> files;
  JobWithFiles(12, 1, 2, &files);
  ASSERT_EQ(backend_->SetRecopied(1, {files[1]}), 0);
  std::shared_ptr<SqliteStorageBackend> shared = std::move(backend_);
  auto previous = StorageBackend::Install(shared);

  int dirty = 0;
  EXPECT_EQ(Subclient(12).IsClientCacheDBDirty(dirty, nullptr), 0);
  EXPECT_EQ(dirty, 1);
  ListAfileIdByAppIdArgs_t args;
  args.appId = 12;
  args.copyId = 1;
  ListAfileIdByAppIdRet_t ret;
  EXPECT_EQ(ArMgrClientAPI().listAfileIdByAppId(args, ret), 0);
  EXPECT_EQ(ret.afileIds, Signed(files));
  MLMMessageInstance instance;
  ASSERT_EQ(instance.Init(2, nullptr), 0);
  std::vector<MMAFToRecopy> recopied;
  int flags = 0;
  EXPECT_EQ(ZelMMIdxSIDBStoreInfo(instance).getAFsToRecopyForCopy(1, recopied, flags), 0);
  ASSERT_EQ(recopied.size(), 1u);
  EXPECT_EQ(recopied[0].afileId, static_cast<int>(files[1]));
  EXPECT_EQ(ZelPI_Hubmaster().getHubcellId(), shared->getHubcellId());
  StorageBackend::Install(previous);
}

}  // namespace
}  // namespace cldbtest
