// The campaign's record of its submissions, as JSON in its results folder.
#include "CampaignState.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "OutputPaths.h"

namespace varnox::cli::campaign {
namespace {

std::string statePath(const std::string& folder) { return folder + "/campaign.json"; }

}  // namespace

bool loadState(const std::string& folder, CampaignState& state, std::string& error) {
  state = CampaignState{};
  std::ifstream in(statePath(folder));
  if (!in) return true;
  try {
    const nlohmann::json doc = nlohmann::json::parse(in);
    for (const nlohmann::json& s : doc.at("submissions"))
      state.submissions.push_back(Submission{s.at("jobId").get<std::string>(), s.at("time").get<std::string>(),
                                             s.at("kind").get<std::string>(),
                                             s.at("drives").get<std::vector<std::string>>()});
    if (doc.contains("gathered")) state.gathered = doc["gathered"].get<std::vector<std::string>>();
  } catch (const nlohmann::json::exception& e) {
    error = statePath(folder) + ": not a campaign record: " + e.what();
    return false;
  }
  return true;
}

bool saveState(const std::string& folder, const CampaignState& state, std::string& error) {
  nlohmann::json doc;
  doc["submissions"] = nlohmann::json::array();
  for (const Submission& s : state.submissions)
    doc["submissions"].push_back({{"jobId", s.jobId}, {"time", s.time}, {"kind", s.kind}, {"drives", s.drives}});
  doc["gathered"] = state.gathered;
  return writeFileAtomically(statePath(folder), doc.dump(2) + "\n", error);
}

std::string newestTask(const CampaignState& state, const std::string& driveId) {
  for (auto s = state.submissions.rbegin(); s != state.submissions.rend(); ++s)
    for (size_t i = 0; i < s->drives.size(); ++i)
      if (s->drives[i] == driveId) return s->jobId + "_" + std::to_string(i);
  return "";
}

}  // namespace varnox::cli::campaign
