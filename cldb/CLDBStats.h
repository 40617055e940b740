// Race-free access to the counters of _stCLDBStates.
//
// The counters are written only by the thread that holds the instance's
// critical section, but GetStats reads them from any thread without it.
// Relaxed atomic loads and stores on the plain 32-bit fields make that
// concurrent read well-defined without a lock or a locked instruction on the
// query path (on x86-64 both compile to ordinary moves).
#pragma once

#include "cldb/CLDBTypes.h"

namespace cldb {

inline void Bump(uint32_t& counter) {
  __atomic_store_n(&counter, __atomic_load_n(&counter, __ATOMIC_RELAXED) + 1, __ATOMIC_RELAXED);
}

// The ten counters in their declared order.
inline constexpr uint32_t _stCLDBStates::*kCounters[10] = {
    &_stCLDBStates::crcNotFound,
    &_stCLDBStates::aged,
    &_stCLDBStates::expired,
    &_stCLDBStates::mismatchedTagCount,
    &_stCLDBStates::mismatchedDataSize,
    &_stCLDBStates::mismatchedSignature,
    &_stCLDBStates::insertedByThisJob,
    &_stCLDBStates::expiredInThisJob,
    &_stCLDBStates::foundPruned,
    &_stCLDBStates::offlineSubstores,
};

inline void Reset(_stCLDBStates& s) {
  for (auto m : kCounters) __atomic_store_n(&(s.*m), 0u, __ATOMIC_RELAXED);
}

inline void Snapshot(const _stCLDBStates& from, _stCLDBStates& to) {
  for (auto m : kCounters) to.*m = __atomic_load_n(&(from.*m), __ATOMIC_RELAXED);
}

static_assert(sizeof(_stCLDBStates) == 10 * sizeof(uint32_t), "ten packed counters");

}  // namespace cldb
