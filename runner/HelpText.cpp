#include "HelpText.h"

#include "SourceRevision.h"

namespace varnox::cli {

std::string versionText() {
  return std::string("varnox ") + VARNOX_VERSION + " (source revision " + VARNOX_SOURCE_REVISION + ")";
}

std::string versionNumber() { return VARNOX_VERSION; }

std::string sourceRevision() { return VARNOX_SOURCE_REVISION; }

std::string exitStatusHelp() {
  return "Exit status:\n"
         "  0 passed: data was checked on every drive and nothing failed\n"
         "  1 data-integrity failure: miscompare, write splice, torn atomic write\n"
         "  2 refused: the test file, an option, the configuration or the setup\n"
         "  3 device failure: the device failed or could not be used\n"
         "  4 inconclusive: a drive checked no data\n"
         "  129 interrupted by SIGHUP before the run's limit (the summary is still printed)\n"
         "  130 interrupted by SIGINT (Ctrl-C) before the run's limit\n"
         "  143 interrupted by SIGTERM before the run's limit\n"
         "A failure found before the signal keeps its own status.\n";
}

std::string checkStatusHelp() {
  return "Exit status:\n"
         "  0 the test file, its keys and drives are fine; what the run would create or fill is listed\n"
         "  2 refused: the test file, an option, the configuration or a drive's safety rule\n"
         "  3 a drive cannot be used (missing folder, no permission, a directory or a character device)\n";
}

std::string reportStatusHelp() {
  return "Exit status:\n"
         "  0 the report was written; its path is printed\n"
         "  2 refused: the JSON summary cannot be read, or the report cannot be written\n";
}

}  // namespace varnox::cli
