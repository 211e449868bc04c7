#include "tavik/SenseBuilder.h"

#include <cstring>

namespace varnox {

size_t buildFixedSense(uint8_t* sense, size_t capacity, const SenseFields& fields) {
  if (capacity < kFixedSenseBytes) return 0;
  std::memset(sense, 0, kFixedSenseBytes);
  // The fixed format has four information bytes; a larger value is reported without it rather
  // than truncated into a wrong LBA.
  bool valid = fields.hasInformation && fields.information <= 0xFFFFFFFFull;
  sense[0] = static_cast<uint8_t>(0x70 | (valid ? 0x80 : 0));
  sense[2] = fields.key & 0x0F;
  if (valid) {
    for (int i = 0; i < 4; ++i) sense[3 + i] = static_cast<uint8_t>(fields.information >> (8 * (3 - i)));
  }
  sense[7] = kFixedSenseBytes - 8;
  sense[12] = fields.asc;
  sense[13] = fields.ascq;
  sense[18] = static_cast<uint8_t>(fields.unitErrorCode >> 8);
  sense[19] = static_cast<uint8_t>(fields.unitErrorCode);
  return kFixedSenseBytes;
}

std::vector<uint8_t> fixedSense(const SenseFields& fields) {
  std::vector<uint8_t> sense(kFixedSenseBytes);
  buildFixedSense(sense.data(), sense.size(), fields);
  return sense;
}

}  // namespace varnox
