// The library's clock: seconds since the Unix epoch, narrowed to the low 32
// bits as every stored time is. Tests install a fixed or stepping clock.
#pragma once

#include "platform/Export.h"

#include <cstdint>

CLDB_EXPORT uint32_t ZelNow32();

using ZelClockHook = uint32_t (*)();
// Installs `hook` (nullptr restores time(NULL)); returns the previous one.
CLDB_EXPORT ZelClockHook ZelSetClockHook(ZelClockHook hook);
