// Symbol visibility for libcldb. The library is built with hidden visibility
// by default; only classes and functions marked CLDB_EXPORT are part of the
// shared object's interface.
#pragma once

#define CLDB_EXPORT __attribute__((visibility("default")))
#define CLDB_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
