#pragma once
// `varnox campaign submit|status|report|rerun|cancel CAMPAIGN.toml`: a test run on many drives
// of many hosts as one Slurm job array, its progress and its results in one place.
#include <CLI/CLI.hpp>
#include <ostream>
#include <string>

namespace varnox::cli {

struct CampaignArguments {
  std::string file;
  bool dryRun = false;
  bool failed = false;
  bool json = false;
  bool wait = false;
  std::string timeout = "0";
  std::string report;
};

// Adds the campaign command and its subcommands to `app`; the returned command is parsed() when
// the user chose it.
CLI::App* addCampaignCommand(CLI::App& app, CampaignArguments& args);

int campaignCommand(const CLI::App& campaign, const CampaignArguments& args, std::ostream& out, std::ostream& err);

}  // namespace varnox::cli
