#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace varnox {

// What a device reports about itself.
struct DeviceGeometry {
  uint32_t logicalBlockSize = 512;
  bool protectionInfoEnabled = false;
  uint32_t protectionInfoBytes = 8;
  uint32_t log2LogicalPerPhysical = 0;
  uint64_t capacityBlocks = 0;
  uint32_t maxQueueDepth = 32;
  uint32_t atomicUnitBlocks = 0;  // largest atomic write in blocks; 0 when atomic writes are unsupported
  uint64_t zoneBlocks = 0;        // a zoned drive: blocks per zone (zones start at LBA 0); 0: not zoned
  bool hostManaged = false;       // zoned and writes only at each zone's write pointer
  bool supportsUnmap = true;
  bool supportsPowerToggle = true;
  bool supportsReset = true;
};

// One SCSI command handed to a device. The buffers stay valid until the command completes or
// the device loses it (reset, power loss).
struct DeviceCommand {
  uint32_t tag = 0;
  uint8_t cdb[32] = {};
  uint32_t cdbLength = 0;
  const uint8_t* dataOut = nullptr;  // write data, verify data, parameter list
  uint64_t dataOutBytes = 0;
  uint8_t* dataIn = nullptr;  // read data
  uint64_t dataInBytes = 0;
  // Skip commands: READ, WRITE, WRITE ATOMIC and WRITE SAME of n blocks cover the LBAs lba,
  // lba + stride, ..., lba + (n - 1) * stride, their data holding the n blocks back to back.
  // Other commands ignore it. No CDB field carries it, so it travels beside the CDB.
  uint32_t lbaStride = 1;
};

// The LBAs from a command's first block to its last, inclusive, for `blocks` blocks `stride` apart.
constexpr uint64_t strideSpan(uint64_t blocks, uint32_t stride) {
  return blocks == 0 ? 0 : (blocks - 1) * stride + 1;
}

// Tags are below this on every device.
inline constexpr uint32_t kMaxDeviceTags = 1024;

// SCSI status values.
inline constexpr uint8_t kStatusGood = 0x00;
inline constexpr uint8_t kStatusCheckCondition = 0x02;
inline constexpr uint8_t kStatusTaskAborted = 0x40;

struct DeviceCompletion {
  uint32_t tag = 0;
  uint8_t status = kStatusGood;
  std::vector<uint8_t> sense;  // fixed-format sense data with CHECK CONDITION
  uint64_t bytesIn = 0;        // read bytes delivered
  // The status (TASK ABORTED, CHECK CONDITION) was set by a fault rule, not by the device itself.
  bool injected = false;
  // A slice of a drive numbers the completions it hands out, from 1 (see SliceSyncCover); 0
  // elsewhere.
  uint64_t sequence = 0;
};

// What SYNCHRONIZE CACHE commands the other slices of a drive sent, and that completed GOOD,
// made durable of one slice's writes: every write whose completion the slice had been handed
// (DeviceCompletion::sequence) up to the number given, since each such sync was sent after it.
// A slice's agents learn of it at the start of a pass, so that a power loss cannot excuse a write
// another slice's sync covered. 0: nothing new.
struct SliceSyncCover {
  // Syncs that completed before the power loss that the pass reports ("EPO"): they count
  // before the loss takes back anything.
  uint64_t beforePowerOn = 0;
  // Syncs that completed since.
  uint64_t after = 0;
};

// Counters a device keeps for the summary.
struct DeviceStats {
  uint64_t commands = 0;
  uint64_t blocksWritten = 0;
  uint64_t blocksRead = 0;
  uint64_t powerCycles = 0;
  uint64_t resets = 0;
  uint64_t faultsInjected = 0;
};

// One fault a device injected, for the summary and for proving that the agent caught it. Kept
// for the first kFaultRecordLimit firings of the kinds that corrupt data and as many of the
// others, so a soak at high rates does not grow.
struct InjectedFault {
  std::string kind;          // the rule's kind: "corrupt", "abort", ...
  uint64_t command = 0;      // index of the command it hit, counted from 0 since the device opened
  uint64_t firstLba = 0;     // the command's range
  uint64_t blocks = 0;
  uint64_t lba = 0;          // the block it hit (the first block for faults on a whole command)
  uint64_t landedAt = 0;     // misdirect: where the block went instead
  int32_t byteOffset = -1;   // corrupt: the changed byte within the block
  uint8_t xorMask = 0;       // corrupt: what that byte was XORed with
  bool exposed = false;      // corrupting kinds: the host was shown the faulted data (RuleFaults.h)
};
inline constexpr size_t kFaultRecordLimit = 1000;

