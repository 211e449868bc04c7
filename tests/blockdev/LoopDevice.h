#pragma once
// Loop devices over files in a test's folder, for the tests that need a real block device.
#include <cstdio>
#include <string>

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
  std::string path_;
};

}  // namespace varnox::testing
