// Writing the batch script of a campaign.
#include "CampaignScript.h"

#include <sstream>

#include "Messages.h"

namespace varnox::cli::campaign {

std::string driveFolder(const Campaign& campaign, const CampaignDrive& drive) {
  return campaign.results + "/drives/" + folderName(drive.id);
}

std::string batchScript(const Campaign& c, const std::vector<const CampaignDrive*>& drives, const std::string& varnox) {
  std::ostringstream s;
  s << "#!/bin/bash\n"
    << "# varnox campaign " << c.name << " (" << c.file << "): one task per drive. `varnox campaign submit`\n"
    << "# binds task i to the node of drive i and to that drive as the generic resource \"" << c.gresName << "\",\n"
    << "# so that no two tasks test one drive at once.\n"
    << "#SBATCH --job-name=varnox-" << c.name << '\n'
    << "#SBATCH --output=" << c.results << "/slurm/%A_%a.out\n"
    << "#SBATCH --ntasks=1\n"
    // A node that fails takes the task with it; Slurm runs it again. A data failure is an exit
    // status like any other and is never retried by Slurm.
    << "#SBATCH --requeue\n";
  if (!c.partition.empty()) s << "#SBATCH --partition=" << c.partition << '\n';
  if (!c.timeLimit.empty()) s << "#SBATCH --time=" << c.timeLimit << '\n';
  for (const std::string& extra : c.sbatchArguments) s << "#SBATCH " << extra << '\n';
  s << "set -u\n"
    << "case \"${SLURM_ARRAY_TASK_ID:-}\" in\n";
  for (size_t i = 0; i < drives.size(); ++i) {
    const CampaignDrive& d = *drives[i];
    s << "  " << i << ") drive=" << shellWord(d.id) << " device=" << shellWord(d.path) << " seed=" << d.seed
      << " test=" << shellWord(d.testFile) << " folder=" << shellWord(driveFolder(c, d)) << " ;;\n";
  }
  s << "  *) echo \"varnox campaign: no drive for task ${SLURM_ARRAY_TASK_ID:-}\" >&2; exit 2 ;;\n"
    << "esac\n"
    << "out=\"$folder/${SLURM_ARRAY_JOB_ID}_${SLURM_ARRAY_TASK_ID}\"\n"
    << "[ \"${SLURM_RESTART_COUNT:-0}\" = 0 ] || out=\"$out.r$SLURM_RESTART_COUNT\"\n"
    << "mkdir -p \"$out\" || exit 3\n"
    << "# Which node and which drive Slurm gave this task, kept beside its result.\n"
    << "{ echo \"drive $drive\"; echo \"node $(hostname -s)\"; scontrol show job -d \"${SLURM_ARRAY_JOB_ID}_${SLURM_ARRAY_TASK_ID}\" | grep -E 'JOB_GRES|GRES='; } > \"$out/allocation.txt\" 2>&1\n"
    << "limit=(" << (c.passes > 0 ? "--passes " + std::to_string(c.passes) : "--duration " + shellWord(c.duration)) << ")\n"
    << "run() {\n"
    << "  " << shellWord(varnox) << " run \"$test\" --device \"$device\" --seed \"$seed\" \"${limit[@]}\" \\\n"
    << "    --json \"$1/result.json\" --report \"$1/report.html\" --output \"$1/run\" > \"$1/summary.txt\" 2>&1\n"
    << "}\n"
    << "run \"$out\"\n"
    << "status=$?\n";
  if (c.onFailure == "rerun") {
    s << "# A data failure runs again at once with the same seed: does it repeat?\n"
      << "if [ \"$status\" = 1 ]; then mkdir -p \"$out/rerun\" && run \"$out/rerun\"; fi\n";
  }
  s << "exit \"$status\"\n";
  return s.str();
}

}  // namespace varnox::cli::campaign
