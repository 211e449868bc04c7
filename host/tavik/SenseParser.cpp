#include "tavik/SenseParser.h"

#include <cstring>

namespace varnox {
namespace {

enum class Format { None, Fixed, Descriptor };

constexpr uint8_t kInformationDescriptor = 0x00;
constexpr uint8_t kVendorUecDescriptor = 0x80;

Format formatOf(const uint8_t* sense, size_t length) {
  if (sense == nullptr || length < 1) return Format::None;
  const uint8_t code = sense[0] & 0x7F;
  if (code == 0x70 || code == 0x71) return Format::Fixed;
  if (code == 0x72 || code == 0x73) return Format::Descriptor;
  return Format::None;
}

// The descriptor of `type` within the descriptor list; null when absent or cut short.
const uint8_t* findDescriptor(const uint8_t* sense, size_t length, uint8_t type, size_t minBytes) {
  if (length < 8) return nullptr;
  size_t end = 8 + static_cast<size_t>(sense[7]);
  if (end > length) end = length;
  size_t at = 8;
  while (at + 2 <= end) {
    const size_t size = 2 + static_cast<size_t>(sense[at + 1]);
    if (sense[at] == type) return (at + minBytes <= end && size >= minBytes) ? sense + at : nullptr;
    at += size;
  }
  return nullptr;
}

}  // namespace

int SenseParser::getKey(const uint8_t* sense, size_t length, Kcq& kcq) {
  switch (formatOf(sense, length)) {
    case Format::Fixed:
      if (length < 3) return -1;
      kcq.key = sense[2] & 0x0F;
      return 0;
    case Format::Descriptor:
      if (length < 2) return -1;
      kcq.key = sense[1] & 0x0F;
      return 0;
    case Format::None:
      break;
  }
  return -1;
}

int SenseParser::getCode(const uint8_t* sense, size_t length, Kcq& kcq) {
  switch (formatOf(sense, length)) {
    case Format::Fixed:
      if (length < 13) return -1;
      kcq.code = sense[12];
      return 0;
    case Format::Descriptor:
      if (length < 3) return -1;
      kcq.code = sense[2];
      return 0;
    case Format::None:
      break;
  }
  return -1;
}

int SenseParser::getQual(const uint8_t* sense, size_t length, Kcq& kcq) {
  switch (formatOf(sense, length)) {
    case Format::Fixed:
      if (length < 14) return -1;
      kcq.qual = sense[13];
      return 0;
    case Format::Descriptor:
      if (length < 4) return -1;
      kcq.qual = sense[3];
      return 0;
    case Format::None:
      break;
  }
  return -1;
}

int SenseParser::getUec(const uint8_t* sense, size_t length, uint16_t& uec) {
  switch (formatOf(sense, length)) {
    case Format::Fixed:
      if (length < 20) return -1;
      uec = static_cast<uint16_t>((sense[18] << 8) | sense[19]);
      return 0;
    case Format::Descriptor: {
      const uint8_t* d = findDescriptor(sense, length, kVendorUecDescriptor, 4);
      if (d == nullptr) return -1;
      uec = static_cast<uint16_t>((d[2] << 8) | d[3]);
      return 0;
    }
    case Format::None:
      break;
  }
  return -1;
}

int SenseParser::getValidBit(const uint8_t* sense, size_t length, uint8_t* valid) {
  if (valid == nullptr) return -1;
  switch (formatOf(sense, length)) {
    case Format::Fixed:
      *valid = (sense[0] & 0x80) ? 1 : 0;
      return 0;
    case Format::Descriptor: {
      // Descriptor format carries the bit in its information descriptor; without one the
      // information field is simply not valid.
      if (length < 8) return -1;
      const uint8_t* d = findDescriptor(sense, length, kInformationDescriptor, 12);
      *valid = (d != nullptr && (d[2] & 0x80)) ? 1 : 0;
      return 0;
    }
    case Format::None:
      break;
  }
  return -1;
}

int SenseParser::getInformationBytes(const uint8_t* sense, size_t length, uint8_t* information8) {
  if (information8 == nullptr) return -1;
  switch (formatOf(sense, length)) {
    case Format::Fixed:
      if (length < 7) return -1;
      std::memset(information8, 0, 4);
      std::memcpy(information8 + 4, sense + 3, 4);
      return 0;
    case Format::Descriptor: {
      const uint8_t* d = findDescriptor(sense, length, kInformationDescriptor, 12);
      if (d == nullptr) return -1;
      std::memcpy(information8, d + 4, 8);
      return 0;
    }
    case Format::None:
      break;
  }
  return -1;
}

}  // namespace varnox
