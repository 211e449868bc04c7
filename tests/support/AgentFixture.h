#pragma once
// AgentFixture: one Cardamor agent on one real varnox::DriveThread, set up the way the host
// sets it up, so that a test of any agent operation is a few lines long.
//
// What the constructor does, in the host's order:
//   1. builds a DriveThread from `options.drive` (geometry, tag count) and, unless
//      `options.withDevice` is false, a SimulatedDrive of the same geometry behind a Tavik
//      with `options.deviceIndex`;
//   2. fills an AgentTable with cardamor::initAgent (the code linked into unit_tests), or,
//      when `options.libraryPath` is set, loads that library through varnox::AgentLoader;
//   3. registerConfig on a real ConfigManager whose condition names resolve to one mask bit
//      each (conditionBit), then registerDriveVariables with the thread's mapper set to
//      "cardamor". A failure of either is reported as a test failure.
// The destructor releases the records through the table (deleteDriveData, deleteConfigData).
//
// Typical use:
//   AgentFixture f;
//   f.setBasicConditions();            // "Write Condition" = write, "Read Condition" = read
//   f.set("Random Seed", "5");         // any key, as text, exactly as a test file gives it
//   f.setTestMaxXferLength(64);
//   ASSERT_EQ(f.setup(), 0);
//   f.execute();                       // one pass of the agent
// Variables other agents write: mapRangeQueueWriter("CSZoneReset") maps it as another agent would.
// Pass by pass: pass(lba, length, mask) runs execute the way the flow does, with what the LBA agent
// proposed and the condition bits earlier agents left; selected("write") reads the mask after it.
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/ConfigData.h"
#include "drive/DriveData.h"
#include "sim/SimulatedDrive.h"
#include "tavik/Tavik.h"
#include "trace/CommandTrace.h"
#include "varnox/AgentLoader.h"
#include "varnox/AgentTable.h"
#include "varnox/ConfigManager.h"
#include "varnox/DriveThread.h"

namespace varnox::testing {

struct AgentFixtureOptions {
  DriveProperties drive;            // 512-byte blocks, no protection information, 32 tags
  bool withDevice = true;           // a simulated drive behind the thread's Tavik
  int deviceIndex = 0;              // Tavik::getCurrentDeviceIndex
  uint64_t capacityBlocks = 65536;  // of the simulated drive
  uint32_t deviceProperty = 0;      // what device request 4241 reports
  std::string libraryPath;          // empty: the agent code linked into the test binary
};

class AgentFixture {
 public:
  explicit AgentFixture(AgentFixtureOptions options = {});
  ~AgentFixture();
  AgentFixture(const AgentFixture&) = delete;
  AgentFixture& operator=(const AgentFixture&) = delete;

  const AgentTable& table() const { return table_; }
  ConfigManager& manager() { return manager_; }
  DriveThread& thread() { return *thread_; }
  Tavik* tavik() { return tavik_.get(); }
  sim::SimulatedDrive* simDrive() { return sim_.get(); }
  cardamor::ConfigData& config() { return *static_cast<cardamor::ConfigData*>(manager_.record()); }
  cardamor::DriveData& drive() { return *static_cast<cardamor::DriveData*>(thread_->driveData()); }
  bool registered() const { return registered_; }

  // Sets a configuration key from text, as the host does from a test file; a refused value is
  // a test failure naming the key.
  void set(const std::string& key, const std::string& value);
  // Several keys, in order.
  void set(std::initializer_list<std::pair<std::string, std::string>> keys);
  // The mask bit of a condition name; each new name gets the next bit.
  uint64_t conditionBit(const std::string& name);
  // "Write Condition" = write and "Read Condition" = read: the smallest valid test.
  void setBasicConditions();
  void setTestMaxXferLength(uint32_t blocks) { *drive().testMaxXferLength = blocks; }
  // Maps the range queue `variable` as a writer (mode 2) from another mapper, as a range agent would.
  void mapRangeQueueWriter(const std::string& variable, const std::string& mapper = "range-agent");

  // The agent's slots, called the way the host calls them.
  int setup();
  int execute();
  int handleReset();
  void finish();

  // One execute pass: the LBA agent proposed `lba` and `length`, earlier agents left `mask` in the
  // condition mask, and no completion is reported.
  int pass(uint64_t lba, uint32_t length, uint64_t mask = 0);
  // Likewise, with the host reporting the completion of the command on `tag` (its tag freed).
  int passWithCompletion(uint32_t tag, uint32_t status, uint64_t lba, uint32_t length, uint64_t mask = 0);
  // Whether the condition `name` is in the mask (after a pass: what the agent chose).
  bool selected(const std::string& name) { return (thread_->conditionMask() & conditionBit(name)) != 0; }

  std::vector<std::string> logTexts() const { return thread_->eventLog().texts(); }
  std::vector<EventLog::Line> logLines() const { return thread_->eventLog().lines(); }
  bool logged(const std::string& text) const;
  std::vector<std::string> errors() const;  // the level-2 lines, in order
  std::string log() const;                  // every line, one text, for failure messages
  // The line a slot logs when it returns `status`: "execute(): <text> (<status>)".
  static std::string statusLine(const std::string& function, int status);
  // The kinds of the retained trace events, oldest first.
  std::vector<cardamor::TraceEventKind> traceKinds() const;

 private:
  static uint64_t resolve(void* context, const std::string& name);

  std::unique_ptr<sim::SimulatedDrive> sim_;
  std::unique_ptr<Tavik> tavik_;
  std::unique_ptr<DriveThread> thread_;
  AgentLoader loader_;
  AgentTable table_{};
  ConfigManager manager_;
  std::map<std::string, uint64_t> conditionBits_;
  bool configRegistered_ = false;
  bool registered_ = false;
};

}  // namespace varnox::testing
