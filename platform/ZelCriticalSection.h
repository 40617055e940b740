// ZelCriticalSection: the recursive in-process lock of a CLDB instance.
#pragma once

#include <mutex>

// The platform critical-section object.
struct ZelCriticalSectionH {
  std::recursive_mutex mutex;
};

class ZelCriticalSection {
 public:
  // Throws the text "Not enough memory to initialize ZelCriticalSection"
  // (as const char*) when the platform object cannot be made.
  ZelCriticalSection();
  ~ZelCriticalSection();
  ZelCriticalSection(const ZelCriticalSection&) = delete;
  ZelCriticalSection& operator=(const ZelCriticalSection&) = delete;

  // Returns holding the section; the holding thread may enter again.
  // Every enter is matched by one leave.
  void enter(bool wait = true);
  void leave();

 private:
  ZelCriticalSectionH* handle_;
};

// Holds a ZelCriticalSection for the life of the guard.
class ZelCriticalSectionGuard {
 public:
  explicit ZelCriticalSectionGuard(ZelCriticalSection& cs) : cs_(cs) { cs_.enter(true); }
  ~ZelCriticalSectionGuard() { cs_.leave(); }
  ZelCriticalSectionGuard(const ZelCriticalSectionGuard&) = delete;
  ZelCriticalSectionGuard& operator=(const ZelCriticalSectionGuard&) = delete;

 private:
  ZelCriticalSection& cs_;
};
