// Classifying a wrong block after the host died (JournalDiagnosis.h).
#include "journal/JournalDiagnosis.h"

#include <algorithm>
#include <cstdio>

namespace varnox::journal {
namespace {

std::string hex(uint64_t lba) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%016llX", static_cast<unsigned long long>(lba));
  return text;
}

const char* kindName(JournalKind kind) {
  switch (kind) {
    case JournalKind::Write: return "Write";
    case JournalKind::WriteSame: return "WriteSame";
    case JournalKind::Trim: return "Trim";
    case JournalKind::Atomic: return "WriteAtomic";
    case JournalKind::ZoneReset: return "ZoneReset";
    case JournalKind::SyncCache: return "SyncCache";
    case JournalKind::PowerLoss: return "PowerLoss";
  }
  return "command";
}

}  // namespace

std::string describeCommand(const JournaledCommand& c) {
  std::string text = std::string(kindName(c.kind)) + " command " + std::to_string(c.identity) + " of " +
                     std::to_string(c.blocks) + (c.blocks == 1 ? " block" : " blocks") + " from LBA " + hex(c.lba);
  if (c.completionSequence == 0) return text + ", in flight";
  if (c.outcome == JournalOutcome::Lost) return text + ", lost";
  if (c.outcome == JournalOutcome::Failed) return text + ", failed";
  return text + (c.durable ? ", durable" : ", completed but not synchronized");
}

std::unordered_map<uint64_t, HashOrigin> hashOrigins(const JournalJudge& judge) {
  std::unordered_map<uint64_t, HashOrigin> origins;
  const auto& commands = judge.commands();
  for (size_t i = 0; i < commands.size(); ++i) {
    const JournaledCommand& c = commands[i];
    if (c.kind != JournalKind::Write && c.kind != JournalKind::Atomic && c.kind != JournalKind::WriteSame) continue;
    for (uint32_t k = 0; k < c.blocks; ++k)
      origins.emplace(c.hashOf(k, judge.zeroHash()), HashOrigin{static_cast<int>(i), c.lbaOf(k)});
  }
  return origins;
}

std::map<std::string, std::string> diagnoseBlock(const JournalJudge& judge, uint64_t lba, const uint8_t* block,
                                                 uint32_t blockBytes, uint64_t hash, const BlockJudgement& judgement,
                                                 const std::unordered_map<uint64_t, HashOrigin>& origins) {
  std::map<std::string, std::string> d;
  const auto& commands = judge.commands();
  d["failure"] = "journal";
  d["lba"] = std::to_string(lba);
  const int expected = judge.newestDurable(lba);
  std::string expectedText = "none of the contents it may hold";
  if (expected >= 0) {
    d["expectedCmdId"] = std::to_string(commands[expected].identity);
    expectedText = "the newest durable write, " + describeCommand(commands[expected]);
  }
  if (judgement.torn) {
    const JournaledCommand& atomic = commands[judgement.tornWith];
    d["class"] = "torn";
    d["expectedCmdId"] = std::to_string(atomic.identity);
    d["text"] = "LBA " + hex(lba) + " holds older data while its atomic unit holds " + describeCommand(atomic);
    return d;
  }
  if (std::all_of(block, block + blockBytes, [](uint8_t b) { return b == 0; })) {
    d["class"] = "lost";
    d["text"] = "LBA " + hex(lba) + " reads as zeros instead of " + expectedText;
    return d;
  }
  for (int older : judge.ruledOut(lba)) {
    const JournaledCommand& c = commands[older];
    for (uint32_t k = 0; k < c.blocks; ++k) {
      if (c.lbaOf(k) != lba || c.hashOf(k, judge.zeroHash()) != hash) continue;
      d["class"] = "stale";
      d["foundCmdId"] = std::to_string(c.identity);
      d["text"] = "LBA " + hex(lba) + " holds the data of " + describeCommand(c) + ", older than " + expectedText;
      return d;
    }
  }
  if (const auto origin = origins.find(hash); origin != origins.end() && origin->second.lba != lba) {
    d["class"] = "misdirected";
    d["foundCmdId"] = std::to_string(commands[origin->second.command].identity);
    d["foundLba"] = std::to_string(origin->second.lba);
    d["text"] = "LBA " + hex(lba) + " holds the data " + describeCommand(commands[origin->second.command]) +
                " wrote to LBA " + hex(origin->second.lba) + ", instead of " + expectedText;
    return d;
  }
  uint64_t embedded = 0;
  if (blockBytes >= 16)
    for (int i = 8; i < 16; ++i) embedded = (embedded << 8) | block[i];
  if (blockBytes >= 16 && embedded == lba) {
    d["class"] = "corrupted";
    d["text"] = "LBA " + hex(lba) + " carries its own LBA but none of the data it may hold; expected " + expectedText;
    return d;
  }
  if (blockBytes >= 16 && !judge.legal(embedded).empty()) {
    d["class"] = "misdirected";
    d["foundLba"] = std::to_string(embedded);
    d["text"] = "LBA " + hex(lba) + " carries LBA " + hex(embedded) + " in its header, instead of " + expectedText;
    return d;
  }
  d["class"] = "unrecognisable";
  d["text"] = "LBA " + hex(lba) + " holds data the journal knows nothing of, instead of " + expectedText;
  return d;
}

}  // namespace varnox::journal
