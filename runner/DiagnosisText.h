#pragma once
// The agent's diagnosis of a drive's failure (DriveReport::diagnosis) for people and machines:
// a few labelled summary lines, and a JSON object with the numbers as numbers.
#include <string>
#include <utility>
#include <vector>

#include "varnox/TestRun.h"

namespace varnox::cli {

// Label and text per line: "diagnosis" (class, LBA, what failed, the agent's sentence),
// "data files" when a data file could not be written and why, "dump kept" when a passing run
// kept its sequence dump and why. Empty without a diagnosis.
std::vector<std::pair<std::string, std::string>> diagnosisLines(const DriveReport& drive);

// The diagnosis as a JSON object ("null" without one): failure, class, lba, offset, bytes,
// commandIds {check, expected, found}, foundLba, text, dataFiles {drive, reference} (paths or
// null), noDataFile {drive, reference} (reasons), dumpReason.
std::string diagnosisJson(const DriveReport& drive);

}  // namespace varnox::cli
