// Sense decoding on any bytes cut at any length: the parser's getters and the agent's decode of
// "LastErrSenseData" read nothing past the length, leave their outputs alone when they fail, and
// agree with each other and with the fixed format's layout. The same bytes then give fields that
// must come back unchanged from fixed-format sense (the host's builder) and from descriptor-format
// sense (built here, as other devices report it).
#include <algorithm>
#include <cstring>
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

// Every getter's result; the outputs start from markers that a failed call must leave as they are.
struct Decoded {
  Kcq kcq{0xAA, 0xBB, 0xCC};
  uint16_t uec = 0xBEEF;
  uint8_t valid = 0x5A;
  uint8_t information[8] = {0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77};
  bool key, code, qual, hasUec, hasValid, hasInformation;
  bool all() const { return key && code && qual && hasUec && hasValid && hasInformation; }
  uint64_t info() const {
    uint64_t v = 0;
    for (uint8_t b : information) v = v << 8 | b;
    return v;
  }
};

Decoded decode(const uint8_t* s, size_t n) {
  Decoded d;
  d.key = SenseParser::getKey(s, n, d.kcq) == 0;
  d.code = SenseParser::getCode(s, n, d.kcq) == 0;
  d.qual = SenseParser::getQual(s, n, d.kcq) == 0;
  d.hasUec = SenseParser::getUec(s, n, d.uec) == 0;
  d.hasValid = SenseParser::getValidBit(s, n, &d.valid) == 0;
  d.hasInformation = SenseParser::getInformationBytes(s, n, d.information) == 0;
  return d;
}

void checkGetters(const uint8_t* s, size_t n) {
  const Decoded d = decode(s, n);
  fuzzCheck((d.key || d.kcq.key == 0xAA) && (d.code || d.kcq.code == 0xBB) && (d.qual || d.kcq.qual == 0xCC) &&
                (d.hasUec || d.uec == 0xBEEF) && (d.hasInformation || d.info() == 0x7777777777777777),
            "a failed getter leaves its output");
  fuzzCheck(d.hasValid ? d.valid <= 1 : d.valid == 0x5A, "the valid bit is 0 or 1, or untouched");
  fuzzCheck(!d.key || d.kcq.key <= 0x0F, "a sense key has four bits");
  fuzzCheck(SenseParser::getValidBit(s, n, nullptr) != 0 && SenseParser::getInformationBytes(s, n, nullptr) != 0,
            "no output, no success");
  const uint8_t format = n > 0 ? (s[0] & 0x7F) : 0;
  const bool fixed = format == 0x70 || format == 0x71;
  if (!fixed && format != 0x72 && format != 0x73) {
    fuzzCheck(!d.key && !d.code && !d.qual && !d.hasUec && !d.hasValid && !d.hasInformation,
              "not sense data, nothing decoded");
    return;
  }
  fuzzCheck(!d.hasInformation || d.hasValid, "information without a valid bit");
  if (!fixed) return;
  fuzzCheck(d.key == (n >= 3) && d.code == (n >= 13) && d.qual == (n >= 14) && d.hasUec == (n >= 20),
            "fixed format: a field decodes exactly when the length covers it");
  fuzzCheck((!d.key || d.kcq.key == (s[2] & 0x0F)) && (!d.code || d.kcq.code == s[12]) &&
                (!d.qual || d.kcq.qual == s[13]) && (!d.hasUec || d.uec == (s[18] << 8 | s[19])) &&
                (!d.hasValid || d.valid == s[0] >> 7),
            "fixed format: key, code, qualifier, unit error code and valid bit from their bytes");
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
  fuzzCheck(decoded == (length >= 8), "the agent decodes every record of 8 bytes or more");
  fuzzCheck(cardamor::parseSense(drive, info) != (decoded && info.kcq.key == 1),
            "all but a recovered error count as errors");
  fuzzCheck(info.validBit == 0 || info.kcq.key == 3, "the valid bit is fetched only for a medium error");
  fuzzCheck(info.validBit != 0 || info.information == 0, "information only with the valid bit");
  Kcq kcq;
  if (decoded && SenseParser::getKey(sense, length, kcq) == 0)
    fuzzCheck(kcq.key == info.kcq.key, "agent and parser agree");
  deviceInterface = 1;  // another interface's sense is not the agent's to decode
  fuzzCheck(!cardamor::decodeSense(drive, info), "sense of another interface is left alone");
  drive.lastErrSenseData = nullptr;
  drive.deviceInterface = nullptr;
}

