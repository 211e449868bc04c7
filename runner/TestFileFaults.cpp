// Reads a [[fault]] rule and hands it to the drives it names, refusing a kind the drive's
// device cannot inject or an LBA beyond its capacity; also the list of fault kinds.
#include "TestFile.h"
#include "TestFileTables.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "TestFileSection.h"
#include "sim/FaultingDevice.h"
#include "sim/RuleFaults.h"

namespace varnox::cli {
namespace testfile {

bool readFault(const toml::table& table, size_t index, TestPlan& plan, std::string& error) {
  Section s(table, "[[fault]] " + std::to_string(index + 1), error);
  FaultRule rule;
  std::optional<std::string> drive, kind;
  if (!s.string("drive", drive)) return false;
  const toml::node* k = s.find("kind");
  if (k == nullptr) return s.fail("kind", "must be given", nullptr);
  const auto& kinds = faultKinds();
  if (!k->is_string() || std::find(kinds.begin(), kinds.end(), k->as_string()->get()) == kinds.end()) {
    std::string list;
    for (const std::string& n : kinds) list += (list.empty() ? "" : ", ") + quote(n);
    return s.fail("kind", "must be one of " + list, k);
  }
  rule.kind = k->as_string()->get();
  std::optional<int64_t> lba, after, count;
  if (!s.integer("lba", 0, INT64_MAX, lba) || !s.integer("after", 0, INT64_MAX, after) ||
      !s.integer("count", 0, UINT32_MAX, count))
    return false;
  if (lba) rule.lba = static_cast<uint64_t>(*lba);
  if (after) rule.after = static_cast<uint64_t>(*after);
  if (count) rule.count = static_cast<uint32_t>(*count);
  if (const toml::node* r = s.find("rate")) {
    double rate = -1;
    if (const auto* f = r->as_floating_point()) rate = f->get();
    else if (const auto* i = r->as_integer()) rate = static_cast<double>(i->get());
    if (!(rate > 0 && rate <= 1)) return s.fail("rate", "must be a probability above 0 and at most 1", r);
    rule.rate = rate;
  }
  if (!durationValue(s, "delay", false, rule.delaySeconds)) return false;
  if (rule.kind == "slow" && rule.delaySeconds == 0) return s.fail("delay", "must be given for kind \"slow\"", nullptr);
  if (rule.kind != "slow" && rule.delaySeconds != 0)
    return s.fail("delay", "applies only to kind \"slow\"", table.get("delay"));
  if (!s.rejectUnknown()) return false;

  // A rule without a drive applies to every drive.
  bool matched = false;
  for (DriveSpec& d : plan.drives) {
    if (drive && d.name != *drive) continue;
    if (d.device.kind != "sim" && !sim::faultKindWorksOnRealDevices(rule.kind))
      return s.fail("kind", "needs a simulated drive, and drive " + d.name + " is " + quote(d.device.kind) +
                                " (files and block devices take corrupt, abort, medium-error, hard-error and "
                                "recovered-error)", k);
    if (lba && *lba >= 0 && static_cast<uint64_t>(*lba) >= d.device.capacityBlocks)
      return s.fail("lba", "must lie below the capacity of drive " + d.name + " (" +
                               std::to_string(d.device.capacityBlocks) + " blocks)", table.get("lba"));
    d.device.faults.push_back(rule);
    matched = true;
  }
  if (!matched) return s.fail("drive", "does not name a drive of this file", table.get("drive"));
  return true;
}

}  // namespace testfile

const std::vector<std::string>& faultKinds() {
  static const std::vector<std::string> kKinds(sim::kFaultKindNames.begin(), sim::kFaultKindNames.end());
  return kKinds;
}

}  // namespace varnox::cli
