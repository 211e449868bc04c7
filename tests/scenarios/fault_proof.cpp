// Runs every fault-proof case (tests/scenarios/faults/*.toml, or the files given) over its seeds
// and prints one row per case: seeds run, seeds in which the drive exposed a corrupting fault,
// seeds the oracle failed, and for the first failing seed what went wrong and the command that
// repeats it. Exit 0 when every seed of every case holds, 1 otherwise, 2 for a bad option.
// --seeds N runs seeds 1 to N of every case, its min_exposed scaled to N (rounded up).
//
// --slices N runs every drive as N slices (the verdicts must stay exactly the same).
//
//   fault_proof [--seeds N] [--seed S] [--jobs N] [--slices N] [CASE.toml...]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "FaultCase.h"

using varnox::scenarios::CaseOutcome;
using varnox::scenarios::SeedOutcome;

namespace {

bool number(const char* text, uint64_t& value) {
  char* end = nullptr;
  value = std::strtoull(text, &end, 10);
  return *text != 0 && *end == 0 && value > 0;
}

void printSeed(const SeedOutcome& s) {
  std::printf("%28s seed %llu: exit %d, %llu exposed, %llu commands%s%s%s%s\n", "",
              static_cast<unsigned long long>(s.seed), s.exitStatus, static_cast<unsigned long long>(s.exposed),
              static_cast<unsigned long long>(s.commands), s.diagnosed.empty() ? "" : ", diagnosed ",
              s.diagnosed.c_str(), s.message.empty() ? "" : ": ", s.message.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  varnox::scenarios::SweepOptions options;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    uint64_t value = 0;
    if ((arg == "--seeds" || arg == "--seed" || arg == "--jobs" || arg == "--slices") && i + 1 < argc &&
        number(argv[i + 1], value)) {
      if (arg == "--slices") options.slices = static_cast<uint32_t>(value);
      if (arg == "--seeds") options.seeds = value;
      if (arg == "--seed") options.seed = value;
      if (arg == "--jobs") options.jobs = static_cast<unsigned>(value);
      ++i;
    } else if (arg.rfind("--", 0) == 0) {
      std::fprintf(stderr, "fault_proof: %s needs a number above 0, or is unknown\n"
                           "usage: fault_proof [--seeds N] [--seed S] [--jobs N] [--slices N] [CASE.toml...]\n"
                           "  --seeds N  seeds 1 to N of every case, min_exposed scaled to N\n"
                           "  --slices N every drive split into N slices\n", arg.c_str());
      return 2;
    } else {
      files.push_back(arg);
    }
  }
  if (files.empty()) files = varnox::scenarios::faultCaseFiles(VARNOX_SOURCE_DIR "/tests/scenarios/faults");

  std::printf("%-27s %5s %7s %6s  %-11s  %s\n", "case", "seeds", "exposed", "failed", "verdict", "faults");
  int wrong = 0, open = 0;
  for (const std::string& file : files) {
    const CaseOutcome c = varnox::scenarios::runFaultCase(file, options);
    if (!c.open.empty()) {
      std::printf("%-27s %5s %7s %6s  %-11s  %s\n%28s open: %s\n", c.name.c_str(), "-", "-", "-", "OPEN",
                  c.kinds.empty() ? "-" : c.kinds.c_str(), "", c.open.c_str());
      ++open;
      continue;
    }
    size_t exposed = 0, failed = 0;
    for (const SeedOutcome& s : c.seeds) {
      exposed += s.exposed > 0;
      failed += !s.problems.empty();
    }
    std::printf("%-27s %5zu %7zu %6zu  %-11s  %s\n", c.name.c_str(), c.seeds.size(), exposed, failed,
                c.problems.empty() ? "as expected" : "WRONG", c.kinds.empty() ? "-" : c.kinds.c_str());
    if (options.seed) {
      for (const SeedOutcome& s : c.seeds) printSeed(s);
    }
    if (c.firstFailure) {
      const SeedOutcome& s = *c.firstFailure;
      if (!options.seed) printSeed(s);
      std::printf("%28s repeat: scripts/fault-proof --seed %llu %s\n", "", static_cast<unsigned long long>(s.seed),
                  c.path.c_str());
    }
    // The sweep's own problems, the first failing seed's in full, and a line for each other one.
    for (const std::string& p : c.problems)
      if (p.rfind("seed ", 0) != 0) std::printf("%28s problem: %s\n", "", p.c_str());
    if (c.firstFailure)
      for (const std::string& p : c.firstFailure->problems) std::printf("%28s problem: %s\n", "", p.c_str());
    for (const SeedOutcome& s : c.seeds)
      if (!s.problems.empty() && s.seed != c.firstFailure->seed)
        std::printf("%28s also seed %llu: %s\n", "", static_cast<unsigned long long>(s.seed), s.problems[0].c_str());
    wrong += !c.problems.empty();
  }
  std::printf("%zu cases, %d wrong%s\n", files.size(), wrong,
              open == 0 ? "" : (", " + std::to_string(open) + " open (not run with slices)").c_str());
  return wrong == 0 ? 0 : 1;
}
