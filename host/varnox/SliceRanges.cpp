#include "SliceRanges.h"

#include <algorithm>
#include <numeric>

namespace varnox {

uint64_t sliceAlignment(uint32_t log2LogicalPerPhysical, uint64_t atomicBound, uint64_t zoneBlocks) {
  uint64_t alignment = uint64_t{1} << std::min<uint32_t>(log2LogicalPerPhysical, 63);
  for (uint64_t unit : {atomicBound, zoneBlocks})
    if (unit != 0) alignment = std::lcm(alignment, unit);
  return alignment;
}

std::vector<LbaRange> splitLbaRange(const LbaRange& range, uint32_t count, uint64_t alignment, uint64_t minBlocks,
                                    std::string& error) {
  alignment = std::max<uint64_t>(alignment, 1);
  minBlocks = std::max<uint64_t>(minBlocks, 1);
  const uint64_t total = range.last >= range.first ? range.last - range.first + 1 : 0;
  std::vector<LbaRange> parts;
  if (count == 0 || total == 0) {
    error = "\"slices\" " + std::to_string(count) + " needs at least one slice and a range to split";
    return parts;
  }
  // Inner boundaries: the even split point, rounded to the nearest multiple of the alignment.
  uint64_t start = range.first;
  for (uint32_t i = 1; i <= count; ++i) {
    uint64_t end = range.last + 1;
    if (i < count) {
      const uint64_t even = range.first + static_cast<uint64_t>(static_cast<unsigned __int128>(total) * i / count);
      end = (even + alignment / 2) / alignment * alignment;
    }
    if (end < start + minBlocks || end > range.last + 1) {
      parts.clear();
      error = "\"slices\" " + std::to_string(count) + " is more than the tested range LBA " +
              std::to_string(range.first) + " to " + std::to_string(range.last) + " (" + std::to_string(total) +
              " blocks) holds: each slice needs at least " + std::to_string(minBlocks) + " blocks" +
              (alignment > 1 ? " and starts on a multiple of " + std::to_string(alignment) + " blocks" : "");
      return parts;
    }
    parts.push_back({start, end - 1});
    start = end;
  }
  return parts;
}

}  // namespace varnox
