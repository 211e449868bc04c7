#pragma once
// The directory of the output base ([test] output or --output): made before the run when it is
// missing, so that a failure's files land where the user asked and the user hears of it.
#include <string>

namespace varnox::cli {

// Makes the directory `base` names its files in ("/tmp/runs/r1" -> "/tmp/runs") when it is
// missing. True with `created` naming the directory made, or empty when it existed; false with
// `error` naming the directory and the reason when it cannot be made.
bool makeOutputDirectory(const std::string& base, std::string& created, std::string& error);

}  // namespace varnox::cli
