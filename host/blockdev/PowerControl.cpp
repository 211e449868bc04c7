// Running the user's power commands with a time limit, and waiting for the drive to come back.
#include "blockdev/PowerControl.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

extern char** environ;

namespace varnox::blockdev {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kOutputKept = 4096;
constexpr auto kLookEvery = std::chrono::milliseconds(100);

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

Clock::time_point after(double seconds) {
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// The last line a command wrote that holds anything, for a one-line message.
std::string lastLine(const std::string& output) {
  size_t end = output.find_last_not_of(" \t\r\n");
  if (end == std::string::npos) return {};
  const size_t start = output.rfind('\n', end);
  return output.substr(start == std::string::npos ? 0 : start + 1,
                       end - (start == std::string::npos ? 0 : start + 1) + 1);
}

// Where argv[0] would be run from: itself when it holds a slash, else the first PATH entry
// that has it executable. Empty when there is none.
std::string findProgram(const std::string& program) {
  if (program.find('/') != std::string::npos) return ::access(program.c_str(), X_OK) == 0 ? program : "";
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = end == start ? "." : dirs.substr(start, end - start);
    const std::string candidate = dir + "/" + program;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
    start = end + 1;
  }
  return {};
}

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

std::string commandText(const std::vector<std::string>& argv) {
  std::string text = "[";
  for (size_t i = 0; i < argv.size(); ++i) text += (i ? ", " : "") + quoted(argv[i]);
  return text + "]";
}

std::string secondsText(double seconds) {
  char text[32];
  if (seconds > 0 && seconds < 1)
    std::snprintf(text, sizeof text, "%.0f ms", seconds * 1000);
  else if (seconds == std::floor(seconds))
    std::snprintf(text, sizeof text, "%.0f s", seconds);
  else
    std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

CommandRun runCommand(const std::vector<std::string>& argv, double timeoutSeconds) {
  CommandRun run;
  if (argv.empty() || argv[0].empty()) {
    run.failure = "cannot be started: no program given";
    return run;
  }
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    run.failure = std::string("cannot be started: ") + std::strerror(errno);
    return run;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // A group of its own, so that a command that outlives its limit is ended with everything it
  // started; no signal blocked or ignored, whatever the runner does with them.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const Clock::time_point start = Clock::now(), deadline = after(timeoutSeconds);
  pid_t pid = 0;
  const int spawned = ::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(pipeFds[1]);
  if (spawned != 0) {
    ::close(pipeFds[0]);
    run.failure = std::string("cannot be started: ") + std::strerror(spawned);
    return run;
  }

  // Output is read while waiting, so that a command writing much never blocks on a full pipe.
  // The wait ends when the command exits, not when the pipe closes: something it left running
  // in the background may hold the pipe open for ever.
  int status = 0;
  bool exited = false, timedOut = false, open = true;
  char buffer[4096];
  while (!exited) {
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      exited = true;
    } else if (Clock::now() >= deadline) {
      timedOut = exited = true;
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    }
    if (!open) {
      if (!exited) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    // What is in the pipe now, a bounded number of reads so that the limit is looked at again;
    // while the command runs, up to 20 ms of waiting for more.
    pollfd p{pipeFds[0], POLLIN, 0};
    int ready = ::poll(&p, 1, exited ? 0 : 20);
    for (int reads = 0; ready > 0 && reads < 64; ++reads) {
      const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        open = false;
        break;
      }
      run.output.append(buffer, static_cast<size_t>(n));
      if (run.output.size() > 2 * kOutputKept) run.output.erase(0, run.output.size() - kOutputKept);
      ready = ::poll(&p, 1, 0);
    }
  }
  ::close(pipeFds[0]);
  if (run.output.size() > kOutputKept) run.output.erase(0, run.output.size() - kOutputKept);
  run.seconds = secondsSince(start);
  if (timedOut) {
    run.failure = "did not finish within " + secondsText(timeoutSeconds);
  } else if (WIFEXITED(status) && WEXITSTATUS(status) == 127 && run.output.empty()) {
    run.failure = "cannot be started: not found";
  } else if (WIFEXITED(status)) {
    run.ok = WEXITSTATUS(status) == 0;
    if (!run.ok) run.failure = "exited with status " + std::to_string(WEXITSTATUS(status));
  } else if (WIFSIGNALED(status)) {
    run.failure = "was killed by signal " + std::to_string(WTERMSIG(status));
  }
  return run;
}

std::string powerSettingsError(const DeviceSpec& deviceSpec) {
  const bool off = !deviceSpec.powerOff.empty(), on = !deviceSpec.powerOn.empty();
  if (!off && !on) return {};
  if (off != on)
    return std::string(off ? "power_off" : "power_on") + " needs " + (off ? "power_on" : "power_off") +
           " as well: a power toggle runs both ([\"true\"] for one that has nothing to do)";
  for (const auto& [key, argv] :
       {std::pair<const char*, const std::vector<std::string>*>{"power_off", &deviceSpec.powerOff},
        {"power_on", &deviceSpec.powerOn}}) {
    if (argv->front().empty()) return std::string(key) + ": the program (its first element) is empty";
    if (findProgram(argv->front()).empty())
      return std::string(key) + ": program " + quoted(argv->front()) +
             (argv->front().find('/') != std::string::npos ? " is missing or not executable"
                                                           : " is not found in PATH");
  }
  if (!(deviceSpec.powerTimeoutSeconds > 0) || !std::isfinite(deviceSpec.powerTimeoutSeconds))
    return "power_timeout must be above 0";
  if (!(deviceSpec.powerSettleSeconds >= 0) || !std::isfinite(deviceSpec.powerSettleSeconds))
    return "power_settle must not be negative";
  return {};
}

std::string powerPlanText(const DeviceSpec& deviceSpec, const std::string& path) {
  std::string text = "would cut power to " + path + " at each power toggle: run power_off " +
                     commandText(deviceSpec.powerOff) + ", then power_on " + commandText(deviceSpec.powerOn) +
                     " (each within " + secondsText(deviceSpec.powerTimeoutSeconds) + "), ";
  if (deviceSpec.powerSettleSeconds > 0)
    text += "wait " + secondsText(deviceSpec.powerSettleSeconds) + " and ";
  return text + "wait up to " + secondsText(deviceSpec.powerTimeoutSeconds) + " for " + path +
         " to come back as the same device";
}

PowerControl::PowerControl(const DeviceSpec& deviceSpec)
    : off_(deviceSpec.powerOff),
      on_(deviceSpec.powerOn),
      settle_(deviceSpec.powerSettleSeconds),
      timeout_(deviceSpec.powerTimeoutSeconds) {}

std::string PowerControl::cycle(const DeviceIdentity& identity, std::string& report) const {
  report.clear();
  for (const auto& [key, argv] :
       {std::pair<const char*, const std::vector<std::string>*>{"power_off", &off_}, {"power_on", &on_}}) {
    const CommandRun run = runCommand(*argv, timeout_);
    if (!run.ok) {
      const std::string line = lastLine(run.output);
      return std::string(key) + " " + commandText(*argv) + " " + run.failure +
             (line.empty() ? "" : ": " + line);
    }
    report += std::string(report.empty() ? "" : ", ") + key + " took " + secondsText(run.seconds);
  }
  if (settle_ > 0) std::this_thread::sleep_for(std::chrono::duration<double>(settle_));

  // Until the limit the device may still be appearing (a node before its size, a link before
  // udev has moved it), so a device that differs is looked at again; the last look decides.
  const Clock::time_point start = Clock::now(), deadline = after(timeout_);
  std::string differs, missing;
  for (;;) {
    DeviceIdentity now;
    std::string error;
    if (readDeviceIdentity(identity.path, now, error)) {
      differs = identityDifference(identity, now);
      missing.clear();
      if (differs.empty()) break;
    } else {
      missing = error;
      differs.clear();
    }
    if (Clock::now() >= deadline) {
      const std::string waited = " within " + secondsText(timeout_) + " of power_on";
      if (!differs.empty()) {
        const bool sizeOnly = differs.find(';') == std::string::npos && differs.starts_with("size ");
        return identity.path + " came back as " +
               (sizeOnly ? "the same device with a different size" : "a different device") + ": " + differs;
      }
      return "no device came back at " + identity.path + waited + ": " + missing;
    }
    std::this_thread::sleep_for(kLookEvery);
  }
  report += ", " + identity.path + " back after " + secondsText(secondsSince(start) + settle_);
  return {};
}

}  // namespace varnox::blockdev
