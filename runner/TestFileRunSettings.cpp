// Reads [test]: when the run ends, how long a command may take, how many device errors are
// tolerated, and where output, log and the journal go.
#include "TestFileTables.h"

#include <cstdint>
#include <optional>

#include "TestFileSection.h"
#include "Units.h"

namespace varnox::cli::testfile {

bool readTest(const toml::table& root, TestPlan& plan, std::string& error) {
  const toml::node* node = root.get("test");
  if (node == nullptr) return true;
  if (!node->is_table()) {
    error = "[test] must be a table, got " + describe(*node);
    return false;
  }
  Section s(*node->as_table(), "[test]", error);
  if (const toml::node* d = s.find("duration")) {
    if (const auto* i = d->as_integer(); i != nullptr && i->get() > 0) {
      plan.durationSeconds = static_cast<double>(i->get());
    } else if (d->is_string()) {
      std::string why;
      auto seconds = parseDuration(d->as_string()->get(), why);
      if (!seconds) return s.fail("duration", "is not a duration: " + why, nullptr);
      if (*seconds <= 0) return s.fail("duration", "must be longer than 0 s", d);
      plan.durationSeconds = *seconds;
    } else {
      return s.fail("duration", "must be a duration such as \"30s\", \"5m\" or \"1h\"", d);
    }
  }
  if (!durationValue(s, "command_timeout", true, plan.commandTimeoutSeconds)) return false;
  std::optional<int64_t> passes;
  if (!s.integer("passes", 1, INT64_MAX, passes)) return false;
  // One limit, as on the command line: which of the two would end the run is not obvious.
  if (passes && plan.durationSeconds > 0) return s.fail("duration", "and \"passes\" cannot both be given", nullptr);
  if (passes) plan.passes = static_cast<uint64_t>(*passes);
  std::optional<int64_t> maxDeviceErrors;
  if (!s.integer("max_device_errors", 0, INT64_MAX, maxDeviceErrors)) return false;
  if (maxDeviceErrors) plan.maxDeviceErrors = static_cast<uint64_t>(*maxDeviceErrors);
  std::optional<std::string> output, log, journal, journalSync, db;
  if (!s.string("output", output) || !s.string("log", log) || !s.string("journal", journal) ||
      !s.string("journal_sync", journalSync) || !s.string("db", db))
    return false;
  if (output) plan.outputBase = *output;
  if (log) plan.logFile = *log;
  if (db) plan.historyDatabase = *db;
  if (journal) {
    if (journal->empty()) return s.fail("journal", "must name a folder", nullptr);
    plan.journalDir = *journal;
  }
  if (journalSync) {
    if (*journalSync != "host" && *journalSync != "process")
      return s.fail("journal_sync", "must be \"host\" or \"process\", got \"" + *journalSync + "\"", nullptr);
    plan.journalSync = *journalSync;
  }
  return s.rejectUnknown();
}

}  // namespace varnox::cli::testfile
