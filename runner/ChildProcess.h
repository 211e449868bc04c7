#pragma once
// Running another program without a shell and taking what it prints: the campaign talks to
// Slurm through its commands (sbatch, scontrol, squeue, sacct, scancel) this way.
#include <string>
#include <vector>

namespace varnox::cli {

struct ChildResult {
  bool started = false;  // false: the program could not be run (`output` says why)
  int exitStatus = -1;   // the exit status, or 128 + the signal that ended it
  std::string output;    // standard output
  std::string errors;    // standard error
};

// Runs `argv` (argv[0] looked up in PATH), feeding it `input`, and waits for it; a program
// still running after `timeoutSeconds` is killed and reported as ended by SIGKILL.
ChildResult runProgram(const std::vector<std::string>& argv, const std::string& input = "", double timeoutSeconds = 60);

// "sbatch: error: ..." -> the last line the program printed, or its exit status.
std::string failureText(const std::vector<std::string>& argv, const ChildResult& result);

}  // namespace varnox::cli
