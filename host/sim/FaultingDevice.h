#pragma once
// The fault rules of a test file applied to a device whose medium this code cannot reach: a file
// or a block device. The same rules and seed give the same faults as on the simulated drive, so
// one test file shows the same verdict on both.
//
// Only the kinds that can be made at the command interface are possible here (kFileFaultKinds):
// corrupt (the block is written with the byte changed), abort (TASK ABORTED; nothing lands),
// medium-error and hard-error (the command fails and does nothing), recovered-error (the command
// runs and reports 01/18/00, a read with its data). The others need the simulated drive; the
// runner refuses them. Exposure is counted as on the simulated drive (RuleFaults.h).
#include <array>
#include <atomic>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "sim/RuleFaults.h"
#include "tavik/Device.h"

namespace varnox::sim {

inline constexpr auto kFileFaultKinds =
    std::to_array<const char*>({"corrupt", "abort", "medium-error", "hard-error", "recovered-error"});

bool faultKindWorksOnRealDevices(const std::string& kind);

class FaultingDevice : public Device {
 public:
  FaultingDevice(std::unique_ptr<Device> inner, std::vector<FaultRule> rules, uint64_t seed);

  const DeviceGeometry& geometry() const override { return inner_->geometry(); }
  int submit(const DeviceCommand& command) override;
  bool poll(DeviceCompletion& completion, bool wait) override;
  bool pollTags(DeviceCompletion& completion, bool wait, uint32_t firstTag, uint32_t endTag) override;
  uint32_t outstanding() const override { return inner_->outstanding() + static_cast<uint32_t>(made_.size()); }
  uint32_t neverCompleting() const override { return inner_->neverCompleting(); }
  int powerToggle() override;
  std::string lastPowerToggle() const override { return inner_->lastPowerToggle(); }
  int reset() override { return inner_->reset(); }
  bool takeResetEvent() override { return inner_->takeResetEvent(); }
  bool takePowerLossEvent() override { return inner_->takePowerLossEvent(); }
  int ioctl(uint32_t request, uint32_t count, void** args) override { return inner_->ioctl(request, count, args); }
  int send(const void* request, size_t size) override { return inner_->send(request, size); }
  bool stopped() const override { return inner_->stopped(); }
  DeviceStats stats() const override;
  std::vector<InjectedFault> injectedFaults() const override { return rules_.records(); }
  std::vector<uint64_t> faultRuleCounts() const override { return rules_.firedCounts(); }
  std::vector<FaultTally> faultTallies() const override { return rules_.tallies(); }
  std::string describe() const override { return inner_->describe() + ", with fault rules"; }

 private:
  // Notes a command the device took (`status` 0), for what a power toggle loses; returns `status`.
  int sent(uint32_t tag, int status);

  std::unique_ptr<Device> inner_;
  RuleFaults rules_;
  uint64_t commandIndex_ = 0;
  std::atomic<uint64_t> interventions_{0};
  std::deque<DeviceCompletion> made_;          // completions of commands that never reached the device
  std::vector<std::vector<uint8_t>> written_;  // per tag: the write data as changed by a fault
  std::vector<std::vector<uint8_t>> sense_;    // per tag: sense that replaces a GOOD status
  std::vector<bool> inDevice_;                 // per tag: handed to the device, not yet completed
};

}  // namespace varnox::sim
