#pragma once
// Slurm through its own commands, parsing their machine-readable output: sbatch --parsable,
// squeue and sacct with fixed formats, scontrol to bind a task to its node and drive.
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace varnox::cli::slurm {

// Submits `script` as a held job array of `tasks` tasks. The job id, or nothing with `error`.
std::optional<std::string> submitHeldArray(const std::string& scriptPath, size_t tasks, std::string& error);

// Binds one pending task of an array to a node and to one drive of a generic resource
// ("gres:drive:sdb:1"), so that it runs only there and holds that drive while it runs.
bool bindTask(const std::string& jobId, size_t task, const std::string& node, const std::string& gresName,
              const std::string& gresType, std::string& error);

bool release(const std::string& jobId, std::string& error);
bool cancel(const std::vector<std::string>& jobIds, std::string& error);

struct TaskState {
  std::string state;     // PENDING, RUNNING, COMPLETED, FAILED, NODE_FAIL, CANCELLED, ...
  std::string elapsed;   // as Slurm prints it
  std::string node;      // where it runs or ran
  std::string reason;    // why it is pending
};

// Tasks still in the queue, by "JOB_TASK".
std::map<std::string, TaskState> queuedTasks(const std::vector<std::string>& jobIds, std::string& error);

// Tasks in Slurm's accounting, by "JOB_TASK". Nothing, with `error` saying why, where the cluster
// keeps no accounting (then finished tasks are known by their result files alone).
std::map<std::string, TaskState> accountedTasks(const std::vector<std::string>& jobIds, std::string& error);

// Parsers of the commands' outputs, for tests.
std::optional<std::string> parseSubmitted(const std::string& sbatchOutput);
std::map<std::string, TaskState> parseQueue(const std::string& squeueOutput);
std::map<std::string, TaskState> parseAccounting(const std::string& sacctOutput);

}  // namespace varnox::cli::slurm
