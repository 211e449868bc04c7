#include "history/HistoryReport.h"

#include <iomanip>
#include <sstream>

namespace cardamor {

namespace {

using Event = AtomicContext::Event;

// Column widths; every field is left-aligned, padded with blanks and never cut.
constexpr int kWidths[] = {10, 10, 9, 8, 12, 16, 16};
constexpr const char* kHeadings[] = {"EventType",  "CmdID",    "BlockType", "BlockNum",
                                     "EmbedCmdID", "EmbedLBA", "HashValue"};
constexpr int kColumns = 7;
constexpr int kLineWidth = 93;  // the widths plus two blanks between fields

std::string eventTypeName(uint8_t type) {
  // An external invalidation (5) has no name of its own and prints as "?".
  static const char* const kNames[] = {"none", "write", "atomic", "hash", "invalidate"};
  return type < 5 ? kNames[type] : "?";
}

std::string blockTypeName(uint32_t type) {
  static const char* const kNames[] = {"unknown", "normal", "atomic", "hash"};
  return type < 4 ? kNames[type] : "?";
}

std::string hex(uint64_t value) {
  std::ostringstream out;
  out << std::hex << value;
  return out.str();
}

std::string blockNumText(uint32_t blockNum) {
  if (blockNum < kBucketLimit) return hex(blockNum);
  return blockNum == TRIM_BUCKET ? "ZERO" : "INVALID";
}

void writeFields(std::ostringstream& out, const std::string (&fields)[kColumns]) {
  for (int i = 0; i < kColumns; ++i) {
    if (i > 0) out << "  ";
    out << std::left << std::setw(kWidths[i]) << fields[i];
  }
}

}  // namespace

std::string historyReport(const ReadSnapshot& snapshot, uint64_t lba) {
  auto it = snapshot.find(lba);
  if (it == snapshot.end()) return {};
  const AtomicContext::Node& node = *it->second;

  std::ostringstream out;
  out << "Context History for lba 0x" << hex(lba) << ":\n";
  std::string headings[kColumns];
  for (int i = 0; i < kColumns; ++i) headings[i] = kHeadings[i];
  writeFields(out, headings);
  out << '\n' << std::string(kLineWidth, '-') << '\n';

  for (const Event& event : node.history) {
    const std::string fields[kColumns] = {
        eventTypeName(event.eventType),
        std::to_string(event.cmdId),
        blockTypeName(event.blockType),
        blockNumText(event.blockNum),
        event.embedded ? hex(event.embeddedCmdId) : "---",
        event.embedded ? hex(event.embeddedLba) : "---",
        event.hashValue != 0 ? hex(event.hashValue) : "---",
    };
    writeFields(out, fields);
    if (&event == node.observed) out << "  *observed*";
    out << '\n';
  }
  return out.str();
}

}  // namespace cardamor
