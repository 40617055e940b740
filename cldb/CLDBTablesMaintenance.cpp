// CCLDBTables: compaction on request and the CSV dump, both on a CLDB folder
// that this instance has not opened.

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "cldb/CLDBLog.h"
#include "cldb/CLDBNames.h"
#include "cldb/CLDBTables.h"
#include "platform/CTkFile.h"
#include "platform/Clock.h"
#include "platform/EvDebug.h"
#include "platform/FileIo.h"
#include "platform/TCtreeTable.h"

using cldb::LogTo;

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

// Bytes of dump text gathered before they go to the file.
const size_t kDumpChunk = 64 * 1024;

void AppendDumpLine(std::string& text, const _CacheRecord& r) {
  char line[256];
  const int n = snprintf(
      line, sizeof line, "%llu , %llu , %u , %u , %u , %u , %u , %u , %u , %llu\n",
      static_cast<unsigned long long>(r.crc64), static_cast<unsigned long long>(r.size),
      r.tagHdrCount, r.ArchivingTime, r.archiveFileId, r.Flags, r.LastUpdateTime, r.InsertedTime,
      static_cast<unsigned int>(r.subStoreID), static_cast<unsigned long long>(r.reserved2));
  text.append(line, static_cast<size_t>(n));
}

// Writes out and empties `text`; false once a write has failed.
bool FlushDumpText(CTkFile& out, std::string& text) {
  const bool written =
      !out.Write(text.data(), static_cast<unsigned int>(text.size()), nullptr).IsError();
  text.clear();
  return written;
}

// Creates the dump file in the working folder: a new file only, never
// through a link, readable by its owner alone. `name` receives the name
// tried last.
bool CreateDumpFile(uint32_t now, CTkFile& out, std::string& name) {
  const int kMaxTries = 1000;
  for (int n = 0; n < kMaxTries; ++n) {
    name = "CLDBDump_" + std::to_string(now) + (n ? "_" + std::to_string(n) : "") + ".csv";
    const CTkError err = out.Open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (!err.IsError()) return true;
    if (err.GetErrorCode() != -EEXIST) return false;
  }
  return false;
}

}  // namespace

int CCLDBTables::PrepareClosedTable(EvDebug* debug, const char* folder, const char* name) {
  evDebug = debug;
  if (opened) {
    LogTo(evDebug, -1, "%s: CacheTable already opened (%s)", name, cldbPath.c_str());
    return -1;
  }
  cldbPath = folder;
  cacheTable.Initialize(1, kMaintenanceSigType, evDebug, kMaintenanceAge, kMaintenanceExpiryDays,
                        kMaintenanceBackupStart, isAuxCopy);
  const std::string tablePath = std::string(folder) + "/" + cldb::kTableBaseName;
  if (cacheTable.initialize(tablePath.c_str()) != 0) {
    LogTo(evDebug, -1, "%s: CacheTable initialization (%s) Failed", name, cldbPath.c_str());
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
    LogTo(evDebug, -1, "%s: CacheTable Compact-DB (%s) Failed", kName, cldbPath.c_str());
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
    LogTo(evDebug, -1, "%s: CacheTable open (%s) Failed. (May be corrupted[or]not found)", kName,
          cldbPath.c_str());
    return -1;
  }

  std::string fileName;
  CTkFile out;
  if (!CreateDumpFile(ZelNow32(), out, fileName)) {
    printf("\nDumpCache: File Create failed -[%s]", fileName.c_str());
    LogTo(evDebug, -1, "DumpCache: File Create failed - %s", fileName.c_str());
    cacheTable.close();
    return -1;
  }
  LogTo(evDebug, -1, "Dumping cache table records in to [%s]", fileName.c_str());
  printf("\nDumping cache table records in to [%s]", fileName.c_str());
  std::string text = kDumpHeader;
  bool written = true;
  int rc = cacheTable.FindFirstRecord();
  for (; rc == 0 && written; rc = cacheTable.FindNextRecord()) {
    AppendDumpLine(text, *cacheTable.getRecordPointer());
    if (text.size() >= kDumpChunk) written = FlushDumpText(out, text);
  }
  cacheTable.close();
  // A failed walk or a full disk must not pass for a complete dump, nor
  // leave a partial one behind.
  bool failed = rc == -2;
  if (failed) {
    LogTo(evDebug, -1, "%s: Reading the records failed(%s)", kName, cldbPath.c_str());
  } else if (!written || !FlushDumpText(out, text) || out.Close().IsError()) {
    failed = true;
    LogTo(evDebug, -1, "DumpCache: File write failed - %s", fileName.c_str());
  }
  if (failed) {
    out.Close();
    cldb::io::Unlink(fileName.c_str());
    printf("\nDumping cache table records failed.\n");
    return -1;
  }
  printf("\nDumping cache table records Completed.\n");
  return 0;
}
