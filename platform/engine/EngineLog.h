// EngineLog: how the engine's parts turn LMDB results and errno values into
// engine codes, and log the failures a caller cannot tell apart by code.
// One per table object; it keeps the LMDB code or errno behind the last
// TCT_LMDB or TCT_IO for errToString.
#pragma once

#include <string>

#include "platform/TCtreeTable.h"

namespace cldb {

class EngineLog {
 public:
  // `dataFile` names the table file in messages; it must outlive the log.
  EngineLog(TDebuggable& owner, const std::string& dataFile) : owner_(owner), dataFile_(dataFile) {}
  EngineLog(const EngineLog&) = delete;
  EngineLog& operator=(const EngineLog&) = delete;

  TDebuggable& owner() { return owner_; }
  const std::string& dataFile() const { return dataFile_; }

  // 0, TCT_NOT_FOUND, TCT_CORRUPT (damage LMDB found, logged) or TCT_LMDB.
  int Lmdb(int rc);
  int Io(int error);  // TCT_IO, not logged
  // The file is damaged or not a table file (logged; TCT_CORRUPT). Noted:
  // see damageSeen().
  int Corrupt(const char* name, const char* reason);
  // Whether Corrupt was called since the last ForgetDamage.
  bool damageSeen() const { return damageSeen_; }
  void ForgetDamage() { damageSeen_ = false; }
  // The file looks well-formed but is not trusted (logged; TCT_CORRUPT).
  int Untrusted(const char* name, const char* reason);
  // Logs TCT_LMDB and TCT_IO, whose reason no one logged where they arose.
  int Report(const char* name, int rc);
  const char* ErrorText(int code);  // valid until the next call

 private:
  TDebuggable& owner_;
  const std::string& dataFile_;
  int lastError_ = 0;
  bool damageSeen_ = false;
  char errText_[256] = {};
};

}  // namespace cldb
