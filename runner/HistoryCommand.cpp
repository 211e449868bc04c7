#include "HistoryCommand.h"

#include <cstdio>

#include "HtmlReport.h"
#include "Messages.h"
#include "OutputPaths.h"
#include "varnox/TestRun.h"

namespace varnox::cli {
namespace {

int listRuns(HistoryDatabase& db, const HistoryArguments& args, std::ostream& out) {
  const std::vector<HistoryEntry> entries = db.list(args.filter);
  if (entries.empty()) {
    out << "no runs\n";
    return kExitPassed;
  }
  char line[160];
  std::snprintf(line, sizeof line, "%6s  %-20s  %-24s %10s  %s\n", "run", "start (UTC)", "result", "time",
                "test file");
  out << line;
  for (const HistoryEntry& e : entries) {
    char seconds[32] = "";
    if (e.exitStatus >= 0) std::snprintf(seconds, sizeof seconds, "%.1f s", e.seconds);
    std::snprintf(line, sizeof line, "%6lld  %-20s  %-24s %10s  ", static_cast<long long>(e.id),
                  e.startTime.c_str(), e.result.c_str(), seconds);
    out << line << escapeControl(e.testFile) << '\n';
    for (const std::string& drive : e.drives) out << "        " << escapeControl(drive) << '\n';
  }
  return kExitPassed;
}

}  // namespace

int historyCommand(const HistoryArguments& args, std::ostream& out, std::ostream& err) {
  std::string error;
  std::unique_ptr<HistoryDatabase> db = HistoryDatabase::openForReading(args.database, error);
  if (!db) {
    err << "varnox: " << escapeControl(error) << '\n';
    return kExitRefused;
  }
  try {
    if (args.run == 0) {
      if (!args.report.empty() || !args.json.empty()) {
        err << "varnox: --report and --json need --run ID: the run whose result to write\n";
        return kExitRefused;
      }
      return listRuns(*db, args, out);
    }
    const std::optional<std::string> document = db->document(args.run);
    if (!document) {
      err << "varnox: " << escapeControl(args.database) << ": no finished run " << args.run
          << " (varnox history " << escapeControl(args.database) << " lists them)\n";
      return kExitRefused;
    }
    if (args.report.empty() && args.json.empty()) {
      out << *document;
      if (!document->empty() && document->back() != '\n') out << '\n';
      return kExitPassed;
    }
    if (!args.json.empty() && !writeFileAtomically(args.json, *document, error)) {
      err << "varnox: --json: " << escapeControl(error) << '\n';
      return kExitRefused;
    }
    if (!args.report.empty()) {
      if (!writeHtmlReport(*document, args.report, error)) {
        err << "varnox: --report: " << escapeControl(error) << '\n';
        return kExitRefused;
      }
      out << args.report << '\n';
    }
  } catch (const std::exception& e) {
    err << "varnox: " << escapeControl(args.database) << ": cannot read the history database: " << e.what()
        << '\n';
    return kExitRefused;
  }
  return kExitPassed;
}

}  // namespace varnox::cli
