#pragma once
// `varnox history FILE`: the runs kept in a history database, filtered by drive serial, result
// and date; with --run ID, that run's report rebuilt from its stored JSON result.
#include <cstdint>
#include <ostream>
#include <string>

#include "HistoryDatabase.h"

namespace varnox::cli {

struct HistoryArguments {
  std::string database;
  HistoryFilter filter;
  int64_t run = 0;     // 0: list the runs
  std::string report;  // with run: where its HTML report goes
  std::string json;    // with run: where its JSON result goes
};

// Returns the exit status: 0, or 2 with a message on `err` for a database or run it cannot read.
int historyCommand(const HistoryArguments& args, std::ostream& out, std::ostream& err);

}  // namespace varnox::cli
