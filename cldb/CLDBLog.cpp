#include "cldb/CLDBLog.h"

#include <cstdarg>

#include "platform/EvDebug.h"

namespace cldb {

void LogTo(EvDebug* log, int level, const char* format, ...) {
  if (log == nullptr) return;
  va_list args;
  va_start(args, format);
  log->vdebugLvl(level, nullptr, nullptr, format, args);
  va_end(args);
}

}  // namespace cldb
