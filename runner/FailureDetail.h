#pragma once
// The failing block of a drive as the agent's output files hold it: the drive's and the
// reference bytes (the "_drive_" and "_reference_" .bin files), and from the sequence dump
// (the "_trace_" .txt file) the block's history and the commands that touched it. The LBA is
// the one the drive's first failure line names. Read once the run is over, for the JSON, from
// which the HTML report is drawn.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "varnox/TestRun.h"

namespace varnox::cli {

struct FailureDetail {
  std::optional<uint64_t> lba;
  std::vector<uint8_t> driveBytes;
  std::vector<uint8_t> referenceBytes;
  std::string history;   // the history report of the failing block
  std::string sequence;  // the commands that include the failing LBA

  bool empty() const { return !lba && driveBytes.empty() && referenceBytes.empty() && history.empty() && sequence.empty(); }
};

// The LBA a failure line names ("LBA 0x..." or "lba:0x..."), if any.
std::optional<uint64_t> lbaInLine(const std::string& line);

FailureDetail readFailureDetail(const DriveReport& drive);

// `"failure": {"lba": ..., "driveHex": "...", "referenceHex": "...", "history": "...",
// "sequence": "..."}`, no leading comma; empty when there is nothing to say.
std::string failureJson(const FailureDetail& detail);

}  // namespace varnox::cli
