// The smallest complete use of libcldb: install a storage side, open a
// client CLDB, insert the signature of one block, ask for it again, and
// close the CLDB.
#include <cldb/CLDBTableManager.h>
#include <cldb/EvDebug.h>
#include <cldb/StorageBackend.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <xercesc/util/PlatformUtils.hpp>

// The host's storage side. A real one asks its archive manager; this one
// holds archive file 1 and nothing else, and never marks a CLDB dirty.
class OneArchiveFileStorage : public cldb::StorageBackend {
 public:
  int listAfileIdByAppId(const ListAfileIdByAppIdArgs_t&, ListAfileIdByAppIdRet_t& ret) override {
    ret.afileIds = {1};
    ret.retFlags = 0;
    return 0;
  }
  int getAgroupCopyInfo(const GetAgroupCopyInfoArgs_t&, GetAgroupCopyInfoRet_t& ret) override {
    ret.copyName = "Primary";
    return 0;
  }
  int isCopyClientCacheDBClean(unsigned int, unsigned int, bool& clean) override {
    clean = true;
    return 0;
  }
  int setCopyClientCacheDBClean(unsigned int, unsigned int) override { return 0; }
  bool setCachDBLastArchFileId(unsigned int, unsigned long long, unsigned int) override {
    return true;
  }
  int isClientCacheDBDirty(unsigned int, int& dirty) override {
    dirty = 0;
    return 0;
  }
  int setClientCacheDBDirty(unsigned int, int) override { return 0; }
  int connectMediaManager(int) override { return 0; }
  int getAFsToRecopyForCopy(unsigned int, std::vector<MMAFToRecopy>& list, int& flags) override {
    list.clear();
    flags = 0;
    return 0;
  }
  unsigned long long getHubcellId() override { return 1; }
};

static bool BackUpOneBlock(const char* rootFolder) {
  EvDebug log;
  const unsigned int now = static_cast<unsigned int>(time(nullptr));

  _CCLDBTableManagerArgs args;
  args.rootFolderKey = rootFolder;  // an absolute path names the root itself
  args.SIDBStoreId = 1;
  args.jobId = 1;
  args.cldbId = 42;  // the client (application) id
  args.copyId = 1;
  args.evDebug = &log;
  args.sigType = 1;
  args.expiryDays = 30;
  args.backupStartTime = now;
  args.dbSizeMB = 4096;

  CCLDBTableManager manager;
  bool offline = false;
  if (manager.Initialize(args, offline) != 0) return false;

  CacheRecordRef block;
  memset(block.Signature, 0xAB, sizeof block.Signature);  // a real client signs the data
  block.size = 131072;
  block.ArchivingTime = now;
  block.archiveFileId = 1;
  manager.InsertSignature(&block, 1);

  CLDBQuerySignature query;
  query.record = block;
  manager.QuerySignature(&query, 1);
  printf("block %s\n", query.found ? "found: send a reference" : "not found: send the data");

  manager.Uninitialize(true);
  return query.found == 1;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s ROOT-FOLDER\n", argv[0]);
    return 2;
  }
  xercesc::XMLPlatformUtils::Initialize();  // once per process, by the host
  cldb::StorageBackend::Install(std::make_shared<OneArchiveFileStorage>());
  const bool found = BackUpOneBlock(argv[1]);
  xercesc::XMLPlatformUtils::Terminate();
  return found ? 0 : 1;
}
