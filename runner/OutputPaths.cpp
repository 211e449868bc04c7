#include "OutputPaths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "RunOptions.h"

namespace varnox::cli {
namespace {

namespace fs = std::filesystem;

fs::path folderOf(const std::string& path) {
  fs::path parent = fs::path(path).parent_path();
  return parent.empty() ? fs::path(".") : parent;
}

// Why a file could not be created or replaced at `path`, or empty.
std::string fileUnwritable(const std::string& path) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) return "it is a directory";
  if (fs::exists(path, ec)) return ::access(path.c_str(), W_OK) == 0 ? "" : std::strerror(errno);
  const fs::path folder = folderOf(path);
  if (!fs::is_directory(folder, ec)) return "no directory " + folder.string();
  return ::access(folder.c_str(), W_OK | X_OK) == 0 ? "" : std::strerror(errno);
}

}  // namespace

std::string unwritableOutput(const TestPlan& plan, const std::string& json) {
  const std::string base = planKey(plan, "Miscompare Output Path").value_or(plan.outputBase);
  if (!base.empty()) {
    std::error_code ec;
    fs::path folder = folderOf(base);
    while (!fs::exists(folder, ec) && folder.has_parent_path() && folder.parent_path() != folder)
      folder = folder.parent_path();
    if (!fs::is_directory(folder, ec)) return "output base " + base + ": " + folder.string() + " is not a directory";
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
      return "output base " + base + ": cannot write in " + folder.string() + ": " + std::strerror(errno);
  }
  // The default log sits beside the output base, whose folder the run creates when missing.
  const bool logBesideBase = !plan.outputBase.empty() && plan.logFile == plan.outputBase + ".log";
  if (!plan.logFile.empty() && !(logBesideBase && !fs::exists(folderOf(plan.logFile)))) {
    if (std::string why = fileUnwritable(plan.logFile); !why.empty())
      return "log file \"" + plan.logFile + "\" cannot be written: " + why;
  }
  if (!json.empty()) {
    if (std::string why = fileUnwritable(json); !why.empty()) return "--json: cannot write " + json + ": " + why;
  }
  return {};
}

bool writeFileAtomically(const std::string& path, const std::string& text, std::string& error) {
  std::string temporary = (folderOf(path) / ("." + fs::path(path).filename().string() + ".XXXXXX")).string();
  int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  bool ok = true;
  for (size_t done = 0; ok && done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = EIO;
    if (n <= 0) ok = false;
    else done += static_cast<size_t>(n);
  }
  // mkstemp makes the file private; a summary is as readable as any other output.
  ok = ok && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
  int failure = ok ? 0 : errno;
  ::close(fd);
  if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
    ok = false;
    failure = errno;
  }
  if (!ok) {
    error = "cannot write " + path + ": " + std::strerror(failure);
    ::unlink(temporary.c_str());
  }
  return ok;
}

void defaultLogFile(TestPlan& plan) {
  if (plan.logFile.empty() && !plan.outputBase.empty()) plan.logFile = plan.outputBase + ".log";
}

}  // namespace varnox::cli
