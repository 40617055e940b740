#include "cldb/StorageBackend.h"

#include <mutex>

namespace cldb {
namespace {

struct BackendSlot {
  std::mutex mutex;
  std::shared_ptr<StorageBackend> backend;
};

BackendSlot& Slot() {
  static BackendSlot* slot = new BackendSlot;  // never destroyed: see ZelAssert.cpp
  return *slot;
}

}  // namespace

StorageBackend::~StorageBackend() = default;

std::shared_ptr<StorageBackend> StorageBackend::Current() {
  BackendSlot& slot = Slot();
  std::lock_guard<std::mutex> lock(slot.mutex);
  return slot.backend;
}

std::shared_ptr<StorageBackend> StorageBackend::Install(std::shared_ptr<StorageBackend> backend) {
  BackendSlot& slot = Slot();
  std::lock_guard<std::mutex> lock(slot.mutex);
  slot.backend.swap(backend);
  return backend;
}

}  // namespace cldb
