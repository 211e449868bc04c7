#pragma once
// A command in flight on the simulated drive, and the sense codes it fails with (SimulatedDrive*.cpp).
#include <cstdint>
#include <vector>

#include "sim/SimulatedDrive.h"
#include "tavik/SenseBuilder.h"

namespace varnox::sim {

inline constexpr uint32_t kTagLimit = 1024;

inline constexpr uint8_t kAscInvalidOpcode = 0x20;
inline constexpr uint8_t kAscLbaOutOfRange = 0x21;
inline constexpr uint8_t kAscInvalidFieldInCdb = 0x24;
inline constexpr uint8_t kAscParameterListLength = 0x1A;
inline constexpr uint8_t kAscInvalidFieldInList = 0x26;
inline constexpr uint8_t kAscMiscompare = 0x1D;
inline constexpr uint8_t kAscWriteError = 0x0C;

// The drive's seeded draws: completion order and the fate of dropped writes.
inline uint64_t splitmix(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// On cache lines of its own: the slots of a split drive's groups are written by their own threads.
struct alignas(64) SimulatedDrive::Slot {
  struct UndoEntry {
    uint64_t lba;
    uint64_t writer;     // sequence of the write that stored the saved image
    uint64_t unit;       // all-or-nothing group within the command
    bool kept = false;   // a completed read returned the block: never undone
  };
  bool busy = false;
  uint8_t status = kStatusGood;
  uint8_t senseBytes = 0;
  uint8_t sense[kFixedSenseBytes] = {};
  uint64_t bytesIn = 0;
  uint64_t readyAtPoll = 0;
  uint64_t readyAtNs = 0;  // a slow command: not before this time; Intervention::kNever: a hung one
  uint64_t sequence = 0;  // non-zero once the command changed the medium
  uint64_t firstLba = 0;  // a data write's range, for reads that overlap it
  uint64_t blockCount = 0;
  bool injected = false;   // a fault rule set the status
  uint64_t readLba = 0;    // a read's or verify's range, committed when it completes
  uint64_t readBlocks = 0;
  uint64_t readAfter = 0;  // the write sequence the read saw
  bool undoable = true;
  std::vector<UndoEntry> undo;
  std::vector<uint8_t> images;
};

}  // namespace varnox::sim
