#pragma once
// `varnox verify --journal DIR [--output BASE] [--json FILE]`: judges every block a run's journal
// names after the host died, and reports it as a run does (summary, JSON, exit status).
#include <ostream>
#include <string>

namespace varnox::cli {

struct VerifyArguments {
  std::string journal;
  std::string output;  // base of the failing block's data file; default the journal's folder
  std::string json;
  std::string commandLine;
};

int verifyCommand(const VerifyArguments& args, std::ostream& out, std::ostream& err);

}  // namespace varnox::cli
