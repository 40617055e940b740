#include "Progress.h"

#include <cstdio>

#include "Format.h"

namespace {
const std::chrono::milliseconds kRefresh(250);
}

Progress::Progress(Console& console, const JobCounters& counters)
    : console_(console), counters_(counters), start_(std::chrono::steady_clock::now()) {}

Progress::~Progress() { Stop(); }

void Progress::Start() {
  thread_ = std::thread([this] { Run(); });
}

void Progress::Stop() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (!thread_.joinable()) return;
  thread_.join();
  console_.ClearStatus();
}

void Progress::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, kRefresh, [this] { return stopping_; })) {
    std::string line = Line();
    const size_t width = static_cast<size_t>(Console::TerminalWidth() - 1);
    if (line.size() > width) line.resize(width);
    console_.ShowStatus(line);
  }
}

std::string Progress::Line() const {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const uint64_t bytes = counters_.bytesRead.load(std::memory_order_relaxed);
  const uint64_t blocks = counters_.blocks.load(std::memory_order_relaxed);
  const uint64_t hits = counters_.hits.load(std::memory_order_relaxed);
  char rates[64];
  std::snprintf(rates, sizeof(rates), "%.1f%% hits  %.1f MiB/s",
                blocks ? 100.0 * static_cast<double>(hits) / static_cast<double>(blocks) : 0.0,
                fmt::MebibytesPerSecond(bytes, seconds));
  return fmt::Count(counters_.files.load(std::memory_order_relaxed)) + " files  " +
         fmt::Bytes(bytes) + "  " + fmt::Count(blocks) + " blocks  " + rates + "  " +
         fmt::Elapsed(seconds);
}
