#pragma once
// Loop devices over files in a test's folder, for the tests that need a real block device.
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

namespace varnox::testing {

// The shell command's standard output without its trailing newlines, empty when it failed.
inline std::string shell(const std::string& command) {
  std::string text;
  FILE* pipe = ::popen(("{ " + command + "; } 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return text;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
  if (::pclose(pipe) != 0) text.clear();
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// Loop-device tests of every test process take turns: a test that detaches its device and
// attaches it again (a power cut) must get the same number back, which another test running
// beside it (ctest -j) could take in between. Held from a process's first loop device to its last.
class LoopDeviceTurn {
 public:
  LoopDeviceTurn() {
    if (depth()++ != 0) return;
    fd() = ::open("/tmp/varnox-loop-device-tests.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd() >= 0) ::flock(fd(), LOCK_EX);
  }
  ~LoopDeviceTurn() {
    if (--depth() != 0 || fd() < 0) return;
    ::close(fd());  // releases the lock
    fd() = -1;
  }
  LoopDeviceTurn(const LoopDeviceTurn&) = delete;
  LoopDeviceTurn& operator=(const LoopDeviceTurn&) = delete;

 private:
  static int& depth() {
    static int n = 0;
    return n;
  }
  static int& fd() {
    static int f = -1;
    return f;
  }
};

// A loop device over `image` (`options` go to losetup), detached when it goes out of scope, also
// when the test fails. path() is empty when the machine gives none.
class LoopDevice {
 public:
  explicit LoopDevice(const std::string& image, const std::string& options = "")
      : path_(shell("losetup -f --show " + options + " " + image)) {}
  ~LoopDevice() {
    if (!path_.empty()) shell("losetup -d " + path_);
  }
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
  const std::string& path() const { return path_; }

 private:
  LoopDeviceTurn turn_;  // first member: taken before the device is attached, released after
  std::string path_;
};

}  // namespace varnox::testing
