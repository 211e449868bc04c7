#pragma once
// IssueHarness: an AgentFixture run pass by pass the way the host's flow runs the agent. Before
// each pass it does what the flow's other members would: no completion is reported unless a
// test says so, the LBA agent proposes "LBA" and "XferLength", and an earlier agent may leave
// condition bits in the mask. After the pass the test looks at the mask and the drive record.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/AgentFixture.h"

namespace varnox::testing {

class IssueHarness {
 public:
  explicit IssueHarness(AgentFixtureOptions options = {}) : fixture_(options) {}

  AgentFixture& fixture() { return fixture_; }
  Cardamor::DriveData& drive() { return fixture_.drive(); }
  Cardamor::ConfigData& config() { return fixture_.config(); }
  DriveThread& thread() { return fixture_.thread(); }
  void set(const std::string& key, const std::string& value) { fixture_.set(key, value); }

  // Read and Write conditions, a fixed seed, small queues unless a test overrides them.
  void basic(uint32_t maxXfer = 64) {
    fixture_.setBasicConditions();
    set("Random Seed", "7");
    fixture_.setTestMaxXferLength(maxXfer);
  }

  int setup() { return fixture_.setup(); }

  // One pass: `mask` is what earlier agents of the flow left in the condition mask.
  int pass(uint64_t lba, uint32_t len, uint64_t mask = 0) {
    *drive().lba = lba;
    *drive().xferLength = len;
    *drive().lastStatusByte = 0xFFFFFFFF;  // nothing completed
    thread().conditionMask() = mask;
    return fixture_.execute();
  }

  // One pass in which the host reports the completion of the command on `tag` with `status`.
  int passWithCompletion(uint32_t tag, uint32_t status, uint64_t lba, uint32_t len, uint64_t mask = 0) {
    *drive().lba = lba;
    *drive().xferLength = len;
    *drive().lastTagId = tag;
    *drive().lastStatusByte = status;
    thread().freeTagQueue().pushFreeTag(tag, 0);
    thread().conditionMask() = mask;
    return fixture_.execute();
  }

  uint32_t nextTag() { return thread().freeTagQueue().peekNextFreeTag(); }

  uint64_t bit(const std::string& name) { return fixture_.conditionBit(name); }
  bool selected(const std::string& name) { return (thread().conditionMask() & bit(name)) != 0; }

  // Bytes of block k of "WriteData" with the given stride.
  const uint8_t* writeBlock(uint32_t k, uint64_t stride) { return drive().writeData->data + k * stride; }

  bool logged(const std::string& text) const {
    for (const std::string& line : fixture_.logTexts()) {
      if (line == text) return true;
    }
    return false;
  }
  std::vector<std::string> errors() const {
    std::vector<std::string> out;
    for (const auto& line : fixture_.logLines()) {
      if (line.level == 2) out.push_back(line.text);
    }
    return out;
  }

 private:
  AgentFixture fixture_;
};

}  // namespace varnox::testing
