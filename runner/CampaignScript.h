#pragma once
// The batch script of a campaign's job array: task i tests drive i of the list it was made
// for, with the drive's seed, writing its result where `campaign status` looks for it.
#include <string>
#include <vector>

#include "CampaignFile.h"

namespace varnox::cli::campaign {

// The folder of one task's results: RESULTS/drives/FOLDER/JOB_TASK (".rN" after Slurm's Nth
// requeue).
std::string driveFolder(const Campaign& campaign, const CampaignDrive& drive);

// The script for `drives` (all of the campaign's, or the ones a rerun submits). `varnox` is the
// program the tasks run.
std::string batchScript(const Campaign& campaign, const std::vector<const CampaignDrive*>& drives,
                        const std::string& varnox);

}  // namespace varnox::cli::campaign
