#include "platform/engine/EngineLog.h"

#include <lmdb.h>
#include <stdio.h>
#include <string.h>

namespace cldb {

int EngineLog::Lmdb(int rc) {
  if (rc == 0) return 0;
  if (rc == MDB_NOTFOUND) return TCT_NOT_FOUND;
  lastError_ = rc;
  if (rc == MDB_CORRUPTED || rc == MDB_PAGE_NOTFOUND || rc == MDB_INVALID ||
      rc == MDB_CURSOR_FULL || rc == MDB_VERSION_MISMATCH || rc == MDB_INCOMPATIBLE)
    return Corrupt("TCtreeTable", mdb_strerror(rc));
  return TCT_LMDB;
}

int EngineLog::Io(int error) {
  lastError_ = error;
  return TCT_IO;
}

int EngineLog::Corrupt(const char* name, const char* reason) {
  damageSeen_ = true;
  owner_.debug(-1, "%s: [ERROR] %s is damaged or not a table file: %s", name, dataFile_.c_str(),
               reason);
  return TCT_CORRUPT;
}

int EngineLog::Untrusted(const char* name, const char* reason) {
  owner_.debug(-1, "%s: [ERROR] %s is refused: %s", name, dataFile_.c_str(), reason);
  return TCT_CORRUPT;
}

int EngineLog::Report(const char* name, int rc) {
  if (rc == TCT_LMDB || rc == TCT_IO)
    owner_.debug(-1, "%s: [ERROR] %s: %s", name, dataFile_.c_str(), ErrorText(rc));
  return rc;
}

const char* EngineLog::ErrorText(int code) {
  switch (code) {
    case TCT_OK:
      return "success";
    case TCT_NOT_FOUND:
      return "no record found";
    case TCT_NO_CURRENT:
      return "no current record or walk";
    case TCT_NOT_OPEN:
      return "table not open";
    case TCT_ALREADY_OPEN:
      return "table already open";
    case TCT_SCHEMA:
      return "schema declaration invalid or incomplete";
    case TCT_SCHEMA_MISMATCH:
      return "table file was created under another schema";
    case TCT_EXISTS:
      return "table file already exists";
    case TCT_NO_FILE:
      return "table file does not exist";
    case TCT_CORRUPT:
      return "table file damaged, truncated, foreign or not closed cleanly";
    case TCT_BAD_KEY:
      return "key does not fit or bad set length";
    case TCT_BATCH:
      return "batch misuse";
    case TCT_READ_ONLY:
      return "table opened read-only";
    case TCT_ARGUMENT:
      return "invalid argument";
    case TCT_BUSY:
      return "table file in use by another table object";
    case TCT_IO:
      snprintf(errText_, sizeof(errText_), "file system error: %s", strerror(lastError_));
      return errText_;
    case TCT_LMDB:
      snprintf(errText_, sizeof(errText_), "LMDB error %d: %s", lastError_,
               mdb_strerror(lastError_));
      return errText_;
    default:
      snprintf(errText_, sizeof(errText_), "unknown engine code %d", code);
      return errText_;
  }
}

}  // namespace cldb
