// File handling for the fixed-cost benchmarks: copies of cached CLDB
// folders, the page-cache state a run starts from, and what the engine's
// file holds.
#pragma once

#include <cstdint>
#include <string>

namespace bench {

// Copies the regular files of folder `from` into `to` (made 0700 when
// missing), LMDB lock files excepted, and syncs each copy so that its pages
// are clean. false (with errno's text in *error) on failure.
bool CopyFolder(const std::string& from, const std::string& to, std::string* error);

// Page-cache states a timed run starts from, applied to every regular file of
// a folder: cold drops their pages (POSIX_FADV_DONTNEED after a sync; no
// root needed, and nothing else on the machine loses its cache); warm reads
// them whole.
void EvictFolder(const std::string& folder);
void WarmFolder(const std::string& folder);
void EvictFile(const std::string& path);

// Share of the file's pages that are in the page cache (mincore), 0 to 1;
// -1 when it cannot be told.
double ResidentShare(const std::string& path);

uint64_t FileBytes(const std::string& path);

// Entry counts of a closed engine file, read directly with LMDB (the engine's
// layout: "records", "index0" by crc64, "index1" by archive file).
struct EngineCounts {
  int64_t records = -1;
  int64_t crcEntries = -1;
  int64_t afileEntries = -1;
};
EngineCounts CountEntries(const std::string& dataFile);

double MonotonicSeconds();

}  // namespace bench
