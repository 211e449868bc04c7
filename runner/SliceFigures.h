#pragma once
// A drive split into slices shows its figures once, added up; these show each slice's beside
// them: a few summary lines, a "slices" array in the JSON and a table in the report.
#include <string>

#include "varnox/TestRun.h"

namespace varnox::cli {

// "  slices        D0.1 LBA 0-32767: 1.2 GB written, ..." lines; empty for a drive of one slice.
std::string slicesText(const DriveReport& drive, double seconds);
// ",\n     \"slices\": [...]" for the drive's JSON record; empty for a drive of one slice.
std::string slicesJson(const DriveReport& drive, double seconds);

}  // namespace varnox::cli
