#pragma once
// Switching a real drive's power with the user's commands, and finding the drive again.
//
// A test gives a file or block device `power_off` and `power_on`: argument lists (a relay or PDU
// tool, a write to a slot's power control in sysfs, a controller reset) that are run without a
// shell, each within `power_timeout`. At a power toggle the device closes its descriptor and
// calls cycle(): power_off, then power_on, then `power_settle` of waiting, then a look every
// 100 ms for a device at the same path whose identity (DeviceIdentity.h) is the one the test
// opened, for `power_timeout` at most. The device then reopens it.
//
// A command's standard output and error go into the report of the cycle (the last 4 KiB), its
// standard input is /dev/null, and it runs in a process group of its own with no signal blocked
// whatever the runner blocks; when it outlives the time limit the whole group is killed.
#include <cstdint>
#include <string>
#include <vector>

#include "blockdev/DeviceIdentity.h"
#include "tavik/DeviceSettings.h"

namespace varnox::blockdev {

struct CommandRun {
  bool ok = false;      // exited with status 0
  std::string output;   // standard output and error, the last 4 KiB
  std::string failure;  // when not ok: "exited with status 2", "was killed by signal 9", "did not finish
                        // within 30 s", "cannot be started: No such file or directory"
  double seconds = 0;
};

// Runs `argv` (argv[0] looked up in PATH) without a shell and waits for it, `timeoutSeconds` at most.
CommandRun runCommand(const std::vector<std::string>& argv, double timeoutSeconds);

// An argument list as a test file writes it: ["losetup", "-d", "/dev/loop3"].
std::string commandText(const std::vector<std::string>& argv);

// "30 s", "1.5 s", "200 ms": whole seconds as they are, others to a tenth, below a second in ms.
std::string secondsText(double seconds);

// Empty when the power settings of `deviceSpec` can be used (or none are given); else what is
// wrong, naming the key: one list without the other, an empty program, a program that is not
// found in PATH or is not executable, a time limit that is not positive.
std::string powerSettingsError(const DeviceSpec& deviceSpec);

// What a run would do at each power toggle of the drive at `path`, for `varnox check`: "would cut
// power to /dev/loop3 at each power toggle: run power_off [...], then power_on [...] (each within
// 60 s), wait 2 s and wait up to 60 s for /dev/loop3 to come back as the same device".
std::string powerPlanText(const DeviceSpec& deviceSpec, const std::string& path);

class PowerControl {
 public:
  explicit PowerControl(const DeviceSpec& deviceSpec);

  // Cuts power and waits until `identity` is back at its path. Empty on success, with `report`
  // saying what it took; else why the drive is lost, which ends the run with exit 3: a command
  // failed ("power_off [...] exited with status 1: <its last line>"), the device came back as
  // another device or with another size (every field that differs), or nothing came back in time.
  std::string cycle(const DeviceIdentity& identity, std::string& report) const;

  double timeoutSeconds() const { return timeout_; }

 private:
  std::vector<std::string> off_, on_;
  double settle_ = 0;
  double timeout_ = 60;
};

}  // namespace varnox::blockdev
