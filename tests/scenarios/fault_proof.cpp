// Runs every fault-proof case (tests/scenarios/faults/*.toml, or the files given) and prints one
// row per case: its faults, the exit status, the LBA and message of the verdict and the output
// files. Exit 0 when every case ended as its [expect] table says, 1 otherwise.
#include <cstdio>
#include <string>
#include <vector>

#include "FaultCase.h"

using varnox::scenarios::CaseOutcome;

int main(int argc, char** argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) files.emplace_back(argv[i]);
  if (files.empty()) files = varnox::scenarios::faultCaseFiles(VARNOX_SOURCE_DIR "/tests/scenarios/faults");

  std::printf("%-26s %-40s %4s  %-18s  %-22s %s\n", "case", "faults", "exit", "LBA", "files", "verdict");
  int failed = 0;
  for (const std::string& file : files) {
    const CaseOutcome c = varnox::scenarios::runFaultCase(file);
    std::printf("%-26s %-40s %4d  %-18s  %-22s %s\n", c.name.c_str(), c.kinds.c_str(), c.exitStatus,
                c.lba.empty() ? "-" : c.lba.c_str(), c.files.empty() ? "-" : c.files.c_str(),
                c.problems.empty() ? "as expected" : "WRONG");
    if (c.exitStatus == 0)
      std::printf("%26s %llu commands, %llu faults injected, no failure\n", "",
                  static_cast<unsigned long long>(c.commands), static_cast<unsigned long long>(c.faults));
    else if (!c.message.empty())
      std::printf("%26s %s\n", "", c.message.c_str());
    for (const std::string& p : c.problems) std::printf("%26s problem: %s\n", "", p.c_str());
    failed += !c.problems.empty();
  }
  std::printf("%zu cases, %d wrong\n", files.size(), failed);
  return failed == 0 ? 0 : 1;
}
