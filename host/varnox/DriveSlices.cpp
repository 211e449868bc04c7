#include "DriveSlices.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <ctime>

#include "BuiltinAgents.h"
#include "RunExitStatus.h"
#include "varnox/Errors.h"

namespace varnox {
namespace {

bool allowedCpus(cpu_set_t& set) {
  CPU_ZERO(&set);
  return sched_getaffinity(0, sizeof set, &set) == 0;
}

std::string cpuList(const cpu_set_t& set) {
  std::string list;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
    if (CPU_ISSET(cpu, &set)) list += (list.empty() ? "" : ", ") + std::to_string(cpu);
  return list;
}

}  // namespace

uint32_t onlineCores() {
  cpu_set_t set;
  if (!allowedCpus(set)) return 1;
  const int count = CPU_COUNT(&set);
  return count > 0 ? static_cast<uint32_t>(count) : 1;
}

std::string slicesError(const TestPlan& plan, const DriveSpec& drive, uint32_t slices) {
  const std::string named = "\"slices\" " + std::to_string(slices);
  if (slices == 0) return named + " must be at least 1";
  if (const std::string why = cpusError(drive.cpus); !why.empty()) return why;
  if (slices == 1) return {};
  if (!plan.journalDir.empty())
    return named + " cannot be journaled yet: run the drive as one slice with --journal";
  const bool chooser = std::any_of(plan.flow.begin(), plan.flow.end(), [](const StepSpec& s) {
    return s.kind == StepSpec::Kind::Agent && s.name == kLbaAgentName;
  });
  if (!chooser) return named + " needs the \"lba\" agent in the flow: it gives each slice its part of the tested range";
  return {};
}

size_t speakingSlice(const std::vector<SliceEnd>& slices) {
  size_t speaking = 0;
  for (size_t i = 0; i < slices.size(); ++i) {
    const SliceEnd &s = slices[i], &best = slices[speaking];
    if (s.status == VARNOX_OK) continue;
    const int exit = exitStatusFor(s.status), bestExit = exitStatusFor(best.status);
    if (best.status == VARNOX_OK ||
        (exit != bestExit ? worseExit(exit, bestExit) == exit : s.endedSeconds < best.endedSeconds))
      speaking = i;
  }
  return speaking;
}

std::string sliceName(const std::string& drive, uint32_t index, uint32_t count) {
  return count <= 1 ? drive : drive + "." + std::to_string(index + 1);
}

std::string cpusError(const std::vector<uint32_t>& cpus) {
  cpu_set_t set;
  if (!allowedCpus(set)) return {};
  for (uint32_t cpu : cpus)
    if (cpu >= CPU_SETSIZE || !CPU_ISSET(cpu, &set))
      return "\"cpus\" names CPU " + std::to_string(cpu) + ", which this process cannot run on (it may use CPUs " +
             cpuList(set) + ")";
  return {};
}

bool pinThisThread(uint32_t cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}

double threadCpuSeconds() {
  timespec t{};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) != 0) return 0;
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace varnox
