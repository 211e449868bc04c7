#pragma once
// One device shared by the slices of a drive: each slice's drive thread gets a view of it (a
// Device of its own) with its own tags, submission queue and completions, and every device-wide
// event reaches each slice once.
//
// Tags: slice i's tag t is the device's tag i * depth + t, so a slice keeps the tag numbers its
// agents know, and it polls the device for its own tags only (Device::pollTags): a completion
// the device hands out always goes to the slice's agents before anything can lose it, as on a
// drive of one thread.
//
// Locks: a device that splits its queues among the slices (Device::splitQueues) takes each
// slice's commands and polls at once with the others', so a slice's calls lock only that slice;
// a device-wide call (power toggle, reset, ioctl, send) locks every slice, so that it runs while
// no slice is inside the device and every slice sees it before or after its own calls. Any other
// device (one whose faults reset it or need all commands in one order) takes one call at a time.
//
// Device-wide events: a reset or power loss the device reports, and a power toggle or reset one
// slice performs, lose the commands of every slice. The device action happens once (the slice
// that asked performs it; a fault the device injects happens inside the command that met it).
// Every other slice then meets the event at its next call: until its flow has taken the event
// (takeResetEvent()/takePowerLossEvent(), at the next step or pass) the commands it sends are
// accepted and never sent, lost to the event as a command sent at that moment may be, and its
// polls find nothing; then it runs its agents' reset handling as a drive thread does after its
// own device's reset, and goes on.
//
// The drive's power cycles, power losses and resets are counted here once, for the drive.
//
// Syncs: a SYNCHRONIZE CACHE one slice sends flushes the whole drive, so the writes of the
// other slices that had completed when it was sent are durable once it completes GOOD, and a
// later power loss may not take them back. Their agents cannot see it; each slice's view
// numbers the completions it hands out, notes the other slices' numbers when a sync goes out,
// and when it completes GOOD tells them (takeSliceSyncCover) in step with the power losses they
// are told of.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tavik/Device.h"
#include "varnox/TestRun.h"

namespace varnox {

class DeviceSlices {
 public:
  // `device` outlives this; it must take `slices` * `depth` commands at once.
  DeviceSlices(Device& device, uint32_t slices, uint32_t depth);
  ~DeviceSlices();

  Device& slice(uint32_t index);
  uint32_t count() const { return static_cast<uint32_t>(views_.size()); }
  // Whether the slices call the device at once (its queues are split), or one at a time.
  bool parallel() const { return parallel_; }

  // Performance-counter value that event times count from.
  void setStart(uint64_t counter) { start_ = counter; }
  // The drive's device events in order (the first kMaxDriveEvents) and their counts.
  std::vector<DriveEvent> events() const;
  uint64_t powerCycles() const;  // toggles and the device's own power losses
  uint64_t resets() const;

 private:
  class View;
  friend class View;

  // After any call into the device (one at a time): a reset or power loss it reports becomes
  // every slice's event.
  void takeDeviceEvent();
  // Every slice's commands are gone; `except` (the slice that performed the action) handles it
  // itself. Called while every slice is locked out (lockAll()).
  void broadcast(const char* kind, bool powerLost, const View* except);
  // Locks what keeps every slice out of the device: each slice's lock in slice order, or the one lock.
  std::vector<std::unique_lock<std::mutex>> lockAll();

  // A sync in flight: each slice's completions handed out when it was sent, and the drive's
  // power losses then.
  struct SyncSent {
    std::vector<uint64_t> handed;
    uint64_t cuts = 0;
  };
  struct SyncNotice {
    uint64_t handed = 0;
    uint64_t cuts = 0;
  };
  SyncSent syncSnapshot() const;
  // Slice `from`'s sync completed GOOD: every other slice hears of it.
  void publishSync(uint32_t from, const SyncSent& sent);

  Device& device_;
  uint32_t depth_;
  bool parallel_ = false;
  std::mutex serial_;  // every call when the device takes one at a time
  std::vector<std::unique_ptr<View>> views_;
  uint64_t cuts_ = 0;     // power losses so far; changes only while every slice is locked out
  std::mutex syncMutex_;  // the slices' sync notices
  uint64_t start_ = 0;
  mutable std::mutex eventsMutex_;  // the figures below, which the report reads from its own thread
  std::vector<DriveEvent> events_;
  uint64_t powerCycles_ = 0;
  uint64_t resets_ = 0;
};

}  // namespace varnox
