// Sleep of the calling thread. Test builds may install a hook that replaces the
// real sleep (to shorten long waits); the hook sees the requested time.
#pragma once

void TKSLEEP_InTeRnAl(unsigned int milliseconds, const char* file, int line);

#if CLDB_TEST_HOOKS
using TkSleepHook = void (*)(unsigned int milliseconds);
// Test hook: installs `hook` (nullptr restores the real sleep); returns the
// previous one.
TkSleepHook TkSetSleepHook(TkSleepHook hook);
#endif

#define TKSLEEP(ms) TKSLEEP_InTeRnAl((ms), __FILE__, __LINE__)
