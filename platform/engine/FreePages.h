// Pages that LMDB counts but never wrote.
//
// LMDB's newest meta page counts every page up to its last page number, but
// the file may end before that last page: a page that a transaction took
// and gave back before committing (a "loose" page) is recorded as free and
// never written, so when it stood at the end, the file stops short of it
// (LMDB's own copy clamps its length to the file's for that reason). Such a
// page is never read, and a transaction that takes it again writes it. Every
// page LMDB counts is either in one of its trees or on its free list, so a
// file that ends early is whole exactly when every page past its end is
// free.
//
// The free list is read through RawLmdbFile (LmdbLayout.h), never through
// LMDB's map: a truncated file whose list itself lies past the end is then
// refused instead of faulting on a read of the map.
#pragma once

#include <lmdb.h>

#include <cstdint>
#include <string>

namespace cldb {

// Whether every page from `filePages` (the pages the file holds) to
// `info.me_last_pgno` is on the free list of the LMDB file behind `fd`,
// whose pages are `pageSize` bytes and whose newest meta page is the one
// `info` reports. 0 when they all are; otherwise why not in *reason:
// -1 for a file that cannot be read that way, errno for a failed read.
int CheckPagesPastEndAreFree(int fd, unsigned pageSize, uint64_t filePages, const MDB_envinfo& info,
                             std::string* reason);

}  // namespace cldb
