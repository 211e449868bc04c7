#include "patterns/SectorBuckets.h"

#include <algorithm>
#include <cstring>

#include "patterns/RandomSource.h"

namespace cardamor {

void bucketStamp(uint8_t* bucketStart, uint32_t bucket) {
  bucketStart[0] = static_cast<uint8_t>((bucket >> 16) & 0xFF);
  bucketStart[1] = static_cast<uint8_t>((bucket >> 8) & 0xFF);
  bucketStart[2] = static_cast<uint8_t>(bucket & 0xFF);
  bucketStart[3] = 0;
}

void fillRandomBuckets(uint8_t* table, uint32_t bucketCount, uint32_t sectorSize, RandomSource& random) {
  const uint64_t tableBytes = static_cast<uint64_t>(bucketCount) * sectorSize;
  for (uint64_t at = 0; at < tableBytes; at += 8) {
    uint64_t value = random.draw();
    const uint64_t take = std::min<uint64_t>(8, tableBytes - at);
    for (uint64_t i = 0; i < take; ++i) {
      table[at + i] = static_cast<uint8_t>(value & 0xFF);
      value >>= 8;
    }
  }
  // A sector shorter than the stamp cannot carry it; real drives never have one.
  if (sectorSize < 4) return;
  for (uint32_t b = 0; b < bucketCount; ++b) bucketStamp(table + static_cast<uint64_t>(b) * sectorSize, b);
}

void tilePattern(uint8_t* out, uint64_t bytes, const uint8_t* pattern, uint64_t patternBytes) {
  if (bytes == 0 || patternBytes == 0) return;
  const uint64_t first = std::min(bytes, patternBytes);
  std::memcpy(out, pattern, first);
  // Doubling copies from the already tiled prefix keep the pattern phase for any length.
  uint64_t done = first;
  while (done < bytes) {
    const uint64_t chunk = std::min(done - done % patternBytes, bytes - done);
    std::memcpy(out + done, out, chunk);
    done += chunk;
  }
}

}  // namespace cardamor
