// Progress: the live status line of a backup on a terminal: files, bytes
// read, blocks answered, hit rate, throughput and elapsed time, redrawn by a
// thread of its own at most four times a second. Stop erases the line, so
// the summary starts on a clean terminal. Callers only start it when
// standard error is a terminal: without one there is no progress output.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "Console.h"
#include "JobCounters.h"

// How a backup shows its progress: not at all, as a status line redrawn on
// the terminal, or as JSON lines on standard error.
enum class ProgressStyle { kNone, kTerminal, kJson };

class Progress {
 public:
  Progress(Console& console, const JobCounters& counters);
  ~Progress();  // Stop
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Start();
  void Stop();

 private:
  void Run();
  std::string Line() const;

  Console& console_;
  const JobCounters& counters_;
  const std::chrono::steady_clock::time_point start_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};
