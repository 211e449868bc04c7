#pragma once
// AgentFixture: one Cardamor agent on a real varnox::DriveThread and, unless `withDevice` is
// false, a SimulatedDrive of the same geometry behind its Tavik; registered the way the host
// does it (registerConfig with one mask bit per condition name, then registerDriveVariables
// mapped as "cardamor") and released through the agent table. A refused registration fails the
// test. Typical use:
//   AgentFixture f;
//   ASSERT_EQ(f.setupWith({{"Slide Reads", "true"}}), 0);  // write/read conditions, seed 7, keys
//   f.pass(lba, length, mask);  // one execute pass with what the LBA agent proposed
//   f.selected("write");        // what the pass left in the condition mask
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "frame/ConfigData.h"
#include "frame/DriveData.h"
#include "sim/SimulatedDrive.h"
#include "tavik/Tavik.h"
#include "trace/CommandTrace.h"
#include "varnox/AgentTable.h"
#include "varnox/ConfigManager.h"
#include "varnox/DriveThread.h"

namespace varnox::testing {

struct AgentFixtureOptions {
  DriveProperties drive;  // 512-byte blocks, no protection information, 32 tags
  bool withDevice = true;
  int deviceIndex = 0;
  uint32_t deviceProperty = 0;  // what device request 4241 reports
};

class AgentFixture {
 public:
  using Keys = std::initializer_list<std::pair<std::string, std::string>>;

  explicit AgentFixture(AgentFixtureOptions options = {});
  ~AgentFixture();
  AgentFixture(const AgentFixture&) = delete;
  AgentFixture& operator=(const AgentFixture&) = delete;

  DriveThread& thread() { return *thread_; }
  Tavik* tavik() { return tavik_.get(); }
  sim::SimulatedDrive* simDrive() { return sim_.get(); }
  Cardamor::ConfigData& config() { return *static_cast<Cardamor::ConfigData*>(manager_.record()); }
  Cardamor::DriveData& drive() { return *static_cast<Cardamor::DriveData*>(thread_->driveData()); }

  // Configuration keys from text, as a test file gives them; a refused value fails the test.
  void set(const std::string& key, const std::string& value);
  void set(Keys keys);
  uint64_t bit(const std::string& condition);  // each new name gets the next mask bit
  void setBasicConditions();                   // "Write Condition" = write, "Read Condition" = read
  void setTestMaxXferLength(uint32_t blocks) { *drive().testMaxXferLength = blocks; }
  // Basic conditions, "Random Seed" 7 and the largest transfer, then `keys`, then setup.
  int setupWith(Keys keys = {}, uint32_t maxXfer = 64);
  // Maps a range queue as a writer from another mapper, as a range agent would.
  void mapRangeQueueWriter(const std::string& variable);

  // The agent's slots, called the way the host calls them.
  int setup();
  int execute();
  int handleReset();
  // One execute pass: the LBA agent proposed `lba` and `length`, earlier agents left `mask`,
  // and GetStatus reported the completion of `tag` (freed) with `status`, or none.
  int pass(uint64_t lba, uint32_t length, uint64_t mask = 0) {
    return passWithCompletion(kNoTag, 0xFFFFFFFF, lba, length, mask);
  }
  int passWithCompletion(uint32_t tag, uint32_t status, uint64_t lba, uint32_t length, uint64_t mask = 0);
  bool selected(const std::string& condition) { return (thread_->conditionMask() & bit(condition)) != 0; }
  uint32_t nextTag() { return thread_->freeTagQueue().peekNextFreeTag(); }
  // Block k of "WriteData" with the given stride.
  const uint8_t* writeBlock(uint32_t k, uint64_t stride = 512) { return drive().writeData->data + k * stride; }

  std::vector<std::string> logTexts() const { return thread_->eventLog().texts(); }
  bool logged(const std::string& text) const;
  std::vector<std::string> errors() const;  // the level-2 lines, in order
  std::string log() const;                  // every line, for failure messages
  // The line a slot logs when it returns `status`: "execute(): <text> (<status>)".
  static std::string statusLine(const std::string& function, int status);
  std::vector<Cardamor::TraceEventKind> traceKinds() const;  // retained trace events, oldest first

 private:
  std::unique_ptr<sim::SimulatedDrive> sim_;
  std::unique_ptr<Tavik> tavik_;
  std::unique_ptr<DriveThread> thread_;
  AgentTable table_{};
  ConfigManager manager_;
  std::map<std::string, uint64_t> conditionBits_;
  bool configRegistered_ = false;
  bool registered_ = false;
};

}  // namespace varnox::testing
