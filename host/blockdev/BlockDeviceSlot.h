#pragma once
// A command in flight on a file or block device, and the sense codes it fails with (BlockDevice*.cpp).
#include <cstdint>
#include <vector>

#include "blockdev/BlockDevice.h"
#include "tavik/Cdb.h"
#include "tavik/Device.h"
#include "tavik/SenseBuilder.h"

namespace varnox::blockdev {

inline constexpr uint32_t kTagLimit = 1024;

inline constexpr uint8_t kAscInvalidOpcode = 0x20;
inline constexpr uint8_t kAscLbaOutOfRange = 0x21;
inline constexpr uint8_t kAscInvalidFieldInCdb = 0x24;
inline constexpr uint8_t kAscParameterListLength = 0x1A;
inline constexpr uint8_t kAscInvalidFieldInList = 0x26;
inline constexpr uint8_t kAscMiscompare = 0x1D;
inline constexpr uint8_t kAscUnrecoveredReadError = 0x11;
inline constexpr uint8_t kAscInternalTargetFailure = 0x44;

// On cache lines of its own: the slots of a split device's groups are written by their own threads.
struct alignas(64) BlockDevice::Slot {
  enum class Kind { Transfer, Verify, Sync, Discard };
  bool busy = false;
  uint64_t sequence = 0;  // order of submission: a sync waits only for writes sent before it
  Kind kind = Kind::Transfer;
  bool write = false;
  uint8_t status = kStatusGood;
  uint8_t senseBytes = 0;
  uint8_t sense[kFixedSenseBytes] = {};
  uint64_t bytesIn = 0;
  uint64_t offset = 0;  // device byte offset of the command's first block
  uint64_t total = 0;   // bytes the command moves
  uint64_t done = 0;
  uint8_t* data = nullptr;      // what the kernel reads into or writes from
  uint64_t cycle = 0;           // `data` repeats every `cycle` bytes (WRITE SAME, verify window); 0 none
  uint64_t unit = 0;            // no kernel request crosses a multiple of `unit` (atomic units); 0 none
  // A skip command moves its data in runs of `runBytes` whose device offsets are `runStride`
  // apart, one kernel request per run at most; 0: one contiguous run.
  uint64_t runBytes = 0, runStride = 0;
  int rwFlags = 0;
  uint64_t firstLba = 0, endLba = 0;  // the blocks it touches, for ordering overlapping commands
  uint8_t* copyOut = nullptr;   // the caller's read buffer when reading through the bounce buffer
  const uint8_t* expected = nullptr;
  uint8_t bytchk = 0;
  AlignedBytes bounce;
  uint64_t bounceBytes = 0;
  std::vector<UnmapRange> discards;  // a discard's ranges, deallocated one after the other
  size_t discardNext = 0;
};

inline uint32_t BlockDevice::tagOf(const Slot& slot) const { return static_cast<uint32_t>(&slot - slots_.data()); }

}  // namespace varnox::blockdev
