// EvDebug: the log object that every layer of the library writes through.
//
// A log line is written whole (one write(2) per line, under a process-wide
// mutex, so lines of concurrent threads never interleave) and reads
//
//   2026-12-06 07:00:22.123 pid=4242 tid=4243 [job=77] lvl=1 <message>
//
// where "[job=N] " appears only for the job-tagged form. A line is written
// when its level is at or below the threshold; lower levels are more
// important (-1 errors and milestones, 0 warnings, 1 normal, 2 and 3 detail).
// The threshold is the value given to SetThreshold, else the one given to
// SetDefaultThreshold, else "DebugLevel" of section "EvDebug" in the
// configuration (see ZelPlatformInfo.h) as read when the object was made,
// default 1.
//
// An EvDebug made without a file name (or whose file cannot be opened)
// writes to the process-wide default destination: the file named by
// "LogFile" in section "EvDebug" when that is configured, else standard error
// (SetDefaultStderrUse changes how standard error is used). A log file is
// appended to; a missing one is made with ZelPlatformInfo::NewFileMode()
// (0600 unless configured). It is never opened through a symbolic link, and
// only when it is a regular file with one link: anything else counts as a
// file that cannot be opened.
// The first EvDebug made after each load of the configuration writes there
// the load's warnings (ZelPlatformInfo::Warnings), one line "configuration:
// <warning>" each at level 0.
//
// Builds with test hooks let tests capture what is logged (LogCapture.h).
#pragma once

#include <climits>
#include <cstdarg>
#include <memory>
#include <string>

#include "cldb/Export.h"

class CLDB_EXPORT EvDebug {
 public:
  EvDebug();                                     // default destination
  explicit EvDebug(const std::string& logFile);  // appends to logFile
  ~EvDebug();
  EvDebug(const EvDebug&) = delete;
  EvDebug& operator=(const EvDebug&) = delete;

  void debugLvl(int level, const char* format, ...) CLDB_PRINTF(3, 4);
  void debugLvl(int level, unsigned long long jobId, const char* format, ...) CLDB_PRINTF(4, 5);
  // `function` is the operation's name; it is printed before the message.
  void DebugLvl(const char* function, int level, const char* format, ...) CLDB_PRINTF(4, 5);

  void vdebugLvl(int level, const unsigned long long* jobId, const char* function,
                 const char* format, va_list args);

  // Passed to SetThreshold or SetDefaultThreshold, withdraws the value set
  // there so that the next source of the threshold applies again.
  static constexpr int kConfiguredThreshold = INT_MIN;

  // Threshold of this object; unset objects use the process-wide default.
  void SetThreshold(int level);
  static void SetDefaultThreshold(int level);
  // Sends the default destination to `path` ("" for no file: standard
  // error). False when the file cannot be opened (there is then no file).
  static bool SetDefaultLogFile(const std::string& path);

  // How lines for the default destination use standard error: kFallback
  // (the default) writes them there only when there is no default log file
  // (none configured, or it cannot be opened); kAlso writes them there too
  // when there is one; kNever drops the lines that would go there. A
  // command-line host's -v and -q.
  enum class StderrUse { kFallback, kAlso, kNever };
  static void SetDefaultStderrUse(StderrUse use);

 private:
  friend struct LogCaptureAccess;  // the capture hooks of test builds
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
