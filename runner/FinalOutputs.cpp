#include "FinalOutputs.h"

#include <cerrno>
#include <cstring>

#include "HtmlReport.h"
#include "Messages.h"
#include "OutputPaths.h"

namespace varnox::cli {

void writeFinalOutputs(const FinalOutputPaths& paths, std::ostream* csv, const SummaryInput& summary,
                       RunReport& report, std::ostream& err) {
  auto failed = [&report, &err](const std::string& option, const std::string& why) {
    err << "varnox: " << option << ": " << escapeControl(why) << '\n';
    report.error += (report.error.empty() ? "" : "; ") + option + ": " + why;
    if (report.exitStatus == kExitPassed) report.exitStatus = kExitRefused;
  };
  // Rows went out as the run went; a full disk shows only when the stream is flushed.
  if (csv != nullptr && !csv->flush())
    failed("--series", "writing " + paths.series + " failed: " + std::strerror(errno ? errno : EIO));
  std::string why;
  if (!paths.report.empty() && !writeHtmlReport(summaryJson(summary), paths.report, why))
    failed("--report", why);
  if (!paths.json.empty() && !writeFileAtomically(paths.json, summaryJson(summary), why))
    failed("--json", why);
}

}  // namespace varnox::cli
