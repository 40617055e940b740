// The smallest complete use of libcldb: open a client CLDB, insert the
// signature of one block, ask for it again, and close the CLDB.
#include <cldb/CLDBTableManager.h>
#include <platform/EvDebug.h>
#include <xercesc/util/PlatformUtils.hpp>

#include <cstdio>
#include <cstring>
#include <ctime>

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
  const bool found = BackUpOneBlock(argv[1]);
  xercesc::XMLPlatformUtils::Terminate();
  return found ? 0 : 1;
}
