#pragma once
// The HTML report's tables of how a run was made: the program, the machine, the test file and
// the seeds ("Run"), and the resolved configuration ("Settings": the test's limits, each drive's
// settings, the flow and every agent key with whether its default stood).
#include <sstream>

#include "HtmlParts.h"

namespace varnox::cli::html {

void runSection(std::ostringstream& out, const json& run);
void settingsSection(std::ostringstream& out, const json& configuration);
// A drive's settings as the configuration gives them (capacity, block size, cache, ...).
LabelledTable driveSettingsTable(const json& drive);

}  // namespace varnox::cli::html
