#pragma once
// The command steps of a flow on one drive: each builds its CDB into "CDB[TagID]" from the drive
// variables and submits it to the device on the tag FreeTagQueue::peekNextFreeTag reported;
// GetStatus hands one completion back to the agents through the status variables.
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tavik/Cdb.h"
#include "tavik/Device.h"
#include "varnox/DriveThread.h"
#include "varnox/TestPlan.h"

namespace varnox {

using StepKind = StepSpec::Kind;

const char* stepKindName(StepKind kind);

// What the steps counted, for the drive's report. Counted by kind and status code, which is a
// few instructions per command; the names are looked up only for the report.
struct CommandCounters {
  static constexpr size_t kKinds = static_cast<size_t>(StepKind::GetStatus) + 1;
  std::array<uint64_t, kKinds> commandsOfKind{};     // by StepKind
  std::array<uint64_t, 256> completionsOfStatus{};   // by status byte
  uint64_t commands = 0;                             // all kinds
  uint64_t bytesWritten = 0;
  uint64_t bytesVerified = 0;
  uint64_t goodWrites = 0;     // writes of any kind completed with GOOD
  uint64_t goodReadBacks = 0;  // reads and verifies completed with GOOD
  uint64_t lostCommands = 0;   // dropped by a power toggle or a device reset

  // The counts by name ("Write", "GOOD", ...), leaving out what never happened.
  std::map<std::string, uint64_t> commandsByKind() const;
  std::map<std::string, uint64_t> completionsByStatus() const;
};

class CommandSteps {
 public:
  CommandSteps(DriveThread& thread, Device& device);

  // Maps the variables the steps of `kinds` use, each step under its own name so that the
  // agents' writer counts see them. Also maps the status variables GetStatus fills and "EPO",
  // "DeviceReset" and "DeviceInterface". Non-zero with `error` when a variable has another type.
  int mapVariables(const std::vector<std::pair<StepKind, std::string>>& steps, std::string& error);

  // Sends a command of `kind`. 0 when sent or when no tag is free (nothing is sent then); a
  // negative status with a logged error when the variables cannot make a command or the device
  // refuses it.
  int issue(StepKind kind, const std::string& stepName);
  // Cuts and restores the device's power; the commands in flight are lost (their tags stay in
  // use until an agent's reset recovery frees them).
  int powerToggle();
  // Hands back at most one completion; waits only when no tag is free. With nothing complete
  // "LastStatusByte" becomes 0xFFFFFFFF.
  int getStatus();
  // The device lost every command in flight (reset or power loss): their buffers are released.
  void forgetInFlight();
  // Skip commands: reads, writes, atomic writes, write sames and trims of n blocks cover every
  // other LBA from "LBA" (the agents' "Use Skip Commands"); verifies stay contiguous.
  void setSkipCommands(bool on) { lbaStride_ = on ? 2 : 1; }

  uint32_t* epo() const { return epo_; }
  bool* deviceReset() const { return deviceReset_; }
  const CommandCounters& counters() const { return counters_; }
  uint32_t inFlight() const { return inFlightCount_; }

 private:
  struct InFlight {
    bool active = false;
    StepKind kind = StepKind::Write;
    uint64_t bytes = 0;
  };

  int fail(const std::string& stepName, int status, const char* format, ...) __attribute__((format(printf, 4, 5)));
  void finishTag(uint32_t tag);
  void freeLostTags();

  DriveThread& thread_;
  Device& device_;
  uint32_t blockBytes_;
  uint8_t protect_;  // the protect field: with protection information every transfer carries it
  uint32_t lbaStride_ = 1;
  std::vector<UnmapRange> unmapRanges_;  // a skip trim's one-block ranges, reused

  // Variables
  uint64_t* lba_ = nullptr;
  uint32_t* xferLength_ = nullptr;
  uint32_t* atomicBound_ = nullptr;
  Buffer* writeData_ = nullptr;
  TaggedBuffer* cdb_ = nullptr;
  TaggedBuffer* readData_ = nullptr;
  TaggedBuffer* parameterList_ = nullptr;
  TaggedBuffer* recvCdb_ = nullptr;
  uint32_t* lastTagId_ = nullptr;
  uint32_t* lastStatusByte_ = nullptr;
  Buffer* lastErrSense_ = nullptr;
  uint32_t* readDataIsValid_ = nullptr;
  uint32_t* epo_ = nullptr;
  bool* deviceReset_ = nullptr;
  uint32_t* deviceInterface_ = nullptr;

  std::vector<InFlight> inFlight_;
  uint32_t inFlightCount_ = 0;
  CommandCounters counters_;
};

}  // namespace varnox
