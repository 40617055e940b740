#include "platform/StorageServices.h"

namespace {

// What every service call answers when the host installed no backend: a
// failure, so that the library never trusts a CLDB nobody vouches for.
const int kNoBackend = -1;

}  // namespace

int ArMgrClientAPI::listAfileIdByAppId(ListAfileIdByAppIdArgs_t& args,
                                       ListAfileIdByAppIdRet_t& ret) {
  if (!backend_) return kNoBackend;
  return backend_->listAfileIdByAppId(args, ret);
}

int ArMgrClientAPI::getAgroupCopyInfo(GetAgroupCopyInfoArgs_t& args, GetAgroupCopyInfoRet_t& ret) {
  if (!backend_) return kNoBackend;
  return backend_->getAgroupCopyInfo(args, ret);
}

int ArMgrClientAPI::isCopyClientCacheDBClean(unsigned int jobId, unsigned int copyId, bool& clean) {
  if (!backend_) return kNoBackend;
  return backend_->isCopyClientCacheDBClean(jobId, copyId, clean);
}

int ArMgrClientAPI::setCopyClientCacheDBClean(unsigned int jobId, unsigned int copyId) {
  if (!backend_) return kNoBackend;
  return backend_->setCopyClientCacheDBClean(jobId, copyId);
}

bool ArMgrCacheInfo::setCachDBLastArchFileId(unsigned int cldbId, unsigned long long jobId,
                                             unsigned int leastAFileId) {
  std::shared_ptr<cldb::StorageBackend> backend = cldb::StorageBackend::Current();
  return backend && backend->setCachDBLastArchFileId(cldbId, jobId, leastAFileId);
}

int Subclient::IsClientCacheDBDirty(int& dirty, void* /*reserved*/) {
  if (!backend_) return kNoBackend;
  return backend_->isClientCacheDBDirty(appId_, dirty);
}

int Subclient::setClientCacheDBDirty(int dirty, void* /*reserved*/) {
  if (!backend_) return kNoBackend;
  return backend_->setClientCacheDBDirty(appId_, dirty);
}

int MLMMessageInstance::Init(int kind, const char* /*name*/) {
  const int rc = backend_ ? backend_->connectMediaManager(kind) : kNoBackend;
  connected_ = rc == 0;
  return rc;
}

int ZelMMIdxSIDBStoreInfo::getAFsToRecopyForCopy(unsigned int copyId,
                                                 std::vector<MMAFToRecopy>& list, int& flags) {
  if (!backend_ || !instance_.IsConnected()) return kNoBackend;
  return backend_->getAFsToRecopyForCopy(copyId, list, flags);
}

unsigned long long ZelPI_Hubmaster::getHubcellId() {
  std::shared_ptr<cldb::StorageBackend> backend = cldb::StorageBackend::Current();
  return backend ? backend->getHubcellId() : 0;
}
