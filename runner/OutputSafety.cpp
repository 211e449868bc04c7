#include "OutputSafety.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "Messages.h"
#include "RunOptions.h"

namespace varnox::cli {
namespace {

namespace fs = std::filesystem;

// "a directory", "a character device", ...; empty for a regular file.
std::string kindOf(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return {};
  if (S_ISDIR(st.st_mode)) return "a directory";
  if (S_ISCHR(st.st_mode)) return "a character device";
  if (S_ISBLK(st.st_mode)) return "a block device";
  if (S_ISFIFO(st.st_mode)) return "a FIFO";
  if (S_ISSOCK(st.st_mode)) return "a socket";
  return "not a regular file";
}

// The path as the kernel would resolve it, missing parts kept as written.
std::string resolved(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::weakly_canonical(fs::absolute(path, ec), ec);
  return ec ? fs::absolute(path).lexically_normal().string() : p.string();
}

bool sameFile(const std::string& a, const std::string& b) {
  if (resolved(a) == resolved(b)) return true;
  struct stat sa {
  }, sb{};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

std::string named(const NamedPath& p) {
  return p.what + " " + cli::quoted(p.path);
}

}  // namespace

std::vector<NamedPath> runOutputs(const TestPlan& plan, const std::string& json, const std::string& report,
                                  const std::string& series) {
  std::vector<NamedPath> outputs;
  if (!json.empty()) outputs.push_back({"--json", json});
  if (!report.empty()) outputs.push_back({"--report", report});
  if (!series.empty()) outputs.push_back({"--series", series});
  if (!plan.logFile.empty()) outputs.push_back({"log file", plan.logFile});
  // The runner hands the output base to Cardamor as its key; the user named it as the base.
  if (const auto base = planKey(plan, "Miscompare Output Path"); base && *base != plan.outputBase)
    outputs.push_back({"\"Miscompare Output Path\"", *base});
  else if (!plan.outputBase.empty())
    outputs.push_back({"output base", plan.outputBase});
  return outputs;
}

std::vector<NamedPath> runInputs(const TestPlan& plan, const std::string& testFile) {
  std::vector<NamedPath> inputs{{"the test file", testFile}};
  for (const DriveSpec& drive : plan.drives)
    if (drive.device.kind != "sim")
      inputs.push_back({"drive " + drive.name + "'s device", drive.device.kind});
  return inputs;
}

std::string refuseOutputPaths(const std::vector<NamedPath>& outputs, const std::vector<NamedPath>& inputs) {
  for (size_t i = 0; i < outputs.size(); ++i) {
    const NamedPath& out = outputs[i];
    // stat, not lstat: a link to /dev/null is /dev/null.
    struct stat st {};
    if (::stat(out.path.c_str(), &st) == 0) {
      if (const std::string kind = kindOf(st); !kind.empty())
        return named(out) + ": is " + kind + "; an output is a new or a regular file, and " + out.path +
               " is left as it is";
    } else if (!out.path.empty() && out.path.back() == '/') {
      return named(out) + ": names a directory; an output is a file (e.g. " + out.path + "run1)";
    }
    for (const NamedPath& in : inputs)
      if (sameFile(out.path, in.path)) return named(out) + ": is " + in.what + "; a run never writes over it";
    for (size_t j = 0; j < i; ++j)
      if (sameFile(out.path, outputs[j].path))
        return named(out) + ": is the file " + named(outputs[j]) +
               " writes too; give each output a file of its own";
  }
  return {};
}

std::string cannotCreateBeside(const std::string& path, bool nearestExisting, bool tryIt) {
  fs::path folder = fs::path(path).parent_path();
  if (folder.empty()) folder = ".";
  std::error_code ec;
  if (nearestExisting)
    while (!fs::exists(folder, ec) && folder.has_parent_path() && folder.parent_path() != folder)
      folder = folder.parent_path();
  // Without trying: a read-only mount or a kernel file system takes no file, whatever the bits say.
  struct statfs fsInfo {};
  struct statvfs vfsInfo {};
  if (::statfs(folder.c_str(), &fsInfo) == 0 &&
      (fsInfo.f_type == PROC_SUPER_MAGIC || fsInfo.f_type == SYSFS_MAGIC || fsInfo.f_type == DEBUGFS_MAGIC))
    return "cannot create a file in " + folder.string() + ": it is a kernel file system";
  if (::statvfs(folder.c_str(), &vfsInfo) == 0 && (vfsInfo.f_flag & ST_RDONLY))
    return "cannot create a file in " + folder.string() + ": " + std::strerror(EROFS);
  if (!tryIt)
    return ::access(folder.c_str(), W_OK | X_OK) == 0
               ? ""
               : "cannot create a file in " + folder.string() + ": " + std::strerror(errno);
  std::string probe = (folder / ".varnox-probe.XXXXXX").string();
  const int fd = ::mkstemp(probe.data());
  if (fd < 0) return "cannot create a file in " + folder.string() + ": " + std::strerror(errno);
  ::close(fd);
  ::unlink(probe.c_str());
  return {};
}

}  // namespace varnox::cli
