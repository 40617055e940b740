// The result of a command or of one of its steps: the process exit code it
// calls for and, on failure, the one-line message the user sees after
// "cldb: ".
#pragma once

#include <string>
#include <utility>

enum ExitCode : int {
  kExitOk = 0,
  kExitBadInput = 1,  // usage errors, bad numbers, missing paths, unusable root folder
  kExitFailure = 2,   // the CLDB or the storage side failed, or the job was interrupted
  kExitInUse = 3,     // another process holds the CLDB
  kExitPartial = 4,   // done, but not whole: files unreadable (backup), not restored
                      // (restore), blocks missing or damaged (verify)
};

struct Outcome {
  int code = kExitOk;
  std::string message;

  bool ok() const { return code == kExitOk; }
  static Outcome Ok() { return {}; }
  static Outcome Fail(int code, std::string message) { return {code, std::move(message)}; }
};
