// CldbLookup: what a dry run asks of a CLDB, read without changing it.
//
// The table is opened read-only, as the dump opens it, under the CLDB's
// folder lock, and nothing is stamped, re-pointed, inserted or expired. A
// block counts as found when the CLDB holds a live record with its
// signature and size that has neither expired nor aged out and whose
// archive file the storage side still lists as valid for the CLDB's client
// and copy: the list a job would trust, read from the root's storage
// database (opened read-only) after the lock is taken, as a job reads it.
//
// A CLDB that is not there, or that its last job did not close cleanly
// (the job would start it empty), answers every block as a miss; so does
// one whose storage database is missing or unreadable (no archive file is
// known valid), or whose copy has a mount path offline (a job would not
// deduplicate). Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>

#include "CldbIdentity.h"
#include "JobSession.h"
#include "Outcome.h"
#include "cldb/CacheTable.h"
#include "platform/EvDebug.h"

class CldbLookup {
 public:
  CldbLookup() = default;
  ~CldbLookup();
  CldbLookup(const CldbLookup&) = delete;
  CldbLookup& operator=(const CldbLookup&) = delete;

  // Opens the CLDB of `identity` in the root folder `root`; kExitInUse when
  // another process holds it. Any other reason it cannot answer leaves it
  // answering misses; Why() then says what it is.
  Outcome Open(const std::string& root, const CldbIdentity& identity, const JobSettings& settings);
  // "" when the CLDB answers, else why every block misses.
  const std::string& Why() const { return why_; }
  bool Find(const unsigned char (&digest)[64], uint32_t size);

 private:
  static uint32_t JobStart(uint32_t newestStamp);
  bool Live(const _CacheRecord& record) const;
  // Reads the valid archive files into valid_; false (why_ set) when the
  // CLDB is to answer misses.
  bool ReadValidArchiveFiles(const std::string& root, const CldbIdentity& identity);

  std::unique_ptr<FolderLock> lock_;
  EvDebug log_;
  CCacheTable table_;
  bool open_ = false;
  std::string why_;
  uint32_t start_ = 0;  // when a job starting now would start
  JobSettings settings_;
  std::unordered_set<uint32_t> valid_;
};
