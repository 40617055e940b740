// The key filters of filtered indexes, kept in the table file so that an
// open reads them instead of walking their indexes.
//
// In the meta database, for filtered index i: "filter<i>" holds the
// filter's geometry (and its own CRC-64); "filter<i>/" followed by a chunk
// number (8 bytes, big-endian) holds that chunk of the filter's blocks,
// followed by their CRC-64. The close of a session that changed a filter
// rewrites its header and the chunks that changed, in the session's last
// commit: a sealed file's filters hold every key its indexes hold. A filter
// that is missing or fails a check is rebuilt from its index: it only ever
// saves work (platform/KeyFilter.h).
#pragma once

#include <lmdb.h>

#include "platform/KeyFilter.h"

namespace cldb {

// Reads index `index`'s stored filter; false (the filter then empty) when
// it is missing or damaged.
bool LoadFilter(MDB_txn* txn, MDB_dbi meta, int index, KeyFilter* filter);
// Stores what changed of `filter` since it was loaded or last stored, and
// drops chunks a larger filter of the index left. An LMDB code.
int StoreFilter(MDB_txn* txn, MDB_dbi meta, int index, KeyFilter* filter);
// Drops index `index`'s stored filter (its index was rebuilt). An LMDB code.
int DropFilter(MDB_txn* txn, MDB_dbi meta, int index);

}  // namespace cldb
