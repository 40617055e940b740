// Times of a CLDB: the low 32 bits of seconds since the Unix epoch, which
// wrap in February 2106. Two times are ordered as serial numbers: `a` is
// before `b` when `b` lies less than 2^31 seconds after it, so a record
// stamped just before the wrap is still older than a job that starts just
// after it. Ages are plain unsigned differences and wrap the same way.
#pragma once

#include <cstdint>

namespace cldb {

inline bool Before(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }

inline uint32_t Later(uint32_t a, uint32_t b) { return Before(a, b) ? b : a; }

// Seconds added to every age a query measures, so that a record stamped a
// little after the job's start still counts as fresh.
constexpr uint32_t kTimeTolerance = 600;
// How far the CLDB's time may run ahead of the clock (after the clock was
// set back) before a job lowers the stamps ahead of it instead of starting
// after them. Below kTimeTolerance.
constexpr uint32_t kMaxLeadSeconds = 300;

}  // namespace cldb
