// The process-wide backend behind the service objects. (Most in-memory answers, its failure
// injection and its request record are pinned by the manager and instance suites.)
#include <gtest/gtest.h>

#include <memory>

#include "platform/StorageServices.h"
#include "support/InMemoryStorageBackend.h"

namespace {

TEST(StorageBackend, ServicesUseTheInstalledBackendAndFailWithoutOne) {
  auto mine = std::make_shared<cldb::InMemoryStorageBackend>();
  auto previous = cldb::StorageBackend::Install(mine);
  mine->SetCopyName(2, "Primary");
  GetAgroupCopyInfoArgs_t copy{2, 0};
  GetAgroupCopyInfoRet_t info;
  EXPECT_TRUE(ArMgrClientAPI().getAgroupCopyInfo(copy, info) == 0 && info.copyName == "Primary");

  // Uninstalled: every call fails and leaves its out-values alone.
  EXPECT_EQ(cldb::StorageBackend::Install(nullptr), mine);
  EXPECT_EQ(cldb::StorageBackend::Current(), nullptr);
  info.copyName = "unchanged";
  EXPECT_NE(ArMgrClientAPI().getAgroupCopyInfo(copy, info), 0);
  EXPECT_EQ(info.copyName, "unchanged");
  int dirty = -7;
  EXPECT_NE(Subclient(8).IsClientCacheDBDirty(dirty, nullptr), 0);
  EXPECT_EQ(dirty, -7);
  bool clean = true;
  EXPECT_NE(ArMgrClientAPI().isCopyClientCacheDBClean(1, 8, clean), 0);
  ListAfileIdByAppIdArgs_t request;
  ListAfileIdByAppIdRet_t reply;
  EXPECT_NE(ArMgrClientAPI().listAfileIdByAppId(request, reply), 0);
  MLMMessageInstance mm;
  EXPECT_NE(mm.Init(2, nullptr), 0);
  EXPECT_FALSE(ArMgrCacheInfo::setCachDBLastArchFileId(8, 1, 5));
  cldb::StorageBackend::Install(previous);
}

}  // namespace
