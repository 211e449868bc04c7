#pragma once
// Where the library of an agent named in a test file is found.
#include <string>

#include "varnox/TestPlan.h"

namespace varnox::cli {

// "cardamor" is the agent built with this program: libcardamor.so next to the varnox executable
// (an installed copy), else the one of the build tree, else the bare name for the dynamic
// loader's search path. Any other name is returned unchanged (the built-in agents "lba" and
// "write-kind", or a library path).
std::string agentLibrary(const std::string& agent);

// Replaces the agent names of `plan`'s flow by their libraries.
void resolveAgentLibraries(TestPlan& plan);

}  // namespace varnox::cli
