#pragma once
// The files a run writes are new files or regular files of their own: never a device node, a
// FIFO, a socket or a directory, never the test file or a drive's file, and never the file
// another output of the same run names. Checked before anything is written.
#include <string>
#include <vector>

#include "varnox/TestPlan.h"

namespace varnox::cli {

// A path the run writes or reads, with the option or key that names it ("--json", "[test] log").
struct NamedPath {
  std::string what;
  std::string path;
};

// The outputs of a run: --json, --report, --series (each may be empty), the log file and the
// output base (Cardamor's "Miscompare Output Path", else --output or [test] output).
std::vector<NamedPath> runOutputs(const TestPlan& plan, const std::string& json, const std::string& report,
                                  const std::string& series);

// What the run reads and must never write over: the test file and every drive's file.
std::vector<NamedPath> runInputs(const TestPlan& plan, const std::string& testFile);

// Why an output may not be written, or empty: one that exists and is not a regular file, one
// that is an input, or two outputs that are the same file (compared by resolved path, and by
// device and inode where the file exists). The message names the option or key and the path.
std::string refuseOutputPaths(const std::vector<NamedPath>& outputs, const std::vector<NamedPath>& inputs);

// Why no file can be created next to `path` (in its folder, or with `nearestExisting` in the
// nearest folder that exists), or empty: a kernel file system (/proc, /sys) or a read-only mount
// is refused, and with `tryIt` a temporary file is created and removed at once, which catches
// what permission bits do not (a user exempt from them); without it (varnox check, which writes
// nothing) the bits decide.
std::string cannotCreateBeside(const std::string& path, bool nearestExisting, bool tryIt);

}  // namespace varnox::cli
