#include "TreeCount.h"

namespace cldb {

TreeCount::TreeCount(std::vector<std::string> paths, TreeWalker::Rules rules)
    : paths_(std::move(paths)), rules_(std::move(rules)) {
  rules_.openFiles = false;
}

TreeCount::~TreeCount() { Stop(); }

void TreeCount::Start() {
  thread_ = std::thread([this] { Run(); });
}

void TreeCount::Wait() {
  if (thread_.joinable()) thread_.join();
}

void TreeCount::Stop() {
  stopping_.store(true, std::memory_order_relaxed);
  if (thread_.joinable()) thread_.join();
}

TreeCount::Totals TreeCount::Get() const {
  Totals totals;
  // Acquire: once done is seen, the final counts are.
  totals.done = done_.load(std::memory_order_acquire);
  totals.files = files_.load(std::memory_order_relaxed);
  totals.bytes = bytes_.load(std::memory_order_relaxed);
  return totals;
}

void TreeCount::Run() {
  TreeWalker walker(paths_, rules_);
  for (;;) {
    if (stopping_.load(std::memory_order_relaxed)) return;
    const TreeWalker::Entry entry = walker.Next();
    if (entry.kind == TreeWalker::kDone) break;
    if (entry.kind != TreeWalker::kFile) continue;
    files_.fetch_add(1, std::memory_order_relaxed);
    bytes_.fetch_add(entry.size, std::memory_order_relaxed);
  }
  done_.store(true, std::memory_order_release);
}

}  // namespace cldb
