// Sleep of the calling thread. Tests may install a hook that replaces the
// real sleep (to shorten long waits); the hook sees the requested time.
#pragma once

#include "platform/Export.h"

CLDB_EXPORT void TKSLEEP_InTeRnAl(unsigned int milliseconds, const char* file, int line);

using TkSleepHook = void (*)(unsigned int milliseconds);
// Installs `hook` (nullptr restores the real sleep); returns the previous one.
CLDB_EXPORT TkSleepHook TkSetSleepHook(TkSleepHook hook);

#define TKSLEEP(ms) TKSLEEP_InTeRnAl((ms), __FILE__, __LINE__)
