#pragma once
// IssueHarness: an AgentFixture run pass by pass (AgentFixture::pass) with a fixed seed, plus the
// tag and write-data views the issue tests look at after a pass.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

#include "support/AgentFixture.h"

namespace varnox::testing {

class IssueHarness : public AgentFixture {
 public:
  using AgentFixture::AgentFixture;

  // Read and Write conditions, a fixed seed and the largest transfer length.
  void basic(uint32_t maxXfer = 64) {
    setBasicConditions();
    set("Random Seed", "7");
    setTestMaxXferLength(maxXfer);
  }

  // basic(), then `keys` in order, then setup; its status.
  int setupWith(std::initializer_list<std::pair<std::string, std::string>> keys = {}, uint32_t maxXfer = 64) {
    basic(maxXfer);
    set(keys);
    return setup();
  }

  uint32_t nextTag() { return thread().freeTagQueue().peekNextFreeTag(); }
  uint64_t bit(const std::string& name) { return conditionBit(name); }

  // Bytes of block k of "WriteData" with the given stride.
  const uint8_t* writeBlock(uint32_t k, uint64_t stride) { return drive().writeData->data + k * stride; }
};

}  // namespace varnox::testing
