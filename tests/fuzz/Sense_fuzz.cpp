// Sense decoding on any bytes and any length: the parser's getters and the agent's decode of
// "LastErrSenseData" read nothing past the length, fail without touching their outputs, and agree
// with each other. The same bytes then drive a round trip: fields built into fixed-format sense
// (the host's builder) and into descriptor-format sense (built here, as other devices report it)
// come back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "completion/SenseInfo.h"
#include "drive/DriveData.h"
#include "tavik/SenseBuilder.h"
#include "tavik/SenseParser.h"

namespace {

using varnox::Kcq;
using varnox::SenseParser;
using varnox::fuzz::fuzzCheck;

bool sameKcq(const Kcq& a, const Kcq& b) { return a.key == b.key && a.code == b.code && a.qual == b.qual; }

// Every getter on the first `length` bytes. Outputs start from a marker that no failed call may
// change; a call that succeeds on a fixed-format record must return the record's own bytes.
void checkGetters(const uint8_t* sense, size_t length) {
  const Kcq marker{0xAA, 0xBB, 0xCC};
  Kcq kcq = marker;
  const bool key = SenseParser::getKey(sense, length, kcq) == 0;
  const bool code = SenseParser::getCode(sense, length, kcq) == 0;
  const bool qual = SenseParser::getQual(sense, length, kcq) == 0;
  fuzzCheck(key || kcq.key == marker.key, "a failed getKey leaves the key");
  fuzzCheck(code || kcq.code == marker.code, "a failed getCode leaves the code");
  fuzzCheck(qual || kcq.qual == marker.qual, "a failed getQual leaves the qualifier");
  fuzzCheck(!key || kcq.key <= 0x0F, "a sense key has four bits");

  uint16_t uec = 0xBEEF;
  const bool hasUec = SenseParser::getUec(sense, length, uec) == 0;
  fuzzCheck(hasUec || uec == 0xBEEF, "a failed getUec leaves the unit error code");
  uint8_t valid = 0x5A;
  const bool hasValid = SenseParser::getValidBit(sense, length, &valid) == 0;
  fuzzCheck(hasValid ? valid <= 1 : valid == 0x5A, "the valid bit is 0 or 1, or untouched");
  fuzzCheck(SenseParser::getValidBit(sense, length, nullptr) != 0, "no output, no success");
  uint8_t information[8];
  std::memset(information, 0x77, sizeof information);
  const bool hasInformation = SenseParser::getInformationBytes(sense, length, information) == 0;
  if (!hasInformation)
    for (uint8_t b : information) fuzzCheck(b == 0x77, "a failed getInformationBytes leaves its output");
  fuzzCheck(SenseParser::getInformationBytes(sense, length, nullptr) != 0, "no output, no success");

  const uint8_t format = length > 0 ? (sense[0] & 0x7F) : 0;
  const bool fixed = format == 0x70 || format == 0x71;
  const bool descriptor = format == 0x72 || format == 0x73;
  if (!fixed && !descriptor) {
    fuzzCheck(!key && !code && !qual && !hasUec && !hasValid && !hasInformation, "not sense data, nothing decoded");
    return;
  }
  if (hasInformation) fuzzCheck(hasValid, "information without a valid bit");
  if (!fixed) return;
  fuzzCheck(key == (length >= 3) && code == (length >= 13) && qual == (length >= 14) && hasUec == (length >= 20),
            "fixed format: a field decodes exactly when the length covers it", std::to_string(length));
  if (key) fuzzCheck(kcq.key == (sense[2] & 0x0F), "fixed format: key from byte 2");
  if (code) fuzzCheck(kcq.code == sense[12], "fixed format: code from byte 12");
  if (qual) fuzzCheck(kcq.qual == sense[13], "fixed format: qualifier from byte 13");
  if (hasUec) fuzzCheck(uec == ((sense[18] << 8) | sense[19]), "fixed format: unit error code from bytes 18-19");
  if (hasValid) fuzzCheck(valid == (sense[0] >> 7), "fixed format: valid bit from byte 0");
}

// The agent's decode of the same bytes, as a drive would leave them in "LastErrSenseData".
void checkAgentDecode(cardamor::DriveData& drive, uint8_t* sense, size_t length) {
  varnox::Buffer buffer;
  buffer.pointAt(sense, length);
  uint32_t deviceInterface = 0;
  drive.lastErrSenseData = &buffer;
  drive.deviceInterface = &deviceInterface;
  cardamor::SenseInfo info;
  const bool decoded = cardamor::decodeSense(drive, info);
  fuzzCheck(decoded == (length >= 8), "the agent decodes every record of 8 bytes or more", std::to_string(length));
  const bool isError = cardamor::parseSense(drive, info);
  fuzzCheck(isError != (decoded && info.kcq.key == 1), "all but a recovered error count as errors");
  fuzzCheck(info.validBit == 0 || info.kcq.key == 3, "the valid bit is fetched only for a medium error");
  fuzzCheck(info.validBit != 0 || info.information == 0, "information only with the valid bit");
  if (decoded) {
    Kcq kcq;
    if (SenseParser::getKey(sense, length, kcq) == 0) fuzzCheck(kcq.key == info.kcq.key, "agent and parser agree");
  }
  // Another interface's sense is not the agent's to decode.
  deviceInterface = 1;
  fuzzCheck(!cardamor::decodeSense(drive, info), "sense of another interface is left alone");
  drive.lastErrSenseData = nullptr;
  drive.deviceInterface = nullptr;
}

// Reads little-endian fields from the input; zero past its end.
class FieldReader {
 public:
  FieldReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint64_t take(size_t bytes) {
    uint64_t v = 0;
    for (size_t i = 0; i < bytes; ++i, ++at_) v |= static_cast<uint64_t>(at_ < size_ ? data_[at_] : 0) << (8 * i);
    return v;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Descriptor-format sense: the information descriptor and the vendor descriptor with the unit
// error code, in the order given, after an optional descriptor of another type that the parser
// must step over.
std::vector<uint8_t> descriptorSense(const varnox::SenseFields& f, bool uecFirst, uint8_t skippedLength) {
  std::vector<uint8_t> s = {0x72, static_cast<uint8_t>(f.key & 0x0F), f.asc, f.ascq, 0, 0, 0, 0};
  std::vector<uint8_t> skipped = {0x05, skippedLength};
  skipped.resize(2 + skippedLength, 0x80);  // payload bytes that look like descriptor types
  std::vector<uint8_t> info = {0x00, 0x0A, static_cast<uint8_t>(f.hasInformation ? 0x80 : 0), 0};
  for (int i = 7; i >= 0; --i) info.push_back(static_cast<uint8_t>(f.information >> (8 * i)));
  std::vector<uint8_t> uec = {0x80, 0x02, static_cast<uint8_t>(f.unitErrorCode >> 8),
                              static_cast<uint8_t>(f.unitErrorCode)};
  s.insert(s.end(), skipped.begin(), skipped.end());
  s.insert(s.end(), (uecFirst ? uec : info).begin(), (uecFirst ? uec : info).end());
  s.insert(s.end(), (uecFirst ? info : uec).begin(), (uecFirst ? info : uec).end());
  s[7] = static_cast<uint8_t>(s.size() - 8);
  return s;
}

void checkRoundTrip(const uint8_t* data, size_t size) {
  FieldReader in(data, size);
  varnox::SenseFields f;
  f.key = static_cast<uint8_t>(in.take(1) & 0x0F);
  f.asc = static_cast<uint8_t>(in.take(1));
  f.ascq = static_cast<uint8_t>(in.take(1));
  f.unitErrorCode = static_cast<uint16_t>(in.take(2));
  const uint64_t flags = in.take(1);
  f.hasInformation = (flags & 1) != 0;
  // Mostly values that fit the fixed format's four bytes, sometimes wider ones.
  f.information = in.take((flags & 2) != 0 ? 8 : 4);
  const std::string fields = "key " + std::to_string(f.key) + " asc " + std::to_string(f.asc) + " ascq " +
                             std::to_string(f.ascq) + " information " + std::to_string(f.information);

  // Exactly the capacity asked for, so a write past it is seen.
  const size_t capacity = static_cast<size_t>(in.take(1)) % (varnox::kFixedSenseBytes + 8);
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[capacity]);
  const size_t built = varnox::buildFixedSense(buffer.get(), capacity, f);
  fuzzCheck(built == (capacity >= varnox::kFixedSenseBytes ? varnox::kFixedSenseBytes : 0), "built length");

  const std::vector<uint8_t> fixed = varnox::fixedSense(f);
  const bool fits = f.information <= 0xFFFFFFFFull;
  Kcq kcq;
  uint16_t uec = 0;
  uint8_t valid = 9;
  uint8_t information[8] = {};
  fuzzCheck(SenseParser::getKey(fixed.data(), fixed.size(), kcq) == 0 &&
                SenseParser::getCode(fixed.data(), fixed.size(), kcq) == 0 &&
                SenseParser::getQual(fixed.data(), fixed.size(), kcq) == 0 &&
                SenseParser::getUec(fixed.data(), fixed.size(), uec) == 0 &&
                SenseParser::getValidBit(fixed.data(), fixed.size(), &valid) == 0 &&
                SenseParser::getInformationBytes(fixed.data(), fixed.size(), information) == 0,
            "built fixed sense decodes", fields);
  fuzzCheck(sameKcq(kcq, Kcq{f.key, f.asc, f.ascq}) && uec == f.unitErrorCode, "fixed sense round trip", fields);
  fuzzCheck(valid == (f.hasInformation && fits ? 1 : 0), "fixed sense valid bit", fields);
  uint64_t back = 0;
  for (uint8_t b : information) back = (back << 8) | b;
  fuzzCheck(back == (valid != 0 ? f.information : 0), "fixed sense information", fields);
  if (built != 0) fuzzCheck(std::memcmp(buffer.get(), fixed.data(), built) == 0, "both builders agree", fields);

  const std::vector<uint8_t> desc = descriptorSense(f, (flags & 4) != 0, static_cast<uint8_t>((flags >> 3) % 12));
  kcq = Kcq{};
  uec = 0;
  valid = 9;
  fuzzCheck(SenseParser::getKey(desc.data(), desc.size(), kcq) == 0 &&
                SenseParser::getCode(desc.data(), desc.size(), kcq) == 0 &&
                SenseParser::getQual(desc.data(), desc.size(), kcq) == 0 &&
                SenseParser::getUec(desc.data(), desc.size(), uec) == 0 &&
                SenseParser::getValidBit(desc.data(), desc.size(), &valid) == 0 &&
                SenseParser::getInformationBytes(desc.data(), desc.size(), information) == 0,
            "built descriptor sense decodes", fields);
  fuzzCheck(sameKcq(kcq, Kcq{f.key, f.asc, f.ascq}) && uec == f.unitErrorCode, "descriptor sense round trip", fields);
  fuzzCheck(valid == (f.hasInformation ? 1 : 0), "descriptor sense valid bit", fields);
  back = 0;
  for (uint8_t b : information) back = (back << 8) | b;
  fuzzCheck(back == f.information, "descriptor sense carries all eight information bytes", fields);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Every shorter length too: a record cut anywhere must still decode safely. The copy has
  // exactly the length under test, so a read past it is seen by the sanitizers.
  const size_t longest = size < 64 ? size : 64;
  cardamor::DriveData drive;
  for (size_t length = 0; length <= longest; ++length) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[length]);
    if (length > 0) std::memcpy(copy.get(), data, length);
    checkGetters(copy.get(), length);
    checkAgentDecode(drive, copy.get(), length);
  }
  if (size > longest) {
    checkGetters(data, size);
    std::unique_ptr<uint8_t[]> copy(new uint8_t[size]);
    std::memcpy(copy.get(), data, size);
    checkAgentDecode(drive, copy.get(), size);
  }
  checkRoundTrip(data, size);
  return 0;
}
