#pragma once
// Building fixed-format sense data (response code 0x70), the form in which devices of this
// library report errors. The unit error code sits in the first two additional sense bytes (18 and
// 19, big-endian), where SenseParser::getUec looks for it; the additional length covers them.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace varnox {

inline constexpr size_t kFixedSenseBytes = 20;

// Sense keys this system produces.
inline constexpr uint8_t kSenseNoSense = 0x0;
inline constexpr uint8_t kSenseRecoveredError = 0x1;
inline constexpr uint8_t kSenseNotReady = 0x2;
inline constexpr uint8_t kSenseMediumError = 0x3;
inline constexpr uint8_t kSenseHardwareError = 0x4;
inline constexpr uint8_t kSenseIllegalRequest = 0x5;
inline constexpr uint8_t kSenseUnitAttention = 0x6;
inline constexpr uint8_t kSenseAbortedCommand = 0xB;
inline constexpr uint8_t kSenseMiscompare = 0xE;

struct SenseFields {
  uint8_t key = 0;
  uint8_t asc = 0;
  uint8_t ascq = 0;
  // The information field (an LBA, or a byte offset for a miscompare). The valid bit is set only
  // when `hasInformation` and the value fits the 4-byte fixed-format field.
  bool hasInformation = false;
  uint64_t information = 0;
  uint16_t unitErrorCode = 0;
};

// Writes kFixedSenseBytes bytes to `sense`; returns that count, or 0 when `capacity` is smaller.
size_t buildFixedSense(uint8_t* sense, size_t capacity, const SenseFields& fields);
std::vector<uint8_t> fixedSense(const SenseFields& fields);

}  // namespace varnox
