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
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/ConfigData.h"
#include "drive/DriveData.h"
#include "entry/Entry.h"
#include "sim/SimulatedDrive.h"
#include "tavik/Tavik.h"
#include "trace/CommandTrace.h"
#include "varnox/AgentTable.h"
#include "varnox/ConfigManager.h"
#include "varnox/DriveThread.h"
#include "varnox/EventLog.h"

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

  explicit AgentFixture(AgentFixtureOptions options = {}) {
    if (options.withDevice) {
      sim::SimConfig sc;
      sc.logicalBlockSize = options.drive.logicalBlockSize;
      sc.protectionInfo = options.drive.protectionInfoEnabled;
      sc.log2LogicalPerPhysical = options.drive.log2LogicalPerPhysical;
      sc.queueDepth = options.drive.queueDepth;
      sc.capacityBlocks = 65536;
      sc.shuffleCompletions = false;
      sc.deviceProperty = options.deviceProperty;
      std::string error;
      sim_ = sim::SimulatedDrive::create(sc, error);
      EXPECT_NE(sim_, nullptr) << "simulated drive refused: " << error;
      tavik_ = std::make_unique<Tavik>(sim_.get(), options.deviceIndex);
    }
    thread_ = std::make_unique<DriveThread>(options.drive, nullptr, tavik_.get());
    cardamor::initAgent(&table_);
    manager_.setConditionResolver(
        [](void* self, const std::string& name) { return static_cast<AgentFixture*>(self)->bit(name); }, this);
    const int configStatus = table_.registerConfig(&manager_);
    EXPECT_EQ(configStatus, 0) << "registerConfig: " << EventLog::errStr(configStatus);
    configRegistered_ = manager_.record() != nullptr;
    if (configStatus != 0) return;
    thread_->setMapper("cardamor");
    const int driveStatus = table_.registerDriveVariables(thread_.get());
    thread_->setMapper("");
    EXPECT_EQ(driveStatus, 0) << "registerDriveVariables: " << EventLog::errStr(driveStatus);
    registered_ = driveStatus == 0;
  }
  ~AgentFixture() {
    if (registered_) {
      void* record = thread_->driveData();
      thread_->clearDriveData();
      table_.deleteDriveData(record);
    }
    if (configRegistered_) table_.deleteConfigData(manager_.record());
  }
  AgentFixture(const AgentFixture&) = delete;
  AgentFixture& operator=(const AgentFixture&) = delete;

  DriveThread& thread() { return *thread_; }
  Tavik* tavik() { return tavik_.get(); }
  sim::SimulatedDrive* simDrive() { return sim_.get(); }
  cardamor::ConfigData& config() { return *static_cast<cardamor::ConfigData*>(manager_.record()); }
  cardamor::DriveData& drive() { return *static_cast<cardamor::DriveData*>(thread_->driveData()); }

  // Configuration keys from text, as a test file gives them; a refused value fails the test.
  void set(const std::string& key, const std::string& value) {
    std::string error;
    EXPECT_EQ(manager_.setFromText(key, value, error), 0) << error;
  }
  void set(Keys keys) {
    for (const auto& [key, value] : keys) set(key, value);
  }
  void setPairs(const std::vector<std::string>& pairs) {  // "Name=value" each
    for (const std::string& p : pairs) set(p.substr(0, p.find('=')), p.substr(p.find('=') + 1));
  }
  // The mask bit of a condition name; each new name gets the next bit.
  uint64_t bit(const std::string& condition) {
    return conditionBits_.try_emplace(condition, uint64_t{1} << conditionBits_.size()).first->second;
  }
  void setBasicConditions() { set({{"Write Condition", "write"}, {"Read Condition", "read"}}); }
  void setTestMaxXferLength(uint32_t blocks) { *drive().testMaxXferLength = blocks; }
  // Basic conditions, "Random Seed" 7 and the largest transfer, then `keys`, then setup.
  int setupWith(Keys keys = {}, uint32_t maxXfer = 64) {
    setBasicConditions();
    set("Random Seed", "7");
    setTestMaxXferLength(maxXfer);
    set(keys);
    return setup();
  }
  // Maps a range queue as a writer from another mapper, as a range agent would.
  void mapRangeQueueWriter(const std::string& variable) {
    int err = 0;
    thread_->setMapper("range-agent");
    thread_->mapLBARangeQueue(variable.c_str(), kVarWrite, &err);
    thread_->setMapper("");
    EXPECT_EQ(err, 0) << "mapping " << variable;
  }

  // The agent's slots, called the way the host calls them.
  int setup() { return table_.setupTest(thread_.get(), manager_.record(), thread_->driveData()); }
  int execute() { return table_.execute(thread_.get(), manager_.record(), thread_->driveData()); }
  int handleReset() { return table_.handleReset(thread_.get(), manager_.record(), thread_->driveData()); }
  // One execute pass: the LBA agent proposed `lba` and `length`, earlier agents left `mask`,
  // and GetStatus reported the completion of `tag` (freed) with `status`, or none.
  int pass(uint64_t lba, uint32_t length, uint64_t mask = 0) {
    return passWithCompletion(kNoTag, 0xFFFFFFFF, lba, length, mask);
  }
  int passWithCompletion(uint32_t tag, uint32_t status, uint64_t lba, uint32_t length, uint64_t mask = 0) {
    if (tag != kNoTag) {
      *drive().lastTagId = tag;
      drive().lastErrSenseData->size = 0;
      thread_->freeTagQueue().pushFreeTag(tag, 0);
    }
    *drive().lastStatusByte = status;
    *drive().lba = lba;
    *drive().xferLength = length;
    thread_->conditionMask() = mask;
    return execute();
  }
  bool selected(const std::string& condition) { return (thread_->conditionMask() & bit(condition)) != 0; }
  uint32_t nextTag() { return thread_->freeTagQueue().peekNextFreeTag(); }
  // Block k of "WriteData" with the given stride.
  const uint8_t* writeBlock(uint32_t k, uint64_t stride = 512) { return drive().writeData->data + k * stride; }

  std::vector<std::string> logTexts() const { return thread_->eventLog().texts(); }
  bool logged(const std::string& text) const {
    const auto texts = logTexts();
    return std::find(texts.begin(), texts.end(), text) != texts.end();
  }
  std::vector<std::string> errors() const {  // the level-2 lines, in order
    std::vector<std::string> out;
    for (const auto& line : thread_->eventLog().lines())
      if (line.level == 2) out.push_back(line.text);
    return out;
  }
  std::string log() const {  // every line, for failure messages
    std::string all;
    for (const std::string& line : logTexts()) all += line + "\n";
    return all;
  }
  // The line a slot logs when it returns `status`: "execute(): <text> (<status>)".
  static std::string statusLine(const std::string& function, int status) {
    return function + "(): " + EventLog::errStr(status) + " (" + std::to_string(status) + ")";
  }
  std::vector<cardamor::TraceEventKind> traceKinds() const {  // retained trace events, oldest first
    std::vector<cardamor::TraceEventKind> kinds;
    const auto* trace = static_cast<const cardamor::DriveData*>(thread_->driveData())->commandTrace.get();
    for (uint64_t i = 0; trace != nullptr && i < trace->retainedCount(); ++i)
      kinds.push_back(trace->chronological(i).kind);
    return kinds;
  }

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