// Descriptor-format sense: the information descriptor and the vendor descriptor with the unit
// error code, in the order given, after a descriptor of another type that the parser must step over.
std::vector<uint8_t> descriptorSense(const varnox::SenseFields& f, bool uecFirst, uint8_t skippedLength) {
  std::vector<uint8_t> s = {0x72, static_cast<uint8_t>(f.key & 0x0F), f.asc, f.ascq, 0, 0, 0, 0, 0x05, skippedLength};
  s.resize(s.size() + skippedLength, 0x80);  // payload bytes that look like descriptor types
  std::vector<uint8_t> info = {0x00, 0x0A, static_cast<uint8_t>(f.hasInformation ? 0x80 : 0), 0};
  for (int i = 7; i >= 0; --i) info.push_back(static_cast<uint8_t>(f.information >> (8 * i)));
  std::vector<uint8_t> uec = {0x80, 0x02, static_cast<uint8_t>(f.unitErrorCode >> 8),
                              static_cast<uint8_t>(f.unitErrorCode)};
  if (uecFirst) info.swap(uec);
  s.insert(s.end(), info.begin(), info.end());
  s.insert(s.end(), uec.begin(), uec.end());
  s[7] = static_cast<uint8_t>(s.size() - 8);
  return s;
}

void checkRoundTrip(const uint8_t* data, size_t size) {
  uint8_t in[15] = {};  // the input's first bytes, zero past its end
  std::copy(data, data + std::min(size, sizeof in), in);
  uint64_t information = 0;
  for (int i = 13; i >= 6; --i) information = information << 8 | in[i];
  const uint8_t flags = in[5];
  // Mostly values that fit the fixed format's four bytes, sometimes wider ones.
  const varnox::SenseFields f{static_cast<uint8_t>(in[0] & 0x0F), in[1], in[2], (flags & 1) != 0,
                              flags & 2 ? information : information & 0xFFFFFFFF,
                              static_cast<uint16_t>(in[3] | in[4] << 8)};
  // Exactly the capacity asked for, so a write past it is seen.
  const size_t capacity = in[14] % (varnox::kFixedSenseBytes + 8);
  std::vector<uint8_t> buffer(capacity);
  const size_t built = varnox::buildFixedSense(buffer.data(), capacity, f);
  fuzzCheck(built == (capacity >= varnox::kFixedSenseBytes ? varnox::kFixedSenseBytes : 0), "built length");
  const std::vector<uint8_t> fixed = varnox::fixedSense(f);
  if (built != 0) fuzzCheck(std::memcmp(buffer.data(), fixed.data(), built) == 0, "both builders agree");

  const std::vector<uint8_t> desc = descriptorSense(f, (flags & 4) != 0, static_cast<uint8_t>((flags >> 3) % 12));
  const bool fits = f.information <= 0xFFFFFFFFull;
  for (const bool descriptor : {false, true}) {
    const Decoded d = descriptor ? decode(desc.data(), desc.size()) : decode(fixed.data(), fixed.size());
    const uint8_t valid = f.hasInformation && (fits || descriptor) ? 1 : 0;
    fuzzCheck(d.all(), descriptor ? "built descriptor sense decodes" : "built fixed sense decodes");
    fuzzCheck(d.kcq.key == f.key && d.kcq.code == f.asc && d.kcq.qual == f.ascq && d.uec == f.unitErrorCode &&
                  d.valid == valid,
              descriptor ? "descriptor sense round trip" : "fixed sense round trip");
    // Descriptor format carries all eight information bytes, valid or not.
    fuzzCheck(d.info() == (valid != 0 || descriptor ? f.information : 0),
              descriptor ? "descriptor sense information" : "fixed sense information");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Every length up to 64 and the whole input: a record cut anywhere must still decode safely.
  // Each copy has exactly the length under test, so the sanitizers see a read past it.
  cardamor::DriveData drive;
  for (size_t length = 0; length <= size; length = length < 64 ? length + 1 : size + (length == size)) {
    std::vector<uint8_t> copy(data, data + length);
    checkGetters(copy.data(), length);
    checkAgentDecode(drive, copy.data(), length);
  }
  checkRoundTrip(data, size);
  return 0;
}
