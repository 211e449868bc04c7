#include "completion/SenseInfo.h"

#include "drive/DriveData.h"
#include "tavik/SenseParser.h"

namespace cardamor {

namespace {
constexpr uint8_t kKeyRecovered = 1;
constexpr uint8_t kKeyMediumError = 3;
constexpr uint64_t kMinSenseBytes = 8;
}  // namespace

bool decodeSense(const DriveData& drive, SenseInfo& sense) {
  sense = SenseInfo{};
  const varnox::Buffer* buffer = drive.lastErrSenseData;
  if (drive.deviceInterface == nullptr || *drive.deviceInterface != 0 || buffer == nullptr ||
      buffer->data == nullptr || buffer->size < kMinSenseBytes) {
    return false;
  }
  const uint8_t* bytes = buffer->data;
  const size_t length = static_cast<size_t>(buffer->size);
  if (varnox::SenseParser::getKey(bytes, length, sense.kcq) == 0 && sense.kcq.key == kKeyMediumError) {
    varnox::SenseParser::getValidBit(bytes, length, &sense.validBit);
  }
  // The code, qualifier and unit error code are fetched whatever the key said: a partial
  // decode is still worth tracing.
  varnox::SenseParser::getCode(bytes, length, sense.kcq);
  varnox::SenseParser::getQual(bytes, length, sense.kcq);
  varnox::SenseParser::getUec(bytes, length, sense.uec);
  if (sense.validBit != 0) {
    uint8_t information[8] = {};
    varnox::SenseParser::getInformationBytes(bytes, length, information);
    for (uint8_t byte : information) sense.information = (sense.information << 8) | byte;
  }
  return true;
}

bool senseInformation(const DriveData& drive, uint64_t& information) {
  information = 0;
  const varnox::Buffer* buffer = drive.lastErrSenseData;
  if (buffer == nullptr || buffer->data == nullptr || buffer->size < kMinSenseBytes) return false;
  uint8_t valid = 0;
  if (varnox::SenseParser::getValidBit(buffer->data, static_cast<size_t>(buffer->size), &valid) != 0 ||
      valid == 0)
    return false;
  uint8_t bytes[8] = {};
  if (varnox::SenseParser::getInformationBytes(buffer->data, static_cast<size_t>(buffer->size), bytes) != 0)
    return false;
  for (uint8_t byte : bytes) information = (information << 8) | byte;
  return true;
}

bool parseSense(const DriveData& drive, SenseInfo& sense) {
  // A key of 1 can only be there when getKey succeeded: a failed decode leaves it zero.
  return !(decodeSense(drive, sense) && sense.kcq.key == kKeyRecovered);
}

}  // namespace cardamor
