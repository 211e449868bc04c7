#include "DeviceErrors.h"

#include <cstdio>

#include "tavik/Kcq.h"
#include "tavik/SenseParser.h"

namespace varnox {
namespace {

constexpr uint8_t kSenseKeyRecovered = 0x01;
constexpr uint8_t kSenseKeyMiscompare = 0x0E;
constexpr uint8_t kSenseKeyAborted = 0x0B;

bool senseKcq(const DeviceCompletion& completion, Kcq& kcq) {
  const uint8_t* sense = completion.sense.data();
  const size_t length = completion.sense.size();
  return SenseParser::getKey(sense, length, kcq) == 0 && SenseParser::getCode(sense, length, kcq) == 0 &&
         SenseParser::getQual(sense, length, kcq) == 0;
}

}  // namespace

bool completionDeliveredData(const DeviceCompletion& completion) {
  if (completion.status == kStatusGood) return true;
  Kcq kcq;
  return completion.status == kStatusCheckCondition && senseKcq(completion, kcq) && kcq.key == kSenseKeyRecovered;
}

bool completionIsMiscompare(const DeviceCompletion& completion) {
  Kcq kcq;
  return completion.status == kStatusCheckCondition && senseKcq(completion, kcq) && kcq.key == kSenseKeyMiscompare;
}

std::string protectionCheckFailure(const DeviceCompletion& completion, uint64_t& lba) {
  Kcq kcq;
  if (completion.status != kStatusCheckCondition || !senseKcq(completion, kcq) || kcq.key != kSenseKeyAborted ||
      kcq.code != 0x10 || kcq.qual < 1 || kcq.qual > 3)
    return {};
  uint8_t valid = 0, information[8];
  const uint8_t* sense = completion.sense.data();
  if (SenseParser::getValidBit(sense, completion.sense.size(), &valid) == 0 && valid &&
      SenseParser::getInformationBytes(sense, completion.sense.size(), information) == 0) {
    lba = 0;
    for (uint8_t byte : information) lba = lba << 8 | byte;
  }
  static const char* const kChecks[] = {"LOGICAL BLOCK GUARD CHECK FAILED", "LOGICAL BLOCK APPLICATION TAG CHECK FAILED",
                                        "LOGICAL BLOCK REFERENCE TAG CHECK FAILED"};
  return kChecks[kcq.qual - 1];
}

bool DeviceErrors::count(const DeviceCompletion& completion, const char* commandName, uint64_t lba,
                         uint32_t blocks) {
  if (completion.injected || completionDeliveredData(completion) || completionIsMiscompare(completion)) return false;
  Kcq kcq;
  const bool decoded = completion.status == kStatusCheckCondition && senseKcq(completion, kcq);
  if (count_++ == 0) {
    char text[200];
    const char* status = completion.status == kStatusCheckCondition ? "CHECK CONDITION"
                         : completion.status == kStatusTaskAborted  ? "TASK ABORTED"
                                                                    : "status";
    int n = std::snprintf(text, sizeof text, "%s at LBA 0x%016llX of %u blocks: %s", commandName,
                          static_cast<unsigned long long>(lba), blocks, status);
    if (completion.status != kStatusCheckCondition && completion.status != kStatusTaskAborted && n > 0)
      n += std::snprintf(text + n, sizeof text - n, " 0x%02X", completion.status);
    if (decoded && n > 0)
      std::snprintf(text + n, sizeof text - n, ", sense %02X/%02X/%02X", kcq.key, kcq.code, kcq.qual);
    first_ = text;
  }
  return count_ > tolerated_;
}

std::string DeviceErrors::describe() const {
  return std::to_string(count_) + " device error" + (count_ == 1 ? "" : "s") + " (" + std::to_string(tolerated_) +
         " tolerated); the first: " + first_;
}

}  // namespace varnox
