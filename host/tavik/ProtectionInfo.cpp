#include "tavik/ProtectionInfo.h"

#include <array>

namespace varnox {
namespace {

constexpr uint16_t kPolynomial = 0x8BB7;

constexpr std::array<uint16_t, 256> makeTable() {
  std::array<uint16_t, 256> table{};
  for (uint32_t byte = 0; byte < 256; ++byte) {
    uint16_t crc = static_cast<uint16_t>(byte << 8);
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ kPolynomial : crc << 1);
    table[byte] = crc;
  }
  return table;
}

constexpr std::array<uint16_t, 256> kTable = makeTable();

}  // namespace

uint16_t crc16T10Dif(const uint8_t* data, size_t bytes) {
  uint16_t crc = 0;
  for (size_t i = 0; i < bytes; ++i) crc = static_cast<uint16_t>((crc << 8) ^ kTable[((crc >> 8) ^ data[i]) & 0xFF]);
  return crc;
}

void fillProtection(uint8_t* pi, const uint8_t* data, size_t bytes, uint64_t lba) {
  const uint16_t guard = crc16T10Dif(data, bytes);
  const uint32_t reference = static_cast<uint32_t>(lba);
  pi[0] = static_cast<uint8_t>(guard >> 8);
  pi[1] = static_cast<uint8_t>(guard);
  pi[2] = 0;
  pi[3] = 0;
  for (int i = 0; i < 4; ++i) pi[4 + i] = static_cast<uint8_t>(reference >> (24 - 8 * i));
}

uint8_t checkProtection(const uint8_t* pi, const uint8_t* data, size_t bytes, uint64_t lba) {
  if (pi[2] == 0xFF && pi[3] == 0xFF) return 0;
  bool blank = true;
  for (size_t i = 0; i < kProtectionTupleBytes; ++i) blank &= pi[i] == 0;
  if (blank) return 0;
  uint8_t expected[kProtectionTupleBytes];
  fillProtection(expected, data, bytes, lba);
  if (pi[0] != expected[0] || pi[1] != expected[1]) return kAscqGuardCheckFailed;
  for (int i = 4; i < 8; ++i)
    if (pi[i] != expected[i]) return kAscqReferenceTagCheckFailed;
  return 0;
}

}  // namespace varnox
