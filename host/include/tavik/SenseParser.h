#pragma once
#include <cstddef>
#include <cstdint>

#include "tavik/Kcq.h"

namespace varnox {

// Decodes SCSI sense data in fixed format (response codes 0x70/0x71) and descriptor format
// (0x72/0x73). Every call returns 0 on success and -1 when the bytes are too short or not sense
// data; outputs are left untouched on failure.
//
// The unit error code is this library's vendor field: in fixed format the first two bytes of
// the additional sense bytes (18 and 19, big-endian); in descriptor format the first two bytes
// of a vendor descriptor of type 0x80.
class SenseParser {
 public:
  static int getKey(const uint8_t* sense, size_t length, Kcq& kcq);
  static int getCode(const uint8_t* sense, size_t length, Kcq& kcq);
  static int getQual(const uint8_t* sense, size_t length, Kcq& kcq);
  static int getUec(const uint8_t* sense, size_t length, uint16_t& uec);
  static int getValidBit(const uint8_t* sense, size_t length, uint8_t* valid);
  // The information field as 8 big-endian bytes (fixed format's 4 bytes are right-aligned).
  static int getInformationBytes(const uint8_t* sense, size_t length, uint8_t* information8);
};

}  // namespace varnox
