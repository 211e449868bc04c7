// `varnox verify --journal DIR` (VerifyCommand.h).
#include "VerifyCommand.h"

#include <chrono>

#include "HelpText.h"
#include "Messages.h"
#include "OutputPaths.h"
#include "RunDetails.h"
#include "Summary.h"
#include "varnox/JournalVerify.h"

namespace varnox::cli {

int verifyCommand(const VerifyArguments& args, std::ostream& out, std::ostream& err) {
  RunDetails details = collectRunDetails("", args.commandLine);
  JournalVerifyResult result = verifyJournal(args.journal, args.output);
  const std::string file = "journal " + args.journal;
  if (!result.report.error.empty()) err << "varnox: " << escapeControl(result.report.error) << '\n';
  for (const JournalVerifyCounts& c : result.drives) {
    out << c.drive << ": " << c.records << " journal records" << (c.tornTail ? " (a record cut at the end, ignored)" : "")
        << ", " << c.commands << " commands; " << c.blocks << " blocks judged: " << c.held
        << " hold what they may, " << c.unknown << " unknown (only writes that may not have landed, earlier content unknown), "
        << c.wrong << " wrong\n";
  }
  SummaryInput summary{file, &result.report, nullptr, 0};
  if (!result.report.drives.empty()) out << summaryText(summary);
  details.endTime = utcTimestamp(std::chrono::system_clock::now());
  if (!args.json.empty()) {
    SummaryInput full{file, &result.report, nullptr, 0, nullptr, &details};
    std::string why;
    if (!writeFileAtomically(args.json, summaryJson(full), why)) {
      err << "varnox: --json: " << escapeControl(why) << '\n';
      if (result.report.exitStatus == kExitPassed) return kExitRefused;
    }
  }
  return result.report.exitStatus;
}

}  // namespace varnox::cli
