// CCLDBTables: compaction on request and the CSV dump, both on a CLDB folder
// that this instance has not opened.

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "cldb/CLDBNames.h"
#include "cldb/CLDBTables.h"
#include "platform/Clock.h"
#include "platform/EvDebug.h"
#include "platform/TCtreeTable.h"

namespace {

// Settings handed to the cache table for maintenance; none of them matters
// to compaction or dump.
const int kMaintenanceSigType = 4;
const unsigned int kMaintenanceAge = 12345;
const unsigned int kMaintenanceExpiryDays = 90;
const unsigned int kMaintenanceBackupStart = 45;

const char kDumpHeader[] =
    "crc64,size,tagHdrCount,archivingTime,archiveFileId,flags,LastUpdateTime,InsertedTime,"
    "subStoreID,reserved2\n";

void WriteDumpLine(FILE* out, const _CacheRecord& r) {
  fprintf(out, "%llu , %llu , %u , %u , %u , %u , %u , %u , %u , %llu\n",
          static_cast<unsigned long long>(r.crc64), static_cast<unsigned long long>(r.size),
          r.tagHdrCount, r.ArchivingTime, r.archiveFileId, r.Flags, r.LastUpdateTime,
          r.InsertedTime, static_cast<unsigned int>(r.subStoreID),
          static_cast<unsigned long long>(r.reserved2));
}

// Creates the dump file in the working folder: a new file only, never
// through a link, readable by its owner alone. `name` receives the name
// tried last.
FILE* CreateDumpFile(uint32_t now, std::string& name) {
  const int kMaxTries = 1000;
  for (int n = 0; n < kMaxTries; ++n) {
    name = "CLDBDump_" + std::to_string(now) + (n ? "_" + std::to_string(n) : "") + ".csv";
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      FILE* out = fdopen(fd, "w");
      if (out == nullptr) close(fd);
      return out;
    }
    if (errno != EEXIST) return nullptr;
  }
  return nullptr;
}

}  // namespace

int CCLDBTables::PrepareClosedTable(EvDebug* debug, const char* folder, const char* name) {
  evDebug = debug;
  if (opened) {
    Log(-1, "%s: CacheTable already opened (%s)", name, cldbPath.c_str());
    return -1;
  }
  cldbPath = folder;
  cacheTable.Initialize(1, kMaintenanceSigType, evDebug, kMaintenanceAge, kMaintenanceExpiryDays,
                        kMaintenanceBackupStart, isAuxCopy);
  const std::string tablePath = std::string(folder) + "/" + cldb::kTableBaseName;
  if (cacheTable.initialize(tablePath.c_str()) != 0) {
    Log(-1, "%s: CacheTable initialization (%s) Failed", name, cldbPath.c_str());
    return -1;
  }
  return ClaimFolder(name, false);
}

int CCLDBTables::CompactCacheTable(EvDebug* debug, const char* folder) {
  static const char kName[] = "CCLDBTables::CompactCacheTable()";
  if (PrepareClosedTable(debug, folder, kName) != 0) return -1;  // rewrites: claim needed
  const int rc = cacheTable.MakeCompactDB();
  ReleaseClaim();
  if (rc != 0) {
    Log(-1, "%s: CacheTable Compact-DB (%s) Failed", kName, cldbPath.c_str());
    return -1;
  }
  return 0;
}

int CCLDBTables::DumpCacheTable(EvDebug* debug, const char* folder) {
  static const char kName[] = "CCLDBTables::DumpCacheTable()";
  // A read-only dump may do without the claim where it cannot be made (in
  // a folder the caller may not write): a table open for changes has no
  // seal, so the dump could not open it anyway.
  const int prepared = PrepareClosedTable(debug, folder, kName);
  if (prepared != 0 && prepared != kClaimUnavailable) return -1;
  const int rc = DumpClaimed(kName);
  ReleaseClaim();
  return rc;
}

int CCLDBTables::DumpClaimed(const char* kName) {
  // Read-only: the seal stays, so a dump that is killed leaves the CLDB as
  // it found it, and a folder the caller may not write can be dumped.
  if (cacheTable.Open(ZelIndexing::kReadOnly) != 0) {
    Log(-1, "%s: CacheTable open (%s) Failed. (May be corrupted[or]not found)", kName,
        cldbPath.c_str());
    return -1;
  }

  std::string fileName;
  FILE* out = CreateDumpFile(ZelNow32(), fileName);
  if (out == nullptr) {
    printf("\nDumpCache: File Create failed -[%s]", fileName.c_str());
    Log(-1, "DumpCache: File Create failed - %s", fileName.c_str());
    cacheTable.close();
    return -1;
  }
  Log(-1, "Dumping cache table records in to [%s]", fileName.c_str());
  printf("\nDumping cache table records in to [%s]", fileName.c_str());
  fputs(kDumpHeader, out);

  int rc = cacheTable.FindFirstRecord();
  if (rc == -2) {
    Log(-1, "%s: FindFirstRecord failed(%s)", kName, cldbPath.c_str());
    fclose(out);
    printf("\nDumping cache table records failed.\n");
    cacheTable.close();
    return -1;
  }
  for (; rc == 0; rc = cacheTable.FindNextRecord())
    WriteDumpLine(out, *cacheTable.getRecordPointer());
  cacheTable.close();

  // A full disk must not pass for a complete dump.
  const bool written = !ferror(out);
  if (fclose(out) != 0 || !written) {
    Log(-1, "DumpCache: File write failed - %s", fileName.c_str());
    printf("\nDumping cache table records failed.\n");
    return -1;
  }
  printf("\nDumping cache table records Completed.\n");
  return 0;
}
