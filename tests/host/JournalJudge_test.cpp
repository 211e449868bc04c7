// The journal's judging rules as a case table (tests/host/cases/journal-judge.txt): which
// contents each block may hold after the host died, from the records a run left.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "journal/JournalJudge.h"

namespace varnox::journal {
namespace {

uint64_t hashOfChar(char c) { return 0x1000 + static_cast<unsigned char>(c); }

struct Script {
  std::vector<JournalRecord> records;
  std::map<uint64_t, JournalKind> kinds;

  void intent(JournalKind kind, uint64_t id, uint64_t lba, uint32_t blocks, uint32_t stride, uint32_t unit,
              std::vector<uint64_t> hashes) {
    JournalRecord r;
    r.type = kIntentRecord;
    r.sequence = records.size() + 1;
    r.kind = kind;
    r.identity = id;
    r.lba = lba;
    r.blocks = blocks;
    r.lbaStride = stride;
    r.atomicUnit = unit;
    r.hashes = std::move(hashes);
    records.push_back(r);
  }
  void completion(uint64_t id, JournalOutcome outcome) {
    JournalRecord r;
    r.type = kCompletionRecord;
    r.sequence = records.size() + 1;
    r.identity = id;
    r.outcome = outcome;
    records.push_back(r);
  }
};

// One event token of the case file into the script; false when it cannot be read.
bool addEvent(Script& s, const std::string& token) {
  const char op = token[0];
  size_t at = 1;
  const uint64_t id = std::stoull(token.substr(at), &at);
  at += 1;
  if (op == 'C' || op == 'F' || op == 'L') {
    s.completion(id, op == 'C' ? JournalOutcome::Done : op == 'F' ? JournalOutcome::Failed : JournalOutcome::Lost);
    return true;
  }
  if (op == 'S' || op == 'P') {
    s.intent(op == 'S' ? JournalKind::SyncCache : JournalKind::PowerLoss, id, 0, 0, 1, 0, {});
    return true;
  }
  const std::string rest = token.substr(at + 1);  // after '@'
  size_t used = 0;
  const uint64_t lba = std::stoull(rest, &used);
  std::string tail = rest.substr(used);
  uint32_t stride = 1, unit = 0, blocks = 0;
  if (tail[0] == '~') {
    stride = static_cast<uint32_t>(std::stoul(tail.substr(1), &used));
    tail = tail.substr(used + 1);
  }
  if (tail[0] == '+') {
    blocks = static_cast<uint32_t>(std::stoul(tail.substr(1), &used));
    tail = tail.substr(used + 1);
  }
  std::vector<uint64_t> hashes;
  if (!tail.empty() && tail[0] == '=') {
    std::string data = tail.substr(1);
    if (const size_t slash = data.find('/'); slash != std::string::npos) {
      unit = static_cast<uint32_t>(std::stoul(data.substr(slash + 1)));
      data = data.substr(0, slash);
    }
    for (char c : data) hashes.push_back(hashOfChar(c));
    if (blocks == 0) blocks = static_cast<uint32_t>(hashes.size());
  }
  switch (op) {
    case 'W': s.intent(JournalKind::Write, id, lba, blocks, stride, 0, hashes); return true;
    case 'A': s.intent(JournalKind::Atomic, id, lba, blocks, stride, unit, hashes); return true;
    case 'M': s.intent(JournalKind::WriteSame, id, lba, blocks, stride, 0, hashes); return true;
    case 'T': s.intent(JournalKind::Trim, id, lba, blocks, stride, 0, {}); return true;
    case 'Z': s.intent(JournalKind::ZoneReset, id, lba, blocks, stride, 0, {}); return true;
  }
  return false;
}

TEST(JournalJudge, CaseTable) {
  std::ifstream in(std::string(VARNOX_SOURCE_DIR) + "/tests/host/cases/journal-judge.txt");
  ASSERT_TRUE(in) << "case file missing";
  std::string line;
  int cases = 0;
  constexpr uint32_t kBlockBytes = 512;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t colon = line.find(": "), bar = line.find(" | "), arrow = line.find(" -> ");
    ASSERT_TRUE(colon != std::string::npos && bar != std::string::npos && arrow != std::string::npos) << line;
    const std::string name = line.substr(0, colon);
    std::istringstream events(line.substr(colon + 2, bar - colon - 2));
    std::istringstream contents(line.substr(bar + 3, arrow - bar - 3));
    std::istringstream verdicts(line.substr(arrow + 4));
    Script script;
    bool volatileCache = false;
    for (std::string token; events >> token;) {
      if (token == "volatile") {
        volatileCache = true;
        continue;
      }
      ASSERT_TRUE(addEvent(script, token)) << name << ": " << token;
    }
    const JournalJudge judge(script.records, volatileCache, kBlockBytes);
    std::vector<uint64_t> lbas, held;
    std::vector<char> expected;
    std::string token;
    char verdict = 0;
    while (contents >> token && verdicts >> verdict) {
      lbas.push_back(std::stoull(token));
      const char c = token.back();
      held.push_back(c == '0' ? judge.zeroHash() : c == '?' ? 0xDEADull : hashOfChar(c));
      expected.push_back(verdict);
    }
    ASSERT_FALSE(lbas.empty()) << name;
    const std::vector<BlockJudgement> judged = judge.judge(lbas, held);
    for (size_t i = 0; i < lbas.size(); ++i) {
      const char got = judged[i].verdict == BlockVerdict::Held ? 'H' : judged[i].verdict == BlockVerdict::Unknown ? 'U' : 'W';
      EXPECT_EQ(got, expected[i]) << name << ": LBA " << lbas[i];
    }
    ++cases;
  }
  EXPECT_GT(cases, 40);
}

}  // namespace
}  // namespace varnox::journal
