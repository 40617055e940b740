// CldbLookup: what a dry run asks of a CLDB, read without changing it.
//
// The table is opened read-only, as the dump opens it, under the CLDB's
// folder lock, and nothing is stamped, re-pointed, inserted or expired. A
// block counts as found when the CLDB holds a live record with its
// signature and size that has neither expired nor aged out. This is an
// estimate of what a job would find: the job's own checks against the
// storage side's list of archive files (a lost or dropped archive file
// still in the CLDB) are not made, so a dry run may count as found a block
// that the job would store.
//
// A CLDB that is not there, or that its last job did not close cleanly
// (the job would start it empty), answers every block as a miss. Not
// thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

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

  // Opens the CLDB of `folder`; kExitInUse when another process holds it.
  // Any other reason it cannot answer leaves it answering misses; Why()
  // then says what it is.
  Outcome Open(const std::string& folder, const JobSettings& settings);
  // "" when the CLDB answers, else why every block misses.
  const std::string& Why() const { return why_; }
  bool Find(const unsigned char (&digest)[64], uint32_t size);

 private:
  bool Live(const _CacheRecord& record) const;

  std::unique_ptr<FolderLock> lock_;
  EvDebug log_;
  CCacheTable table_;
  bool open_ = false;
  std::string why_;
  uint32_t now_ = 0;
  JobSettings settings_;
};
