// The signals that end the tool early: SIGHUP (the terminal or the session
// closed), SIGINT (Ctrl-C) and SIGTERM (kill, timeout, a shutdown).
//
// From the first Guard on, until the process ends, they only ask the
// command to stop. They are blocked in every thread but the Guard's
// watcher, which takes them (sigwait), records the first and runs the
// command's stop action, if it set one (a pruning pass is told to stop).
// The command reads Requested() at its safe points, ends its work cleanly (a
// job closes its CLDB and is recorded as interrupted) and the tool exits
// with 128 + the signal's number, as a shell reports a process that the
// signal ended (129, 130, 143).
//
// Later signals of the three kinds change nothing: `timeout` sends SIGTERM
// to the process and then to its group, and a terminal that closes sends
// SIGHUP after SIGINT, and none of them may cut the clean close short.
// SIGQUIT (Ctrl-\) and SIGKILL still end the process at once; the CLDB is
// then recreated by its next job. SIGPIPE is ignored from the first Guard
// on, so a reader of the output that went away fails a write, not the job.
#pragma once

#include <functional>
#include <string>

namespace interrupt {

// Blocks the signals in the calling thread and runs the watcher for its
// lifetime. Make it before the process starts any other thread: threads
// inherit the blocked signals from the one that starts them.
class Guard {
 public:
  Guard();
  ~Guard();
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
};

// Whether one of the signals arrived.
bool Requested();
// The first signal that arrived, or 0.
int Signal();
// 128 + Signal(): the exit code of a command that a signal ended.
int ExitCode();
// "interrupted by SIGTERM", for the message that ends the command.
std::string Describe();

// `action` runs on the watcher thread for each signal while it is set (not
// for one that came before). Clearing it (nullptr) waits until a running
// action has returned, so it may refer to objects the caller then destroys.
void SetStopAction(std::function<void()> action);

}  // namespace interrupt
