#include "Console.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

void Console::Error(const std::string& message) {
  std::lock_guard<std::mutex> guard(mutex_);
  ClearLocked();
  std::fprintf(stderr, "cldb: %s\n", message.c_str());
  std::fflush(stderr);
}

void Console::Warning(const std::string& message) {
  if (!quiet_) Error("warning: " + message);
}

void Console::Note(const std::string& message) {
  if (!quiet_) Error("note: " + message);
}

void Console::Print(const std::string& line) {
  std::lock_guard<std::mutex> guard(mutex_);
  ClearLocked();
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

void Console::ShowStatus(const std::string& line) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::fprintf(stderr, "\r%s\033[K", line.c_str());
  std::fflush(stderr);
  statusShown_ = true;
}

void Console::ClearStatus() {
  std::lock_guard<std::mutex> guard(mutex_);
  ClearLocked();
}

void Console::ClearLocked() {
  if (!statusShown_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  statusShown_ = false;
}

bool Console::StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

int Console::TerminalWidth() {
  struct winsize size {};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}
