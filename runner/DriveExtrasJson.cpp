#include "DriveExtrasJson.h"

#include <sstream>

#include "FailureDetail.h"
#include "LatencyReport.h"

namespace varnox::cli {
namespace {

// Enough to show which faults hit where; the device's counters hold the total.
constexpr size_t kMaxFaultsListed = 100;

}  // namespace

std::string driveExtrasJson(const SummaryInput& in, size_t index) {
  const DriveReport& d = in.report->drives[index];
  std::ostringstream out;
  if (!d.latency.empty()) out << ",\n     " << latencyJson(d, in.report->seconds);
  for (size_t i = 0; i < d.injectedFaults.size() && i < kMaxFaultsListed; ++i) {
    const InjectedFault& f = d.injectedFaults[i];
    out << (i == 0 ? ",\n     \"injectedFaults\": [" : ", ") << "{\"kind\": " << jsonString(f.kind)
        << ", \"command\": " << f.command << ", \"lba\": " << f.lba << ", \"firstLba\": " << f.firstLba
        << ", \"blocks\": " << f.blocks << '}';
  }
  if (!d.injectedFaults.empty()) out << ']';
  out << ",\n     \"events\": [";
  for (size_t i = 0; i < d.events.size(); ++i)
    out << (i == 0 ? "" : ", ") << "{\"seconds\": " << jsonDecimal(d.events[i].seconds)
        << ", \"kind\": " << jsonString(d.events[i].kind) << '}';
  out << ']';
  if (in.series != nullptr && index < in.series->driveNames().size())
    out << ",\n     \"series\": " << in.series->json(index);
  if (const std::string failure = failureJson(readFailureDetail(d)); !failure.empty()) out << ",\n     " << failure;
  return out.str();
}

}  // namespace varnox::cli
