#pragma once
// What a campaign has submitted: RESULTS/campaign.json lists every job array with the drive of
// each task, so that status, report and rerun find the tasks of a drive in Slurm and on disk.
#include <string>
#include <vector>

namespace varnox::cli::campaign {

struct Submission {
  std::string jobId;
  std::string time;                 // UTC, ISO 8601
  std::string kind;                 // "submit" or "rerun"
  std::vector<std::string> drives;  // drive ids, by task index
};

struct CampaignState {
  std::vector<Submission> submissions;  // oldest first
  std::vector<std::string> gathered;    // result folders already in the history database
};

// A missing file is an empty state. False with `error` for a file that cannot be read.
bool loadState(const std::string& resultsFolder, CampaignState& state, std::string& error);
bool saveState(const std::string& resultsFolder, const CampaignState& state, std::string& error);

// The newest task that tested `driveId`: "JOB_TASK", or empty.
std::string newestTask(const CampaignState& state, const std::string& driveId);

}  // namespace varnox::cli::campaign
