#pragma once
// The points at which a simulated drive lets faults in. The drive calls a hook (when one is set)
// before it executes a command, around every block it stores or loads, when it picks the next
// completion, and when a command ends (handed back, or lost at a reset or power loss). The base
// class changes nothing, so a fault kind overrides only what it needs.
#include <cstddef>
#include <cstdint>

#include "tavik/Cdb.h"
#include "tavik/Device.h"
#include "tavik/SenseBuilder.h"

namespace varnox::sim {

struct CommandContext {
  uint32_t tag = 0;
  uint64_t index = 0;  // commands accepted before this one since the drive was built
  const ParsedCdb* cdb = nullptr;
  // The command's blocks are cdb->lba + i * lbaStride for i below cdb->blocks (skip commands).
  uint32_t lbaStride = 1;
  // Reads only: an older write still outstanding overlaps the read (the drive sets it when it
  // has a hook).
  bool overlapsOutstandingWrite = false;
  const uint8_t* dataOut = nullptr;  // the command's data out (UNMAP's ranges live there)
  uint64_t dataOutBytes = 0;
};

// What happens to a command instead of its normal execution.
struct Intervention {
  enum class Kind {
    None,            // execute normally
    Abort,           // TASK ABORTED; the first `landedBlocks` blocks of a write still land
    CheckCondition,  // CHECK CONDITION with `sense`; with `execute` the command runs first
    Reset,           // the drive resets itself: this and every outstanding command are lost
    PowerLoss,       // the drive loses power: as powerToggle()
    Reorder,         // a read completes before the older writes it overlaps (it still ran after them)
    Delay,           // executes normally, completes `delayNs` later; kNever: never completes
  };
  static constexpr uint64_t kNever = UINT64_MAX;
  Kind kind = Kind::None;
  uint64_t landedBlocks = 0;
  uint64_t delayNs = 0;
  SenseFields sense;
  bool execute = false;
};

// Where a block of a write goes.
struct StoreTarget {
  bool store = true;  // false: the block is silently dropped (lost write)
  uint64_t lba = 0;   // preset to the block's own LBA; another value misdirects it
};

class FaultHook {
 public:
  virtual ~FaultHook() = default;
  virtual Intervention beforeCommand(const CommandContext&) { return {}; }
  virtual void beforeStore(const CommandContext&, StoreTarget&) {}
  // `block` is the stored copy (data, then protection bytes when stored); changing it corrupts
  // the medium.
  virtual void afterStore(const CommandContext&, uint64_t /*lba*/, uint8_t* /*block*/, size_t /*bytes*/) {}
  // `block` is the copy handed to the host; changing it corrupts only this transfer.
  virtual void afterLoad(const CommandContext&, uint64_t /*lba*/, uint8_t* /*block*/, size_t /*bytes*/) {}
  // Picks the completion handed back next among `count` candidate tags; `drivePick` is the
  // index the drive chose. Returns an index below `count`.
  virtual uint32_t orderCompletion(const uint32_t* /*tags*/, uint32_t /*count*/, uint32_t drivePick) {
    return drivePick;
  }
  // The host was handed the completion of the command with `tag`.
  virtual void completed(uint32_t /*tag*/, const DeviceCompletion&) {}
  // The command with `tag` was lost without a completion (reset, power loss).
  virtual void dropped(uint32_t /*tag*/) {}
  // A power loss took the volatile cache: what was written since the last flush is gone.
  virtual void cacheLost() {}
  // Faults applied without an Intervention (which the drive counts itself), for the statistics.
  // Read from any thread.
  virtual uint64_t injected() const { return 0; }
};

}  // namespace varnox::sim
