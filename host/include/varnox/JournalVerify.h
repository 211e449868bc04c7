#pragma once
// `varnox verify --journal DIR`: after the host died (a kill, a crash, a power cut) or a run that
// ended cleanly, reopens every drive a run's journal names, reads every block the journal names
// and judges each against the contents it may legally hold (host/journal/JournalJudge.h).
#include <cstdint>
#include <string>
#include <vector>

#include "varnox/TestRun.h"

namespace varnox {

// What was judged on one drive.
struct JournalVerifyCounts {
  std::string drive;
  uint64_t records = 0;     // journal records read
  bool tornTail = false;    // the journal ended in a record cut in the middle (ignored)
  uint64_t commands = 0;    // journaled commands
  uint64_t blocks = 0;      // blocks read and judged
  uint64_t held = 0;        // holding a content they may legally hold
  uint64_t unknown = 0;     // only writes that may not have landed, and the earlier content unknown
  uint64_t wrong = 0;       // holding anything else
};

struct JournalVerifyResult {
  RunReport report;  // one DriveReport per drive: failures, diagnosis, data files, exit status
  std::vector<JournalVerifyCounts> drives;
  std::string source;       // the test file of the journaled run
  std::string journalSync;  // "host" or "process"
};

// `outputBase` is where the data file of a failing block goes ("" for the journal's folder).
JournalVerifyResult verifyJournal(const std::string& dir, const std::string& outputBase);

}  // namespace varnox
