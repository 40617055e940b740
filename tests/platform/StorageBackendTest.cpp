// The process-wide backend behind the service objects. (Most in-memory answers, its failure
// injection and its request record are pinned by the manager and instance suites.)
#include <gtest/gtest.h>

#include <memory>

#include "platform/InMemoryStorageBackend.h"
#include "platform/StorageServices.h"

namespace {

TEST(StorageBackend, ServicesUseTheInstalledBackendAndNullRestoresAnEmptyOne) {
  auto mine = std::make_shared<InMemoryStorageBackend>();
  auto previous = StorageBackend::Install(mine);
  mine->SetCopyName(2, "Primary");
  GetAgroupCopyInfoArgs_t copy{2, 0};
  GetAgroupCopyInfoRet_t info;
  EXPECT_TRUE(ArMgrClientAPI().getAgroupCopyInfo(copy, info) == 0 && info.copyName == "Primary");
  EXPECT_EQ(StorageBackend::Install(nullptr), mine);
  EXPECT_NE(std::dynamic_pointer_cast<InMemoryStorageBackend>(StorageBackend::Current()), nullptr);
  EXPECT_TRUE(ArMgrClientAPI().getAgroupCopyInfo(copy, info) == 0 && info.copyName == "Copy 2");
  int dirty = -7;  // a client never seen is dirty, so that its first CLDB is made fresh
  EXPECT_TRUE(Subclient(8).IsClientCacheDBDirty(dirty, nullptr) == 0 && dirty == 1) << dirty;
  StorageBackend::Install(previous);
}

TEST(StorageBackend, RecopiedFilesNeedAConnectedMediaManager) {
  auto mine = std::make_shared<InMemoryStorageBackend>();
  auto previous = StorageBackend::Install(mine);
  mine->SetRecopied(4, {30, 31});
  mine->SetMountPathOffline(4, true);
  MLMMessageInstance mm;
  std::vector<MMAFToRecopy> list;
  int flags = 0;
  mine->FailCall(InMemoryStorageBackend::kConnectMediaManager, -2);
  EXPECT_EQ(mm.Init(2, nullptr), -2);
  EXPECT_NE(ZelMMIdxSIDBStoreInfo(mm).getAFsToRecopyForCopy(4, list, flags), 0);
  mine->FailCall(InMemoryStorageBackend::kConnectMediaManager, 0);
  ASSERT_EQ(mm.Init(2, nullptr), 0);
  ASSERT_EQ(ZelMMIdxSIDBStoreInfo(mm).getAFsToRecopyForCopy(4, list, flags), 0);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1].afileId, 31);
  EXPECT_EQ(flags, int{ZELA_ANY_MOUNTPATH_OFFLINE_FLAG});
  StorageBackend::Install(previous);
}

}  // namespace
