// Progress: how far a backup has come, shown by a thread of its own at most
// four times a second: files and bytes done, the rate, the elapsed time and
// the file being read; once the tree's count (TreeCount) is complete, also
// the totals, the share done and the time left.
//
// On a terminal it is one status line on standard error, fitted to the
// terminal's width by cutting the path in its middle, and erased by Stop so
// that the summary starts on a clean line. As JSON it is one object per
// line on standard error ("type": "progress"), ended by Stop with a last
// one ("type": "progress_end"). Sizes are binary (KiB, MiB/s); the time
// left assumes the average rate so far.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "Console.h"
#include "JobCounters.h"
#include "TreeCount.h"

// How a backup shows its progress: not at all, as a status line redrawn on
// the terminal, or as JSON lines on standard error.
enum class ProgressStyle { kNone, kTerminal, kJson };

class Progress {
 public:
  // `count` (null: no totals) must outlive the object.
  Progress(Console& console, const JobCounters& counters, const cldb::TreeCount* count,
           ProgressStyle style);
  ~Progress();  // Stop
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Start();
  void Stop();

 private:
  // One look at the counters.
  struct Snapshot {
    uint64_t files = 0;
    uint64_t bytes = 0;
    cldb::TreeCount::Totals totals;
    double seconds = 0;
    double rate = 0;  // bytes per second
    double eta = 0;   // seconds left, -1 before any byte was read; meaningful when totals.done
    std::string path;
  };

  void Run();
  void Show(const char* jsonType);
  Snapshot Take() const;
  std::string TerminalLine(const Snapshot& now) const;
  static std::string JsonLine(const Snapshot& now, const char* type);

  Console& console_;
  const JobCounters& counters_;
  const cldb::TreeCount* const count_;
  const ProgressStyle style_;
  const std::chrono::steady_clock::time_point start_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};
