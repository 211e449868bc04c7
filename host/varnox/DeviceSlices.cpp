#include "DeviceSlices.h"

#include "varnox/Clock.h"
#include "varnox/Errors.h"

namespace varnox {

class DeviceSlices::View final : public Device {
 public:
  View(DeviceSlices& hub, uint32_t index) : hub_(hub), index_(index) {}

  // What this slice's own calls lock: its own lock when the device takes the slices at once.
  std::mutex& gate() const { return hub_.parallel_ ? own_ : hub_.serial_; }

  const DeviceGeometry& geometry() const override { return hub_.device_.geometry(); }

  int submit(const DeviceCommand& command) override {
    std::lock_guard<std::mutex> lock(gate());
    if (command.tag >= hub_.depth_) return VARNOX_ERR_BAD_VALUE;
    if (eventPending_) {
      lost_.push_back(command.tag);
      return 0;
    }
    DeviceCommand sent = command;
    sent.tag = index_ * hub_.depth_ + command.tag;
    const int status = hub_.device_.submit(sent);
    if (status == 0) ++atDevice_;
    if (!hub_.parallel_) hub_.takeDeviceEvent();
    return status;
  }

  bool poll(DeviceCompletion& completion, bool wait) override {
    std::lock_guard<std::mutex> lock(gate());
    if (eventPending_ || atDevice_ == 0) return false;
    const uint32_t first = index_ * hub_.depth_;
    const bool got = hub_.device_.pollTags(completion, wait, first, first + hub_.depth_);
    if (!hub_.parallel_) hub_.takeDeviceEvent();
    if (!got) return false;
    completion.tag -= first;
    if (atDevice_ != 0) --atDevice_;
    return true;
  }

  uint32_t outstanding() const override {
    std::lock_guard<std::mutex> lock(gate());
    return atDevice_ + static_cast<uint32_t>(lost_.size());
  }

  // The device counts its never-completing commands, not whose they are: at most all of this slice's.
  uint32_t neverCompleting() const override {
    std::lock_guard<std::mutex> lock(gate());
    return std::min(hub_.device_.neverCompleting(), atDevice_);
  }

  int powerToggle() override { return act(true); }
  int reset() override { return act(false); }

  std::string lastPowerToggle() const override {
    std::lock_guard<std::mutex> lock(gate());
    return hub_.device_.lastPowerToggle();
  }

  bool takeResetEvent() override {
    std::lock_guard<std::mutex> lock(gate());
    if (!eventPending_) return false;
    eventPending_ = false;
    powerLossTaken_ = powerLost_;
    powerLost_ = false;
    lost_.clear();
    return true;
  }

  bool takePowerLossEvent() override {
    std::lock_guard<std::mutex> lock(gate());
    const bool lost = powerLossTaken_;
    powerLossTaken_ = false;
    return lost;
  }

  int ioctl(uint32_t request, uint32_t count, void** args) override {
    auto locks = hub_.lockAll();
    const int status = hub_.device_.ioctl(request, count, args);
    hub_.takeDeviceEvent();
    return status;
  }

  int send(const void* request, size_t size) override {
    auto locks = hub_.lockAll();
    const int status = hub_.device_.send(request, size);
    hub_.takeDeviceEvent();
    return status;
  }

  bool stopped() const override { return hub_.device_.stopped(); }
  DeviceStats stats() const override { return hub_.device_.stats(); }
  std::vector<InjectedFault> injectedFaults() const override { return hub_.device_.injectedFaults(); }
  std::vector<uint64_t> faultRuleCounts() const override { return hub_.device_.faultRuleCounts(); }
  std::vector<FaultTally> faultTallies() const override { return hub_.device_.faultTallies(); }
  std::string describe() const override { return hub_.device_.describe(); }

  // The device lost this slice's commands to an event another slice (or the device) caused.
  void eventHappened(bool powerLost) {
    atDevice_ = 0;
    eventPending_ = true;
    powerLost_ |= powerLost;
  }
  void commandsGone() { atDevice_ = 0; }

 private:
  // A power toggle or reset this slice's flow performs: its own steps forget what was in flight.
  int act(bool power) {
    auto locks = hub_.lockAll();
    const int status = power ? hub_.device_.powerToggle() : hub_.device_.reset();
    hub_.takeDeviceEvent();
    hub_.broadcast(power ? "power cycle" : "reset", power, this);
    atDevice_ = 0;
    return status;
  }

  DeviceSlices& hub_;
  uint32_t index_;
  uint32_t atDevice_ = 0;       // commands sent to the device and not handed back
  std::vector<uint32_t> lost_;  // accepted after an event this slice has not yet taken
  bool eventPending_ = false;
  bool powerLost_ = false;
  bool powerLossTaken_ = false;

 public:
  mutable std::mutex own_;  // this slice's calls, when the device takes the slices at once
};

DeviceSlices::DeviceSlices(Device& device, uint32_t slices, uint32_t depth) : device_(device), depth_(depth) {
  parallel_ = device_.splitQueues(slices, depth);
  for (uint32_t i = 0; i < slices; ++i) views_.push_back(std::make_unique<View>(*this, i));
}

std::vector<std::unique_lock<std::mutex>> DeviceSlices::lockAll() {
  std::vector<std::unique_lock<std::mutex>> locks;
  if (!parallel_) {
    locks.emplace_back(serial_);
    return locks;
  }
  // Always in slice order, so that two slices locking everyone cannot wait for each other.
  for (auto& view : views_) locks.emplace_back(view->own_);
  return locks;
}

DeviceSlices::~DeviceSlices() = default;

Device& DeviceSlices::slice(uint32_t index) {
  return *views_.at(index);
}

void DeviceSlices::takeDeviceEvent() {
  if (!device_.takeResetEvent()) return;
  const bool powerLost = device_.takePowerLossEvent();
  broadcast(powerLost ? "power loss" : "reset", powerLost, nullptr);
}

void DeviceSlices::broadcast(const char* kind, bool powerLost, const View* except) {
  for (auto& view : views_) {
    if (view.get() == except)
      view->commandsGone();
    else
      view->eventHappened(powerLost);
  }
  std::lock_guard<std::mutex> lock(eventsMutex_);
  if (powerLost)
    ++powerCycles_;
  else
    ++resets_;
  if (events_.size() < kMaxDriveEvents)
    events_.push_back({static_cast<double>(queryPerformanceCounter() - start_) / 1e9, kind});
}

std::vector<DriveEvent> DeviceSlices::events() const {
  std::lock_guard<std::mutex> lock(eventsMutex_);
  return events_;
}

uint64_t DeviceSlices::powerCycles() const {
  std::lock_guard<std::mutex> lock(eventsMutex_);
  return powerCycles_;
}

uint64_t DeviceSlices::resets() const {
  std::lock_guard<std::mutex> lock(eventsMutex_);
  return resets_;
}

}  // namespace varnox
