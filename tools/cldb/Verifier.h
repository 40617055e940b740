// Verifier: reads back every block that some jobs reference, from every
// pack that holds a copy of it, and checks each copy against the block's
// signature (SHA-512 of its data). A block is missing when no pack holds
// it, damaged when no copy checks out; either breaks the files that use it.
//
// Copies are read in pack order, on several threads each with its own
// reader. The blocks the jobs reference are kept in memory while it runs
// (about 150 bytes each).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "storage/SqliteStorageBackend.h"

class Verifier {
 public:
  struct BrokenFile {
    uint32_t jobId;
    std::string path;
  };
  struct Problem {
    std::string signature;  // hex
    uint32_t size = 0;
    bool missing = false;              // no pack holds it; else every copy is damaged
    std::vector<std::string> details;  // what is wrong with each copy
    std::vector<BrokenFile> files;
  };
  struct Result {
    uint64_t files = 0;
    uint64_t blocks = 0;  // distinct blocks referenced
    uint64_t copies = 0;  // copies read
    uint64_t bytes = 0;   // of the blocks referenced
    std::vector<Problem> problems;
    std::vector<std::string> damagedPacks;  // packs with a copy that did not check out
  };

  Verifier(cldb::SqliteStorageBackend& storage, unsigned threads);
  // 0, or -1 with `error` set when the store cannot be read at all.
  int Run(const std::vector<cldb::SqliteStorageBackend::JobInfo>& jobs, Result& result,
          std::string& error);

 private:
  cldb::SqliteStorageBackend& storage_;
  const unsigned threads_;
};
