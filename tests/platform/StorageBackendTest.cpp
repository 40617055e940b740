#include <gtest/gtest.h>

#include <memory>

#include "platform/InMemoryStorageBackend.h"
#include "platform/StorageServices.h"

namespace {

// Installs a fresh in-memory backend for each test and puts the previous one
// back afterwards.
class StorageBackendTest : public ::testing::Test {
 protected:
  void SetUp() override { previous_ = StorageBackend::Install(backend_); }
  void TearDown() override { StorageBackend::Install(previous_); }

  std::shared_ptr<InMemoryStorageBackend> backend_ = std::make_shared<InMemoryStorageBackend>();
  std::shared_ptr<StorageBackend> previous_;
};

TEST_F(StorageBackendTest, InstallReplacesAndNullRestoresDefault) {
  EXPECT_EQ(StorageBackend::Current(), backend_);
  EXPECT_EQ(StorageBackend::Install(nullptr), backend_);
  auto fresh = StorageBackend::Current();
  EXPECT_NE(fresh, backend_);
  EXPECT_NE(std::dynamic_pointer_cast<InMemoryStorageBackend>(fresh), nullptr);
}

TEST_F(StorageBackendTest, ServicesAnswerFromTheInstalledData) {
  backend_->SetValidAFiles(40, {5, 9, 12});
  backend_->SetMountPathOffline(3, true);
  ListAfileIdByAppIdArgs_t args;
  args.appId = 40;
  args.copyId = 3;
  ListAfileIdByAppIdRet_t ret;
  ASSERT_EQ(ArMgrClientAPI().listAfileIdByAppId(args, ret), 0);
  EXPECT_EQ(ret.afileIds, (std::vector<int>{5, 9, 12}));
  EXPECT_EQ(ret.retFlags, unsigned{ZELA_ANY_MOUNTPATH_OFFLINE_FLAG});

  backend_->SetCopyName(2, "Primary");
  GetAgroupCopyInfoArgs_t copy;
  GetAgroupCopyInfoRet_t info;
  copy.copyId = 2;
  ASSERT_EQ(ArMgrClientAPI().getAgroupCopyInfo(copy, info), 0);
  EXPECT_EQ(info.copyName, "Primary");

  backend_->SetHubcellId(0x1234567890ULL);
  EXPECT_EQ(ZelPI_Hubmaster().getHubcellId(), 0x1234567890ULL);
  unsigned int least = 0;
  EXPECT_TRUE(ArMgrCacheInfo::setCachDBLastArchFileId(9, 1ULL << 40, 321));
  ASSERT_TRUE(backend_->LastArchFileId(9, least));
  EXPECT_EQ(least, 321u);
}

TEST_F(StorageBackendTest, CleanlinessOfClientAndCopy) {
  int dirty = -7;
  ASSERT_EQ(Subclient(8).IsClientCacheDBDirty(dirty, nullptr), 0);
  EXPECT_EQ(dirty, 1);  // never seen: dirty
  EXPECT_EQ(backend_->ClientDirty(8), -1);
  ASSERT_EQ(Subclient(8).setClientCacheDBDirty(0, nullptr), 0);
  ASSERT_EQ(Subclient(8).IsClientCacheDBDirty(dirty, nullptr), 0);
  EXPECT_EQ(dirty, 0);

  bool clean = true;
  ASSERT_EQ(ArMgrClientAPI().isCopyClientCacheDBClean(1, 6, clean), 0);
  EXPECT_FALSE(clean);
  ASSERT_EQ(ArMgrClientAPI().setCopyClientCacheDBClean(1, 6), 0);
  ASSERT_EQ(ArMgrClientAPI().isCopyClientCacheDBClean(1, 6, clean), 0);
  EXPECT_TRUE(clean);
}

TEST_F(StorageBackendTest, RecopiedFilesNeedAConnectedMediaManager) {
  backend_->SetRecopied(4, {30, 31});
  backend_->SetMountPathOffline(4, true);
  MLMMessageInstance mm;
  std::vector<MMAFToRecopy> list;
  int flags = 0;
  EXPECT_NE(ZelMMIdxSIDBStoreInfo(mm).getAFsToRecopyForCopy(4, list, flags), 0);
  ASSERT_EQ(mm.Init(2, nullptr), 0);
  ASSERT_EQ(ZelMMIdxSIDBStoreInfo(mm).getAFsToRecopyForCopy(4, list, flags), 0);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].afileId, 30);
  EXPECT_EQ(list[1].afileId, 31);
  EXPECT_EQ(flags & 1, 1);
}

TEST_F(StorageBackendTest, InjectedFailureIsReturnedAndChangesNothing) {
  backend_->SetValidAFiles(40, {5});
  backend_->FailCall(InMemoryStorageBackend::kListAfileIdByAppId, -9);
  ListAfileIdByAppIdArgs_t args;
  args.appId = 40;
  ListAfileIdByAppIdRet_t ret;
  ret.afileIds = {1000};
  EXPECT_EQ(ArMgrClientAPI().listAfileIdByAppId(args, ret), -9);
  EXPECT_EQ(ret.afileIds, std::vector<int>{1000});

  backend_->FailCall(InMemoryStorageBackend::kSetClientCacheDBDirty, 5);
  EXPECT_EQ(Subclient(40).setClientCacheDBDirty(0, nullptr), 5);
  EXPECT_EQ(backend_->ClientDirty(40), -1);
  backend_->FailCall(InMemoryStorageBackend::kSetCachDBLastArchFileId, -1);
  EXPECT_FALSE(ArMgrCacheInfo::setCachDBLastArchFileId(1, 2, 3));
  backend_->FailCall(InMemoryStorageBackend::kConnectMediaManager, -2);
  MLMMessageInstance mm;
  EXPECT_EQ(mm.Init(2, nullptr), -2);
  EXPECT_FALSE(mm.IsConnected());

  backend_->FailCall(InMemoryStorageBackend::kListAfileIdByAppId, 0);  // cleared
  EXPECT_EQ(ArMgrClientAPI().listAfileIdByAppId(args, ret), 0);
  EXPECT_EQ(ret.afileIds, std::vector<int>{5});
}

TEST_F(StorageBackendTest, RequestsAreRecordedWithArguments) {
  ListAfileIdByAppIdArgs_t args;
  args.jobId = 11;
  args.appId = 22;
  args.copyId = 33;
  args.SIDBStoreId = 44;
  args.oldestArchFileId = 55;
  ListAfileIdByAppIdRet_t ret;
  ArMgrClientAPI().listAfileIdByAppId(args, ret);
  Subclient(22).setClientCacheDBDirty(1, nullptr);
  backend_->FailCall(InMemoryStorageBackend::kIsClientCacheDBDirty, -1);
  int dirty = 0;
  Subclient(22).IsClientCacheDBDirty(dirty, nullptr);  // failed calls are recorded too

  auto requests = backend_->Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].call, InMemoryStorageBackend::kListAfileIdByAppId);
  EXPECT_EQ(requests[0].args, (std::vector<unsigned long long>{11, 22, 33, 44, 55}));
  EXPECT_EQ(requests[1].call, InMemoryStorageBackend::kSetClientCacheDBDirty);
  EXPECT_EQ(requests[1].args, (std::vector<unsigned long long>{22, 1}));
  EXPECT_EQ(backend_->CountRequests(InMemoryStorageBackend::kIsClientCacheDBDirty), 1u);
  EXPECT_EQ(backend_->CountRequests(InMemoryStorageBackend::kGetAgroupCopyInfo), 0u);
  backend_->ClearRequests();
  EXPECT_TRUE(backend_->Requests().empty());
}

}  // namespace
