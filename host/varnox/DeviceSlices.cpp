#include "DeviceSlices.h"

#include <atomic>
#include <optional>

#include "tavik/Cdb.h"
#include "varnox/Clock.h"
#include "varnox/Errors.h"

namespace varnox {
namespace {

// A SYNCHRONIZE CACHE of the whole medium that completes only after the flush: one that names a
// range or returns at once (IMMED) makes nothing of the other slices durable.
bool flushesEverything(const DeviceCommand& command) {
  ParsedCdb cdb;
  return parseCdb(command.cdb, command.cdbLength, cdb) == 0 && cdb.opcode == kOpSynchronizeCache16 &&
         cdb.lba == 0 && cdb.blocks == 0 && (cdb.flags & kCdbImmed) == 0;
}

}  // namespace

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
    // What the other slices had been handed is read before the device has the sync, so it
    // counts only completions that came before it.
    std::optional<SyncSent> sync;
    if (hub_.views_.size() > 1 && flushesEverything(command)) sync = hub_.syncSnapshot();
    DeviceCommand sent = command;
    sent.tag = index_ * hub_.depth_ + command.tag;
    const int status = hub_.device_.submit(sent);
    if (status == 0) ++atDevice_;
    if (status == 0) syncs_[command.tag] = std::move(sync);
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
    completion.sequence = handed_.fetch_add(1, std::memory_order_relaxed) + 1;
    if (std::optional<SyncSent>& sync = syncs_[completion.tag]) {
      // No power loss since it was sent (a loss would have taken it, but the count says so
      // for certain): the other slices' writes it found completed are durable.
      if (completion.status == kStatusGood && sync->cuts == hub_.cuts_) hub_.publishSync(index_, *sync);
      sync.reset();
    }
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
    reportCuts();
    return true;
  }

  SliceSyncCover takeSliceSyncCover(bool powerOnReported) override {
    SliceSyncCover cover;
    if (!powerOnReported && noticesWaiting_.load(std::memory_order_relaxed) == 0) return cover;
    std::lock_guard<std::mutex> lock(hub_.syncMutex_);
    // The power losses this power-on reports are cuts first..last; a sync the slice's agents
    // have not heard of belongs to the power-on it completed in: before the first of those
    // cuts (it counts before the loss takes anything back), between them (the slice's writes
    // it covers were lost at the first: dropped), or after the last. Any older one came too
    // late to count before a loss the agents already took: dropped too. One after a power loss
    // this slice has not taken yet waits for it.
    // A power-on without a loss this view counted (none happens) places nothing: all dropped.
    const uint64_t epoch = epoch_;
    uint64_t first = epoch + 1, last = epoch;
    bool placed = true;
    if (powerOnReported) {
      placed = reportedLast_ != 0;
      if (placed) {
        first = reportedFirst_;
        last = epoch_ = reportedLast_;
      }
      reportedFirst_ = reportedLast_ = 0;
    }
    std::vector<SyncNotice> waiting;
    for (const SyncNotice& notice : notices_) {
      if (notice.cuts > last)
        waiting.push_back(notice);
      else if (!placed)
        continue;
      else if (notice.cuts == last)
        cover.after = std::max(cover.after, notice.handed);
      else if (powerOnReported && notice.cuts == epoch && first == epoch + 1)
        cover.beforePowerOn = std::max(cover.beforePowerOn, notice.handed);
    }
    notices_.swap(waiting);
    noticesWaiting_.store(notices_.size(), std::memory_order_relaxed);
    return cover;
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
    commandsGone();
    eventPending_ = true;
    powerLost_ |= powerLost;
  }
  // A sync lost with them leaves its entry until its tag is sent again, which replaces it.
  void commandsGone() { atDevice_ = 0; }
  // The drive's power loss number `cut` happened; this slice's agents hear of it with the next
  // event the slice takes (or, for the slice that toggled, with its next pass).
  void noteCut(uint64_t cut) {
    if (unreportedLast_ == 0) unreportedFirst_ = cut;
    unreportedLast_ = cut;
  }
  void reportCuts() {
    if (unreportedLast_ == 0) return;
    if (reportedLast_ == 0) reportedFirst_ = unreportedFirst_;
    reportedLast_ = unreportedLast_;
    unreportedFirst_ = unreportedLast_ = 0;
  }
  uint64_t handed() const { return handed_.load(std::memory_order_relaxed); }
  // Another slice's sync that completed GOOD covers this slice's completions up to `handed`.
  // Called under the hub's syncMutex_; one notice per power-on is enough, the latest covering most.
  void noticeSync(uint64_t handed, uint64_t cuts) {
    if (!notices_.empty() && notices_.back().cuts == cuts)
      notices_.back().handed = std::max(notices_.back().handed, handed);
    else
      notices_.push_back({handed, cuts});
    noticesWaiting_.store(notices_.size(), std::memory_order_relaxed);
  }

 private:
  // A power toggle or reset this slice's flow performs: its own steps forget what was in flight.
  int act(bool power) {
    auto locks = hub_.lockAll();
    const int status = power ? hub_.device_.powerToggle() : hub_.device_.reset();
    hub_.takeDeviceEvent();
    hub_.broadcast(power ? "power cycle" : "reset", power, this);
    // The flow reports its own toggle on its next pass.
    if (power) reportCuts();
    return status;
  }

  DeviceSlices& hub_;
  uint32_t index_;
  uint32_t atDevice_ = 0;       // commands sent to the device and not handed back
  std::vector<uint32_t> lost_;  // accepted after an event this slice has not yet taken
  bool eventPending_ = false;
  bool powerLost_ = false;
  bool powerLossTaken_ = false;
  // Completions handed to the flow so far; other slices read it when they send a sync.
  std::atomic<uint64_t> handed_{0};
  // This slice's syncs in flight, by tag; every command sent sets its tag's entry.
  std::vector<std::optional<SyncSent>> syncs_ = std::vector<std::optional<SyncSent>>(hub_.depth_);
  // Power losses (numbered from 1) not yet taken, and taken but not yet told to the agents;
  // epoch_: the last one they were told of. 0: none.
  uint64_t unreportedFirst_ = 0, unreportedLast_ = 0;
  uint64_t reportedFirst_ = 0, reportedLast_ = 0;
  uint64_t epoch_ = 0;
  // Other slices' syncs not yet told to the agents (under the hub's syncMutex_).
  std::vector<SyncNotice> notices_;
  std::atomic<size_t> noticesWaiting_{0};

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

DeviceSlices::SyncSent DeviceSlices::syncSnapshot() const {
  SyncSent sent;
  sent.cuts = cuts_;
  for (const auto& view : views_) sent.handed.push_back(view->handed());
  return sent;
}

void DeviceSlices::publishSync(uint32_t from, const SyncSent& sent) {
  std::lock_guard<std::mutex> lock(syncMutex_);
  for (uint32_t i = 0; i < views_.size(); ++i)
    if (i != from) views_[i]->noticeSync(sent.handed[i], sent.cuts);
}

void DeviceSlices::takeDeviceEvent() {
  if (!device_.takeResetEvent()) return;
  const bool powerLost = device_.takePowerLossEvent();
  broadcast(powerLost ? "power loss" : "reset", powerLost, nullptr);
}

void DeviceSlices::broadcast(const char* kind, bool powerLost, const View* except) {
  if (powerLost) ++cuts_;
  for (auto& view : views_) {
    if (powerLost) view->noteCut(cuts_);
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
