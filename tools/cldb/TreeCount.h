// TreeCount: the files and bytes a backup's walk will meet, counted ahead of
// it on a thread of its own by a TreeWalker with the backup's rules (files
// are examined, never opened), so that the progress display can show how
// much is done and estimate what is left. The totals are an estimate: the
// tree may change between the count and the backup.
//
// Start and Stop belong to the owner's thread; Get may be called from any.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "TreeWalker.h"

namespace cldb {

class TreeCount {
 public:
  struct Totals {
    bool done = false;  // the whole tree was counted: files and bytes are final
    uint64_t files = 0;
    uint64_t bytes = 0;
  };

  TreeCount(std::vector<std::string> paths, TreeWalker::Rules rules);
  ~TreeCount();  // Stop
  TreeCount(const TreeCount&) = delete;
  TreeCount& operator=(const TreeCount&) = delete;

  void Start();
  // Waits for the count to finish.
  void Wait();
  // Ends the count, finished or not, and waits for its thread.
  void Stop();
  Totals Get() const;

 private:
  void Run();

  const std::vector<std::string> paths_;
  TreeWalker::Rules rules_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> done_{false};
  std::atomic<uint64_t> files_{0};
  std::atomic<uint64_t> bytes_{0};
  std::thread thread_;
};

}  // namespace cldb
