#pragma once
// Runs the varnox command line in-process, as a user would type it, and keeps what it printed.
#include <sstream>
#include <string>
#include <vector>

#include "CommandLine.h"

namespace varnox::testing {

struct CliResult {
  int status;
  std::string out;
  std::string err;
};

// `args` without the program name: {"run", "t.toml", "--seed", "5"}.
inline CliResult runCli(std::vector<std::string> args) {
  args.insert(args.begin(), "varnox");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  std::ostringstream out, err;
  const int status = cli::runVarnox(static_cast<int>(argv.size()), argv.data(), out, err);
  return {status, out.str(), err.str()};
}

}  // namespace varnox::testing
