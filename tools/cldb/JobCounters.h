// The running totals of one backup, shared by the hashing threads, the job
// thread and the progress display. Each is written by one kind of thread and
// read by the others, so relaxed atomics suffice: a reader needs a recent
// value, not one consistent with the other counters.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

struct JobCounters {
  // Written by the hashing threads.
  std::atomic<uint64_t> files{0};       // regular files met
  std::atomic<uint64_t> unreadable{0};  // files and folders that could not be read
  std::atomic<uint64_t> bytesRead{0};
  // Written by the job thread.
  std::atomic<uint64_t> blocks{0};  // blocks answered (hits + misses)
  std::atomic<uint64_t> hits{0};
  std::atomic<uint64_t> misses{0};
  std::atomic<uint64_t> bytesNotSent{0};  // data of the hits
  std::atomic<uint64_t> bytesStored{0};   // data of the misses

  // The file the hashing threads reached last, for the progress display.
  void SetPath(const std::string& path) {
    std::lock_guard<std::mutex> guard(pathMutex_);
    path_ = path;
  }
  std::string Path() const {
    std::lock_guard<std::mutex> guard(pathMutex_);
    return path_;
  }

 private:
  mutable std::mutex pathMutex_;
  std::string path_;
};
