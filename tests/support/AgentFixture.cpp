#include "support/AgentFixture.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "entry/Entry.h"
#include "varnox/EventLog.h"

namespace varnox::testing {

AgentFixture::AgentFixture(AgentFixtureOptions options) {
  if (options.withDevice) {
    sim::SimConfig sc;
    sc.logicalBlockSize = options.drive.logicalBlockSize;
    sc.protectionInfo = options.drive.protectionInfoEnabled;
    sc.log2LogicalPerPhysical = options.drive.log2LogicalPerPhysical;
    sc.queueDepth = options.drive.queueDepth;
    sc.capacityBlocks = options.capacityBlocks;
    sc.shuffleCompletions = false;
    sc.deviceProperty = options.deviceProperty;
    std::string error;
    sim_ = sim::SimulatedDrive::create(sc, error);
    EXPECT_NE(sim_, nullptr) << "simulated drive refused: " << error;
    tavik_ = std::make_unique<Tavik>(sim_.get(), options.deviceIndex);
  }
  thread_ = std::make_unique<DriveThread>(options.drive, nullptr, tavik_.get());

  if (options.libraryPath.empty()) {
    cardamor::initAgent(&table_);
  } else {
    std::string error;
    const int status = loader_.load(options.libraryPath, error);
    EXPECT_EQ(status, 0) << error;
    if (status != 0) return;
    table_ = loader_.table();
  }

  manager_.setConditionResolver(&AgentFixture::resolve, this);
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

AgentFixture::~AgentFixture() {
  if (registered_) {
    void* record = thread_->driveData();
    thread_->clearDriveData();
    table_.deleteDriveData(record);
  }
  if (configRegistered_) table_.deleteConfigData(manager_.record());
}

uint64_t AgentFixture::resolve(void* context, const std::string& name) {
  return static_cast<AgentFixture*>(context)->conditionBit(name);
}

uint64_t AgentFixture::conditionBit(const std::string& name) {
  auto it = conditionBits_.find(name);
  if (it != conditionBits_.end()) return it->second;
  const uint64_t bit = uint64_t{1} << conditionBits_.size();
  conditionBits_.emplace(name, bit);
  return bit;
}

void AgentFixture::set(const std::string& key, const std::string& value) {
  std::string error;
  EXPECT_EQ(manager_.setFromText(key, value, error), 0) << error;
}

void AgentFixture::set(std::initializer_list<std::pair<std::string, std::string>> keys) {
  for (const auto& [key, value] : keys) set(key, value);
}

void AgentFixture::setBasicConditions() {
  set("Write Condition", "write");
  set("Read Condition", "read");
}

void AgentFixture::mapRangeQueueWriter(const std::string& variable, const std::string& mapper) {
  int err = 0;
  thread_->setMapper(mapper);
  thread_->mapLBARangeQueue(variable.c_str(), kVarWrite, &err);
  thread_->setMapper("");
  EXPECT_EQ(err, 0) << "mapping " << variable;
}

int AgentFixture::setup() {
  return table_.setupTest(thread_.get(), manager_.record(), thread_->driveData());
}
int AgentFixture::execute() {
  return table_.execute(thread_.get(), manager_.record(), thread_->driveData());
}
int AgentFixture::handleReset() {
  return table_.handleReset(thread_.get(), manager_.record(), thread_->driveData());
}
void AgentFixture::finish() {
  table_.finishTest(thread_.get(), manager_.record(), thread_->driveData());
}

int AgentFixture::pass(uint64_t lba, uint32_t length, uint64_t mask) {
  return passWithCompletion(kNoTag, 0xFFFFFFFF, lba, length, mask);
}

int AgentFixture::passWithCompletion(uint32_t tag, uint32_t status, uint64_t lba, uint32_t length,
                                     uint64_t mask) {
  if (tag != kNoTag) {
    *drive().lastTagId = tag;
    drive().lastErrSenseData->size = 0;
    thread_->freeTagQueue().pushFreeTag(tag, 0);
  }
  *drive().lastStatusByte = status;  // 0xFFFFFFFF: nothing completed
  *drive().lba = lba;
  *drive().xferLength = length;
  thread_->conditionMask() = mask;
  return execute();
}

bool AgentFixture::logged(const std::string& text) const {
  const auto texts = logTexts();
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

std::vector<std::string> AgentFixture::errors() const {
  std::vector<std::string> out;
  for (const auto& line : logLines())
    if (line.level == 2) out.push_back(line.text);
  return out;
}

std::string AgentFixture::log() const {
  std::string all;
  for (const std::string& line : logTexts()) all += line + "\n";
  return all;
}

std::string AgentFixture::statusLine(const std::string& function, int status) {
  return function + "(): " + EventLog::errStr(status) + " (" + std::to_string(status) + ")";
}

std::vector<cardamor::TraceEventKind> AgentFixture::traceKinds() const {
  std::vector<cardamor::TraceEventKind> kinds;
  const auto* trace = static_cast<const cardamor::DriveData*>(thread_->driveData())->commandTrace.get();
  for (uint64_t i = 0; trace != nullptr && i < trace->retainedCount(); ++i)
    kinds.push_back(trace->chronological(i).kind);
  return kinds;
}

}  // namespace varnox::testing
