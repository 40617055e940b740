#include "platform/ZelCriticalSection.h"

#include <new>

ZelCriticalSection::ZelCriticalSection() {
  try {
    handle_ = new ZelCriticalSectionH;
  } catch (const std::bad_alloc&) {
    throw "Not enough memory to initialize ZelCriticalSection";
  }
}

ZelCriticalSection::~ZelCriticalSection() { delete handle_; }

// `wait` is always true at the call sites: enter returns holding the section.
void ZelCriticalSection::enter(bool /*wait*/) { handle_->mutex.lock(); }

void ZelCriticalSection::leave() { handle_->mutex.unlock(); }
