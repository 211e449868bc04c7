#pragma once
// Where every drive of a campaign stands, from Slurm's queue and accounting and from the result
// files its tasks wrote.
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "CampaignFile.h"
#include "CampaignState.h"

namespace varnox::cli::campaign {

struct DriveStatus {
  const CampaignDrive* drive = nullptr;
  std::string task;          // "JOB_TASK", empty when never submitted
  std::string state;         // "not submitted", "pending", "running", "passed", "failed", "device error",
                             // "inconclusive", "refused", "interrupted", "lost"
  std::string detail;        // the failure's class and LBA, Slurm's reason, the live progress
  std::string folder;        // the task's result folder, when it has one
  nlohmann::json result;     // the task's result.json, when it has one
  bool finished() const { return state != "pending" && state != "running"; }
};

// One status per drive of the campaign, in its order. `note` says what Slurm could not tell
// (no accounting on this cluster, say).
std::vector<DriveStatus> driveStatuses(const Campaign& campaign, const CampaignState& state, std::string& note);

// The state a result's exit status stands for ("passed" for 0, ...).
std::string stateOfExit(int exitStatus);

// "corrupted at LBA 0x3E8" from a failing result; empty otherwise.
std::string failureDetail(const nlohmann::json& result);

}  // namespace varnox::cli::campaign
