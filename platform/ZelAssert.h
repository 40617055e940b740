// zelassert: the assertion hook. It logs the failed expression (at level -1
// through the default EvDebug destination), counts it, and returns; every
// call site goes on after it.
#pragma once

void zelassert(const char* expression, const char* source, const char* function, int line);
// Number of assertions raised in this process (for tests).
unsigned long zelassertCount();

#define ZELASSERT(cond, source)                                             \
  do {                                                                      \
    if (!(cond)) zelassert(#cond, (source), __PRETTY_FUNCTION__, __LINE__); \
  } while (0)
