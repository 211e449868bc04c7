#include "StopOnSignal.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <ctime>

namespace varnox::cli {

std::string_view signalName(int signal) {
  switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "";
  }
}

int exitStatusForSignal(int signal) {
  switch (signal) {
    case SIGTERM: return kExitTerminated;
    case SIGHUP: return kExitHangup;
    default: return kExitInterrupted;
  }
}

int exitStatusAfterSignal(int exitStatus, int signal) {
  if (exitStatus == kExitIntegrityFailure || exitStatus == kExitRefused || exitStatus == kExitDeviceFailure)
    return exitStatus;
  return exitStatusForSignal(signal);
}

bool stoppedBeforeLimit(const RunReport& report, const TestPlan& plan) {
  if (plan.passes == 0) return report.seconds < plan.durationSeconds;
  for (const DriveReport& drive : report.drives)
    if (drive.passes < plan.passes) return true;
  return false;
}

StopOnSignal::StopOnSignal() {
  sigemptyset(&signals_);
  sigaddset(&signals_, SIGINT);
  sigaddset(&signals_, SIGTERM);
  sigaddset(&signals_, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals_, &previous_);
}

StopOnSignal::~StopOnSignal() {
  done_ = true;
  if (watcher_.joinable()) watcher_.join();
  // Drop a signal that arrived after the run ended, then restore the caller's mask.
  timespec none{0, 0};
  while (sigtimedwait(&signals_, nullptr, &none) > 0) {
  }
  pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

void StopOnSignal::watch(TestRun& run, std::FILE* terminal) {
  terminal_ = terminal;
  watcher_ = std::thread([this, &run] {
    timespec tick{0, 100 * 1000 * 1000};
    while (!done_) {
      const int taken = sigtimedwait(&signals_, nullptr, &tick);
      if (taken <= 0) continue;
      int none = 0;
      if (!signal_.compare_exchange_strong(none, taken)) {
        // A second signal: the user gives up on a drive that does not stop.
        std::_Exit(exitStatusForSignal(taken));
      }
      const std::string name(signalName(taken));
      std::FILE* terminal = terminal_.load();
      std::fprintf(terminal, "\nvarnox: %s: stopping after the current pass (%s again abandons the run)\n",
                   name.c_str(), taken == SIGINT ? "Ctrl-C" : name.c_str());
      std::fflush(terminal);
      run.stop();
    }
  });
}

}  // namespace varnox::cli
