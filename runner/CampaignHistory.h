#pragma once
// A campaign's results into the history database: the tasks write JSON records to the shared
// results folder (SQLite on a network file system would lock badly across hosts), and `campaign
// report` appends each record once to the database on the host that runs it.
#include <string>
#include <vector>

#include "CampaignStatus.h"

namespace varnox::cli::campaign {

// Appends the result of every drive in `drives` that has one and is not in `gathered` yet (its
// folder), and adds it there. False with `error` naming the database.
bool gatherIntoHistory(const std::string& database, const std::vector<DriveStatus>& drives,
                       std::vector<std::string>& gathered, std::string& error);

}  // namespace varnox::cli::campaign
