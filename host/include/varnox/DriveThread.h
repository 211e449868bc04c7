#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "varnox/Buffer.h"
#include "varnox/EventLog.h"
#include "varnox/FreeTagQueue.h"
#include "varnox/LBARangeQueue.h"
#include "varnox/TaggedBuffer.h"

namespace varnox {

class Tavik;

// Access modes of drive variables, as passed to the map calls.
enum VarMode : int {
  kVarRead = 1,       // the mapper reads what the host or another agent provides
  kVarWrite = 2,      // the mapper writes it
  kVarReadWrite = 3,  // both
  kVarProvided = 5,   // another agent may provide it; the mapper reads or drains it
};

// Variables through which an agent explains a failure to the host (all optional):
//   "Diagnosis"          buffer, the agent writes (mode 2) at finish: key=value lines, one per
//                        line, values without newlines. Keys: failure (read, pre-read, verify,
//                        hash, atomic ordering, splice), class (corrupted, stale, lost,
//                        misdirected, torn, unrecognisable), lba, offset, bytes (decimal; offset
//                        and bytes against the expected block), checkCmdId, expectedCmdId,
//                        foundCmdId, foundLba, text (one sentence), driveFile, referenceFile (data
//                        files written), noDriveFile, noReferenceFile (why one was not written),
//                        dumpReason (why a passing run kept its sequence dump).
//   "DiagnosisReadLBA"   u64, the agent writes (mode 2): a block the host reads back from the
//                        device after the drive's last command and before the agents' finish;
//                        kNoDiagnosisRead for none. For a failure whose data the drive did not
//                        return (a verify compares on the drive).
//   "DiagnosisReadData"  buffer, the agent reads (mode 1): that block, one sector; left empty when
//                        the read failed or the device had stopped.
inline constexpr uint64_t kNoDiagnosisRead = UINT64_MAX;

// Geometry and identity of the drive a thread runs against.
struct DriveProperties {
  std::string driveName = "D0";
  uint32_t logicalBlockSize = 512;
  bool protectionInfoEnabled = false;
  uint32_t protectionInfoBytes = 8;
  uint32_t log2LogicalPerPhysical = 0;
  uint32_t queueDepth = 32;
};

// One drive under test: its properties, event log, device, command tags and the named drive
// variables that the agents and command steps of its flow share. Agents reach every variable
// through the map calls; the pointers stay valid as long as the thread lives. The map calls
// are virtual so that a test can make one fail.
class DriveThread {
 public:
  DriveThread(DriveProperties properties, std::shared_ptr<LogSink> sink = nullptr, Tavik* tavik = nullptr);
  virtual ~DriveThread();
  DriveThread(const DriveThread&) = delete;
  DriveThread& operator=(const DriveThread&) = delete;

  // --- properties the agents read
  EventLog& eventLog() { return log_; }
  Tavik* tavik() const { return tavik_; }
  void setTavik(Tavik* tavik) { tavik_ = tavik; }
  const std::string& driveName() const { return properties_.driveName; }
  const DriveProperties& properties() const { return properties_; }
  uint32_t logicalBlockSize() const { return properties_.logicalBlockSize; }
  bool protectionInfoEnabled() const { return properties_.protectionInfoEnabled; }
  uint32_t protectionInfoBytes() const { return properties_.protectionInfoBytes; }
  // Logical block size plus the protection-information bytes when they are enabled.
  uint32_t sectorSize() const {
    return properties_.logicalBlockSize + (properties_.protectionInfoEnabled ? properties_.protectionInfoBytes : 0);
  }
  uint32_t log2LogicalPerPhysical() const { return properties_.log2LogicalPerPhysical; }
  // Performance-counter value at the start of the test.
  uint64_t testStartCounter() const { return testStartCounter_; }
  void setTestStartCounter(uint64_t counter) { testStartCounter_ = counter; }
  uint64_t& conditionMask() { return conditionMask_; }
  FreeTagQueue& freeTagQueue() { return tags_; }

  // --- drive variables. A failed mapping (same name with another type) sets *err and returns
  // null. Scalars start at `def` when first mapped.
  virtual uint64_t* mapU64(const char* name, int mode, int* err, uint64_t def);
  virtual uint32_t* mapU32(const char* name, int mode, int* err, uint32_t def);
  virtual bool* mapBool(const char* name, int mode, int* err, bool def);
  virtual Buffer* mapBuffer(const char* name, int mode, int* err);
  virtual TaggedBuffer* mapTaggedBuffer(const char* name, int mode, int* err);
  virtual LBARangeQueue* mapLBARangeQueue(const char* name, int mode, int* err);

  // The agent's per-drive record; handed back to the agent's per-drive slots.
  virtual int registerDriveData(void* record);
  void* driveData() const { return driveData_; }
  void clearDriveData() { driveData_ = nullptr; }

  // Number of agents and steps of the flow that map the variable with mode 2 or 3.
  virtual uint32_t countVarWriters(const char* name) const;

  void logEvent(int level, const char* text) { log_.log(level, text); }

  // --- host side
  // Names the agent or step whose map calls follow, so writers can be counted per mapper.
  void setMapper(const std::string& mapper) { mapper_ = mapper; }
  // Records that a mapper writes a variable without mapping it (a step that fills it directly).
  void declareWriter(const std::string& name, const std::string& mapper);
  // Looks up a variable without mapping it; null when it does not exist or has another type.
  uint64_t* findU64(const std::string& name) const;
  uint32_t* findU32(const std::string& name) const;
  bool* findBool(const std::string& name) const;
  Buffer* findBuffer(const std::string& name) const;
  TaggedBuffer* findTaggedBuffer(const std::string& name) const;
  LBARangeQueue* findLBARangeQueue(const std::string& name) const;
  std::vector<std::string> variableNames() const;

 private:
  struct Variable;
  Variable* mapVariable(const char* name, int type, int mode, int* err);
  Variable* findVariable(const std::string& name, int type) const;

  DriveProperties properties_;
  EventLog log_;
  Tavik* tavik_;
  uint64_t testStartCounter_ = 0;
  uint64_t conditionMask_ = 0;
  FreeTagQueue tags_;
  void* driveData_ = nullptr;
  std::string mapper_;
  std::map<std::string, std::unique_ptr<Variable>> variables_;
};

}  // namespace varnox
