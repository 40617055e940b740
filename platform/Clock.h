// The library's clock: seconds since the Unix epoch, narrowed to the low 32
// bits as every stored time is. Test builds may install a fixed or stepping
// clock.
#pragma once

#include <cstdint>

uint32_t ZelNow32();

#if CLDB_TEST_HOOKS
using ZelClockHook = uint32_t (*)();
// Test hook: installs `hook` (nullptr restores time(NULL)); returns the
// previous one.
ZelClockHook ZelSetClockHook(ZelClockHook hook);
#endif
