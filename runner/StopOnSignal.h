#pragma once
// Stopping a run on SIGINT (Ctrl-C), SIGTERM or SIGHUP: every drive stops after its current
// pass, the summary is still printed, and the exit status says which signal cut the run short,
// so that a killed run never reads as passed. A second signal abandons the run at once.
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <string_view>
#include <thread>

#include "varnox/TestRun.h"

namespace varnox::cli {

// "SIGINT", "SIGTERM", "SIGHUP"; empty for any other number.
std::string_view signalName(int signal);

// 130 for SIGINT, 143 for SIGTERM, 129 for SIGHUP.
int exitStatusForSignal(int signal);

// The exit status of a run `signal` stopped before its limit: a failure it had already found
// (1, 2 or 3) keeps its status, anything else becomes the signal's.
int exitStatusAfterSignal(int exitStatus, int signal);

// True when the drives stopped short of the plan's limit: fewer passes than asked on some drive,
// or less time than the duration.
bool stoppedBeforeLimit(const RunReport& report, const TestPlan& plan);

// Turns the three signals into TestRun::stop() for as long as it lives. The signals are blocked
// in every thread (the drive threads inherit the mask, so construct it before the run starts
// them) and taken by a watcher thread: no handler, no global state.
class StopOnSignal {
 public:
  StopOnSignal();
  ~StopOnSignal();
  StopOnSignal(const StopOnSignal&) = delete;
  StopOnSignal& operator=(const StopOnSignal&) = delete;

  // Starts watching; `run` must outlive this object. The notice goes to `terminal`.
  void watch(TestRun& run, std::FILE* terminal);
  // Where the notice goes from now on: the terminal the run started on while the agents' output
  // is redirected, which the standard error stream then no longer reaches.
  void setTerminal(std::FILE* terminal) { terminal_ = terminal; }
  // The first signal taken, 0 when none.
  int signal() const { return signal_; }

 private:
  sigset_t signals_;
  sigset_t previous_;
  std::atomic<bool> done_{false};
  std::atomic<int> signal_{0};
  std::atomic<std::FILE*> terminal_{stderr};
  std::thread watcher_;
};

}  // namespace varnox::cli
