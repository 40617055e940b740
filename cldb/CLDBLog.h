// The library's objects log through the EvDebug their caller gave them,
// which may not be set yet (before Initialize): nothing is written then.
#pragma once

#include "cldb/Export.h"

class EvDebug;

namespace cldb {

void LogTo(EvDebug* log, int level, const char* format, ...) CLDB_PRINTF(3, 4);

}  // namespace cldb
