// Test hook: capture of what EvDebug logs. The sinks exist in every build
// (a line checks for one without a lock); only builds configured with
// CLDB_TEST_HOOKS can attach one, and this header is not installed.
#pragma once

#include <functional>
#include <string>

class EvDebug;

namespace cldb {
namespace hooks {

// Receives the level and the message text (without the line prefix) of
// every message, whatever the threshold. Sinks run outside every lock.
using LogSink = std::function<void(int level, const std::string& message)>;

#if CLDB_TEST_HOOKS
// Per-object sink; nullptr detaches it.
void SetLogSink(EvDebug& log, LogSink sink);
// Process-wide sink, seen by every EvDebug (those the library makes for
// itself too); nullptr detaches it.
void SetGlobalLogSink(LogSink sink);
#endif

}  // namespace hooks
}  // namespace cldb
