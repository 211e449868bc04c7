// Slurm's commands, run as programs, and their outputs parsed.
#include "Slurm.h"

#include <sstream>

#include "ChildProcess.h"

namespace varnox::cli::slurm {
namespace {

std::string joined(const std::vector<std::string>& ids) {
  std::string out;
  for (const std::string& id : ids) out += (out.empty() ? "" : ",") + id;
  return out;
}

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, '|')) out.push_back(field);
  if (!line.empty() && line.back() == '|') out.emplace_back();
  return out;
}

bool run(const std::vector<std::string>& argv, ChildResult& result, std::string& error) {
  result = runProgram(argv);
  if (result.started && result.exitStatus == 0) return true;
  error = failureText(argv, result);
  return false;
}

}  // namespace

std::optional<std::string> parseSubmitted(const std::string& out) {
  // "1234" or "1234;cluster", then a newline.
  const std::string id = out.substr(0, out.find_first_of(";\n"));
  if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  return id;
}

std::optional<std::string> submitHeldArray(const std::string& scriptPath, size_t tasks, std::string& error) {
  ChildResult result;
  const std::vector<std::string> argv = {"sbatch", "--parsable", "--hold", "--array=0-" + std::to_string(tasks - 1),
                                         scriptPath};
  if (!run(argv, result, error)) return std::nullopt;
  std::optional<std::string> id = parseSubmitted(result.output);
  if (!id) error = "sbatch printed no job id: " + result.output;
  return id;
}

bool bindTask(const std::string& jobId, size_t task, const std::string& node, const std::string& gresName,
              const std::string& gresType, std::string& error) {
  ChildResult result;
  return run({"scontrol", "update", "JobId=" + jobId + "_" + std::to_string(task), "NodeList=" + node,
              "TresPerNode=gres:" + gresName + ":" + gresType + ":1"},
             result, error);
}

bool release(const std::string& jobId, std::string& error) {
  ChildResult result;
  return run({"scontrol", "release", jobId}, result, error);
}

bool cancel(const std::vector<std::string>& jobIds, std::string& error) {
  ChildResult result;
  std::vector<std::string> argv = {"scancel"};
  argv.insert(argv.end(), jobIds.begin(), jobIds.end());
  return run(argv, result, error);
}

std::map<std::string, TaskState> parseQueue(const std::string& out) {
  std::map<std::string, TaskState> tasks;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    const std::vector<std::string> f = fields(line);
    if (f.size() < 5) continue;
    tasks[f[0]] = TaskState{f[1], f[2], f[3], f[4]};
  }
  return tasks;
}

std::map<std::string, TaskState> queuedTasks(const std::vector<std::string>& jobIds, std::string& error) {
  ChildResult result;
  if (jobIds.empty()) return {};
  // %i is "JOB_TASK" with --array; a finished job makes squeue fail with "Invalid job id".
  if (!run({"squeue", "--noheader", "--array", "--jobs=" + joined(jobIds), "--format=%i|%T|%M|%N|%r"}, result, error)) {
    if (error.find("Invalid job id") == std::string::npos) return {};
    error.clear();
  }
  return parseQueue(result.output);
}

std::map<std::string, TaskState> parseAccounting(const std::string& out) {
  std::map<std::string, TaskState> tasks;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    const std::vector<std::string> f = fields(line);
    // Steps ("1234_0.batch") say less than their task does.
    if (f.size() < 4 || f[0].find('.') != std::string::npos) continue;
    std::string state = f[1];
    if (const size_t space = state.find(' '); space != std::string::npos) state.erase(space);  // "CANCELLED by 0"
    tasks[f[0]] = TaskState{state, f[2], f[3], ""};
  }
  return tasks;
}

std::map<std::string, TaskState> accountedTasks(const std::vector<std::string>& jobIds, std::string& error) {
  ChildResult result;
  if (jobIds.empty()) return {};
  if (!run({"sacct", "--parsable2", "--noheader", "--jobs=" + joined(jobIds), "--format=JobID,State,Elapsed,NodeList"},
           result, error))
    return {};
  return parseAccounting(result.output);
}

}  // namespace varnox::cli::slurm
