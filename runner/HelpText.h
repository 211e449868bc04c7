#pragma once
// Texts of `varnox --version` and of the end of `varnox --help`.
#include <string>

namespace varnox::cli {

// "varnox 0.1.0 (source revision 42198ed1a2b3)"; the revision carries "-dirty" when the tree had
// uncommitted changes and is "unknown" when the build was not made from a git checkout.
std::string versionText();
// Its two parts: "0.1.0" and "42198ed1a2b3".
std::string versionNumber();
std::string sourceRevision();

// The exit statuses, one a line: "  1 data-integrity failure: miscompare, ...".
std::string exitStatusHelp();

// The statuses of `varnox check` and of `varnox report`, for their own help.
std::string checkStatusHelp();
std::string reportStatusHelp();

}  // namespace varnox::cli
