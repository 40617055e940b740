#include "platform/StorageServices.h"

#include <mutex>

#include "platform/InMemoryStorageBackend.h"

namespace {

struct BackendSlot {
  std::mutex mutex;
  std::shared_ptr<StorageBackend> backend;
};

BackendSlot& Slot() {
  static BackendSlot* slot = new BackendSlot;  // never destroyed: see ZelAssert.cpp
  return *slot;
}

}  // namespace

StorageBackend::~StorageBackend() = default;

std::shared_ptr<StorageBackend> StorageBackend::Current() {
  BackendSlot& slot = Slot();
  std::lock_guard<std::mutex> lock(slot.mutex);
  if (!slot.backend) slot.backend = std::make_shared<InMemoryStorageBackend>();
  return slot.backend;
}

std::shared_ptr<StorageBackend> StorageBackend::Install(std::shared_ptr<StorageBackend> backend) {
  if (!backend) backend = std::make_shared<InMemoryStorageBackend>();
  BackendSlot& slot = Slot();
  std::lock_guard<std::mutex> lock(slot.mutex);
  slot.backend.swap(backend);
  return backend;
}

int ArMgrClientAPI::listAfileIdByAppId(ListAfileIdByAppIdArgs_t& args,
                                       ListAfileIdByAppIdRet_t& ret) {
  return backend_->listAfileIdByAppId(args, ret);
}

int ArMgrClientAPI::getAgroupCopyInfo(GetAgroupCopyInfoArgs_t& args,
                                      GetAgroupCopyInfoRet_t& ret) {
  return backend_->getAgroupCopyInfo(args, ret);
}

int ArMgrClientAPI::isCopyClientCacheDBClean(unsigned int jobId, unsigned int copyId,
                                             bool& clean) {
  return backend_->isCopyClientCacheDBClean(jobId, copyId, clean);
}

int ArMgrClientAPI::setCopyClientCacheDBClean(unsigned int jobId, unsigned int copyId) {
  return backend_->setCopyClientCacheDBClean(jobId, copyId);
}

bool ArMgrCacheInfo::setCachDBLastArchFileId(unsigned int cldbId, unsigned long long jobId,
                                             unsigned int leastAFileId) {
  return StorageBackend::Current()->setCachDBLastArchFileId(cldbId, jobId, leastAFileId);
}

int Subclient::IsClientCacheDBDirty(int& dirty, void* /*reserved*/) {
  return backend_->isClientCacheDBDirty(appId_, dirty);
}

int Subclient::setClientCacheDBDirty(int dirty, void* /*reserved*/) {
  return backend_->setClientCacheDBDirty(appId_, dirty);
}

int MLMMessageInstance::Init(int kind, const char* /*name*/) {
  int rc = backend_->connectMediaManager(kind);
  connected_ = rc == 0;
  return rc;
}

int ZelMMIdxSIDBStoreInfo::getAFsToRecopyForCopy(unsigned int copyId,
                                                 std::vector<MMAFToRecopy>& list, int& flags) {
  if (!instance_.IsConnected()) return -1;
  return backend_->getAFsToRecopyForCopy(copyId, list, flags);
}

unsigned long long ZelPI_Hubmaster::getHubcellId() {
  return StorageBackend::Current()->getHubcellId();
}
