#pragma once
// The files a run writes besides the device, checked before any drive is touched, so that a
// result that could not be stored never costs a run (or a device's content).
#include <string>

#include "varnox/TestPlan.h"

namespace varnox::cli {

// Why the run could not write its output, or empty when it can: the directory of the output base
// (Cardamor's "Miscompare Output Path", else the test's output; missing folders are created
// later, so the nearest existing one must be writable), the log file and `json` (either may be
// empty), whose folder must exist. The message names the path. Creates nothing.
std::string unwritableOutput(const TestPlan& plan, const std::string& json);

// A run with an output base and no log of its own keeps its log beside its output files:
// <output base>.log. Without either the run keeps no log file.
void defaultLogFile(TestPlan& plan);

// Writes `text` to `path` through a temporary file in the same folder renamed over it, so that
// `path` holds either its earlier content or all of `text`, never a part. False with `error`
// naming the path.
bool writeFileAtomically(const std::string& path, const std::string& text, std::string& error);

}  // namespace varnox::cli
