#include "Progress.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "Format.h"
#include "TextWidth.h"

namespace {

const std::chrono::milliseconds kRefresh(250);
const int kSchemaVersion = 1;
// A path gets the status line's rest only when at least this much is left.
const size_t kMinPathColumns = 8;

}  // namespace

Progress::Progress(Console& console, const JobCounters& counters, const cldb::TreeCount* count,
                   ProgressStyle style)
    : console_(console),
      counters_(counters),
      count_(count),
      style_(style),
      start_(std::chrono::steady_clock::now()) {}

Progress::~Progress() { Stop(); }

void Progress::Start() {
  if (style_ == ProgressStyle::kNone) return;
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
  if (style_ == ProgressStyle::kJson)
    Show("progress_end");
  else
    console_.ClearStatus();
}

void Progress::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, kRefresh, [this] { return stopping_; })) Show("progress");
}

void Progress::Show(const char* jsonType) {
  const Snapshot now = Take();
  if (style_ == ProgressStyle::kJson)
    console_.Print(JsonLine(now, jsonType));
  else
    console_.ShowStatus(TerminalLine(now));
}

Progress::Snapshot Progress::Take() const {
  Snapshot now;
  if (count_) now.totals = count_->Get();
  now.files = counters_.files.load(std::memory_order_relaxed);
  now.bytes = counters_.bytesRead.load(std::memory_order_relaxed);
  now.path = counters_.Path();
  now.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  now.rate = now.seconds > 0 ? static_cast<double>(now.bytes) / now.seconds : 0.0;
  const uint64_t left = now.totals.bytes - std::min(now.bytes, now.totals.bytes);
  now.eta = left == 0 ? 0.0 : (now.rate > 0 ? static_cast<double>(left) / now.rate : -1.0);
  return now;
}

std::string Progress::TerminalLine(const Snapshot& now) const {
  const std::string rate = fmt::Bytes(static_cast<uint64_t>(now.rate)) + "/s";
  std::string line;
  if (now.totals.done) {
    const uint64_t total = std::max<uint64_t>(now.totals.bytes, 1);
    const uint64_t percent = std::min<uint64_t>(now.bytes, total) * 100 / total;
    line = std::to_string(percent) + "%  " + fmt::Count(now.files) + "/" +
           fmt::Count(now.totals.files) + " files  " + fmt::Bytes(now.bytes) + "/" +
           fmt::Bytes(now.totals.bytes) + "  " + rate + "  ETA " +
           (now.eta < 0 ? std::string("?") : fmt::Elapsed(now.eta));
  } else {
    line = fmt::Count(now.files) + " files  " + fmt::Bytes(now.bytes) + "  " + rate + "  " +
           fmt::Elapsed(now.seconds);
  }
  // The last column stays free: writing into it wraps some terminals.
  const size_t width = static_cast<size_t>(std::max(Console::TerminalWidth() - 1, 0));
  const size_t used = cldb::DisplayWidth(line) + 2;
  if (!now.path.empty() && used + kMinPathColumns <= width)
    line += "  " + cldb::FitToWidth(cldb::Printable(now.path), width - used);
  return cldb::FitToWidth(line, width);
}

std::string Progress::JsonLine(const Snapshot& now, const char* type) {
  nlohmann::ordered_json line;
  line["schema_version"] = kSchemaVersion;
  line["type"] = type;
  line["files_done"] = now.files;
  line["bytes_done"] = now.bytes;
  line["files_total"] = now.totals.done ? nlohmann::ordered_json(now.totals.files) : nullptr;
  line["bytes_total"] = now.totals.done ? nlohmann::ordered_json(now.totals.bytes) : nullptr;
  line["elapsed_s"] = now.seconds;
  line["rate_bytes_per_s"] = now.rate;
  line["eta_s"] = now.totals.done && now.eta >= 0 ? nlohmann::ordered_json(now.eta) : nullptr;
  line["path"] = now.path;
  return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}
