#pragma once
// The page of a whole campaign: the verdict per drive, the failures grouped by model, firmware
// and class, throughput and latency of every drive side by side, and a link to each run's own
// report.
#include <string>
#include <vector>

#include "CampaignFile.h"
#include "CampaignStatus.h"

namespace varnox::cli::campaign {

// The page, self-contained like a run's report. Links are relative to `pagePath`'s folder.
std::string campaignPage(const Campaign& campaign, const std::vector<DriveStatus>& drives, const std::string& pagePath,
                         const std::string& generated);

// The model, firmware and serial a result names for its drive ("" where it names none).
struct DriveIdentity {
  std::string model, firmware, serial;
};
DriveIdentity identityOf(const nlohmann::json& result);

}  // namespace varnox::cli::campaign