// The faults of one kind a device injected, and for the kinds that corrupt data how many the
// host was shown before anything overwrote them. Counted over the whole run, records or not.
struct FaultTally {
  std::string kind;
  bool corrupting = false;
  uint64_t injected = 0;
  uint64_t exposed = 0;
};

// A block device the host drives: the simulated drive, a file or a block device.
class Device {
 public:
  virtual ~Device() = default;
  virtual const DeviceGeometry& geometry() const = 0;
  // Accepts a command; 0, or a negative error when the device cannot take it (queue full, stopped).
  virtual int submit(const DeviceCommand& command) = 0;
  // Hands back one finished command; with `wait` blocks until one finishes while any is
  // outstanding (a device may give up after a while when the outstanding commands are late, so
  // that the caller can time them out). False when nothing is ready.
  virtual bool poll(DeviceCompletion& completion, bool wait) = 0;
  // As poll, for the finished commands whose tag lies in [firstTag, endTag) only: the slices of
  // a drive share its device, and each takes its own completions, so that the device never hands
  // a slice's completion out while that slice could still lose it. The default takes any
  // completion when the range holds every tag (kMaxDeviceTags) and none otherwise.
  virtual bool pollTags(DeviceCompletion& completion, bool wait, uint32_t firstTag, uint32_t endTag);
  // The slices of a drive: from now on tags come in `groups` ranges of `tagsPerGroup`, each used
  // by one thread whose commands touch blocks no other group's commands touch. True when the
  // device then takes submit, poll and pollTags for different groups at once from their threads,
  // each group with a queue of its own, and raises no reset or power loss of its own; every other
  // call (powerToggle, reset, ioctl, send) still comes while no other call runs. False (the
  // default, and a device with its own resets, or whose faults need every command in one order):
  // calls must come one at a time.
  virtual bool splitQueues(uint32_t /*groups*/, uint32_t /*tagsPerGroup*/) { return false; }
  virtual uint32_t outstanding() const = 0;
  // How many of the outstanding commands the device will never complete (the simulated drive's
  // "hang"): a host that waits without a timeout reports them instead of waiting for ever.
  virtual uint32_t neverCompleting() const { return 0; }
  // Cuts power and restores it: every outstanding command is lost.
  virtual int powerToggle() = 0;
  // What the last powerToggle() did, or why it failed, for the drive's log; empty when there is
  // nothing to say.
  virtual std::string lastPowerToggle() const { return {}; }
  // Resets the device: every outstanding command is lost.
  virtual int reset() = 0;
  // True once the device reported a reset of its own (a fault); the host reads and clears it.
  virtual bool takeResetEvent() { return false; }
  // True once the device lost power on its own (a power-loss fault; it also reported a reset);
  // the host reads and clears it.
  virtual bool takePowerLossEvent() { return false; }
  // The slices' syncs not yet told to this slice's agents, taken at the start of a pass;
  // `powerOnReported`: the pass reports a power loss ("EPO"). Nothing for a device of one slice.
  virtual SliceSyncCover takeSliceSyncCover(bool /*powerOnReported*/) { return {}; }
  // Device requests (see Tavik::ioctl); the default refuses them.
  virtual int ioctl(uint32_t request, uint32_t count, void** args);
  virtual int send(const void* request, size_t size);
  // True after a showstop: the device accepts no more commands.
  virtual bool stopped() const { return false; }
  virtual DeviceStats stats() const { return {}; }
  // The faults injected so far; read once the drive thread has stopped.
  virtual std::vector<InjectedFault> injectedFaults() const { return {}; }
  // How often each of the device's fault rules fired, in rule order (all of them, not only the
  // recorded ones); empty for a device without rules.
  virtual std::vector<uint64_t> faultRuleCounts() const { return {}; }
  // Per fault kind of the device's rules, in the rules' kind order; read once the drive thread
  // has stopped.
  virtual std::vector<FaultTally> faultTallies() const { return {}; }
  virtual std::string describe() const = 0;
};

}  // namespace varnox
