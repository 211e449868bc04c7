#pragma once
// How a drive's tested range is shared among its slices: contiguous, disjoint parts whose inner
// boundaries fall on a multiple of an alignment, so that no command of one slice reaches into
// the next (a physical block, an atomic bound or a zone is never split between two slices).
#include <cstdint>
#include <string>
#include <vector>

namespace varnox {

struct LbaRange {
  uint64_t first = 0;
  uint64_t last = 0;  // inclusive
  uint64_t blocks() const { return last - first + 1; }
  bool operator==(const LbaRange&) const = default;
};

// What every slice boundary must be a multiple of: the least common multiple of the drive's
// physical block, the atomic bound and the zone size (each ignored when 0).
uint64_t sliceAlignment(uint32_t log2LogicalPerPhysical, uint64_t atomicBound, uint64_t zoneBlocks);

// Splits [range.first, range.last] into `count` parts as evenly as the alignment allows, each
// holding at least `minBlocks` blocks. Empty with `error` (naming "slices", the range and what
// each slice needs) when the range cannot hold that many.
std::vector<LbaRange> splitLbaRange(const LbaRange& range, uint32_t count, uint64_t alignment, uint64_t minBlocks,
                                    std::string& error);

}  // namespace varnox
