#pragma once
// The varnox command line:
//   varnox run TEST.toml [--duration 30s | --passes N] [--seed N] [--set KEY=VALUE]...
//                        [--output BASE] [--json FILE] [--force]
//   varnox check TEST.toml [the options of run but --json]   writes nothing; says what run would write
//   varnox keys [AGENT]
//   varnox usage [AGENT]
// Exit statuses are those of TestRun.h: 0 passed, 1 data-integrity failure, 2 test file,
// configuration or setup refused (also for a bad command line), 3 device failure.
#include <ostream>

namespace varnox::cli {

// Runs one command in this process. The summary and listings go to `out`, messages to `err`;
// the progress line goes to the standard error stream when that is a terminal. During `run`,
// SIGINT and SIGTERM stop the drives after their current pass and the summary still follows.
int runVarnox(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace varnox::cli
