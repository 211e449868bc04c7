#include "AgentLibrary.h"

#include <climits>
#include <string>
#include <unistd.h>

#ifndef CARDAMOR_DEFAULT_PATH
#define CARDAMOR_DEFAULT_PATH "libcardamor.so"
#endif

namespace varnox::cli {
namespace {

bool readable(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

std::string executableDir() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  std::string path(buf, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

}  // namespace

std::string agentLibrary(const std::string& agent) {
  if (agent != "cardamor") return agent;
  std::string dir = executableDir();
  if (!dir.empty() && readable(dir + "/libcardamor.so")) return dir + "/libcardamor.so";
  if (readable(CARDAMOR_DEFAULT_PATH)) return CARDAMOR_DEFAULT_PATH;
  return "libcardamor.so";
}

void resolveAgentLibraries(TestPlan& plan) {
  for (StepSpec& step : plan.flow)
    if (step.kind == StepSpec::Kind::Agent) step.name = agentLibrary(step.name);
}

}  // namespace varnox::cli
