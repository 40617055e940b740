// Console: the tool's writer for standard error. It owns the one-line
// status display of long work (redrawn in place with '\r'), so that an error
// line printed by any thread first clears the status line instead of being
// glued to it. Thread-safe.
#pragma once

#include <mutex>
#include <string>

class Console {
 public:
  // A quiet console (-q) prints errors only.
  explicit Console(bool quiet = false) : quiet_(quiet) {}
  // Prints "cldb: <message>" on its own line.
  void Error(const std::string& message);
  // Prints "cldb: warning: <message>", unless quiet.
  void Warning(const std::string& message);
  // Prints "cldb: note: <message>", unless quiet.
  void Note(const std::string& message);
  // Prints `line` as it is, on a line of its own, whether quiet or not.
  void Print(const std::string& line);
  // Replaces the status line; `line` must not contain a line break.
  void ShowStatus(const std::string& line);
  // Erases the status line, if one is shown.
  void ClearStatus();

  static bool StderrIsTerminal();
  // Columns of the terminal on standard error; 80 when unknown.
  static int TerminalWidth();

 private:
  void ClearLocked();

  const bool quiet_;
  std::mutex mutex_;
  bool statusShown_ = false;
};
