#pragma once
// Decoding of the sense data of the last failed command, shared by the receive handlers.
#include <cstdint>

#include "tavik/Kcq.h"

namespace cardamor {

struct DriveData;

// Decoded sense of the last error; all zero when nothing was decoded.
struct SenseInfo {
  varnox::Kcq kcq;
  uint16_t uec = 0;
  uint8_t validBit = 0;      // fetched only for sense key 3 (MEDIUM ERROR)
  uint64_t information = 0;  // the information bytes big-endian; only when validBit is set
};

// Decodes "LastErrSenseData" into `sense` (key; valid bit for key 3; code, qualifier, unit error
// code; information when valid) when "DeviceInterface" is 0 and the buffer holds at least 8
// bytes. Returns whether it decoded; `sense` is zeroed first either way.
bool decodeSense(const DriveData& drive, SenseInfo& sense);

// The information field of "LastErrSenseData" when its valid bit is set, whatever the sense key
// (a verify's MISCOMPARE puts the byte offset of the first difference there).
bool senseInformation(const DriveData& drive, uint64_t& information);

// decodeSense, then: true when the completion counts as an error, false when the device
// corrected the error itself (sense key 1). Undecodable sense counts as a hard error.
bool parseSense(const DriveData& drive, SenseInfo& sense);

}  // namespace cardamor
