// Joining Slurm's view of a campaign's tasks with the results they left.
#include "CampaignStatus.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "CampaignScript.h"
#include "Slurm.h"

namespace varnox::cli::campaign {
namespace {

namespace fs = std::filesystem;

// The newest attempt of a task: Slurm's requeues write JOB_TASK.r1, .r2, ...
std::string newestAttempt(const std::string& driveFolder, const std::string& task) {
  std::string best;
  int bestRestart = -1;
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(driveFolder, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(task, 0) != 0) continue;
    const std::string rest = name.substr(task.size());
    int restart = 0;
    if (!rest.empty() && (rest.rfind(".r", 0) != 0 || std::sscanf(rest.c_str() + 2, "%d", &restart) != 1)) continue;
    if (restart > bestRestart) {
      bestRestart = restart;
      best = entry.path().string();
    }
  }
  return best;
}

// The last progress line the task printed, for a running task.
std::string lastLine(const std::string& path) {
  std::ifstream in(path);
  std::string line, last;
  while (std::getline(in, line)) {
    if (const size_t cr = line.rfind('\r'); cr != std::string::npos) line = line.substr(cr + 1);
    if (!line.empty()) last = line;
  }
  return last;
}

bool inQueue(const std::string& slurmState) {
  return slurmState == "PENDING" || slurmState == "RUNNING" || slurmState == "CONFIGURING" ||
         slurmState == "COMPLETING" || slurmState == "REQUEUED" || slurmState == "RESIZING" || slurmState == "SUSPENDED";
}

}  // namespace

std::string stateOfExit(int exitStatus) {
  switch (exitStatus) {
    case 0: return "passed";
    case 1: return "failed";
    case 2: return "refused";
    case 3: return "device error";
    case 4: return "inconclusive";
    default: return "interrupted";
  }
}

std::string failureDetail(const nlohmann::json& result) {
  if (!result.contains("drives")) return "";
  for (const nlohmann::json& drive : result["drives"]) {
    const nlohmann::json* d = drive.contains("diagnosis") && drive["diagnosis"].is_object() ? &drive["diagnosis"] : nullptr;
    std::string text;
    if (d != nullptr && d->contains("class") && (*d)["class"].is_string()) text = (*d)["class"].get<std::string>();
    const nlohmann::json* lba = d != nullptr && d->contains("lba") ? &(*d)["lba"] : nullptr;
    if ((lba == nullptr || !lba->is_number()) && drive.contains("failure") && drive["failure"].is_object() &&
        drive["failure"].contains("lba"))
      lba = &drive["failure"]["lba"];
    if (lba != nullptr && lba->is_number_unsigned()) {
      char hex[40];
      std::snprintf(hex, sizeof hex, "LBA 0x%llX", static_cast<unsigned long long>(lba->get<uint64_t>()));
      text += (text.empty() ? "" : " at ") + std::string(hex);
    }
    if (!text.empty()) return text;
  }
  return result.contains("error") && result["error"].is_string() ? result["error"].get<std::string>() : "";
}

std::vector<DriveStatus> driveStatuses(const Campaign& campaign, const CampaignState& state, std::string& note) {
  std::vector<std::string> jobs;
  for (const Submission& s : state.submissions) jobs.push_back(s.jobId);
  std::string queueError, accountingError;
  const auto queued = slurm::queuedTasks(jobs, queueError);
  const auto accounted = slurm::accountedTasks(jobs, accountingError);
  if (!queueError.empty()) note = "squeue: " + queueError;
  else if (!accountingError.empty() && !jobs.empty())
    note = "sacct: " + accountingError + " (finished tasks are known by their result files)";

  std::vector<DriveStatus> out;
  for (const CampaignDrive& drive : campaign.drives) {
    DriveStatus st;
    st.drive = &drive;
    st.task = newestTask(state, drive.id);
    if (st.task.empty()) {
      st.state = "not submitted";
      out.push_back(std::move(st));
      continue;
    }
    const auto q = queued.find(st.task);
    if (q != queued.end() && inQueue(q->second.state)) {
      st.state = q->second.state == "PENDING" ? "pending" : "running";
      st.detail = st.state == "pending" ? q->second.reason : "on " + q->second.node + " for " + q->second.elapsed;
    }
    st.folder = newestAttempt(driveFolder(campaign, drive), st.task);
    if (st.state == "running" && !st.folder.empty()) {
      if (std::string progress = lastLine(st.folder + "/summary.txt"); !progress.empty()) st.detail += ": " + progress;
    }
    if (!st.state.empty()) {
      out.push_back(std::move(st));
      continue;
    }
    std::ifstream in(st.folder + "/result.json");
    if (!st.folder.empty() && in) {
      try {
        st.result = nlohmann::json::parse(in);
        st.state = stateOfExit(st.result.value("exitStatus", -1));
        st.detail = st.state == "passed" ? "" : failureDetail(st.result);
        if (st.state == "failed" && campaign.onFailure == "rerun") {
          std::ifstream again(st.folder + "/rerun/result.json");
          if (again) {
            const nlohmann::json rerun = nlohmann::json::parse(again, nullptr, false);
            const bool repeated = !rerun.is_discarded() && rerun.value("exitStatus", -1) == 1;
            st.detail += repeated ? "; repeated with the same seed" : "; did not repeat with the same seed";
          }
        }
      } catch (const nlohmann::json::exception& e) {
        st.state = "lost";
        st.detail = st.folder + "/result.json: " + e.what();
      }
    } else {
      // Gone from the queue without a result: cancelled, timed out or lost with its node.
      const auto a = accounted.find(st.task);
      st.state = "lost";
      st.detail = a != accounted.end() ? "Slurm says " + a->second.state + ", no result file"
                                       : "no result file (see " + campaign.results + "/slurm/" + st.task + ".out)";
    }
    out.push_back(std::move(st));
  }
  return out;
}

}  // namespace varnox::cli::campaign
