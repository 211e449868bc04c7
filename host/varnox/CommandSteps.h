#pragma once
// The command steps of a flow on one drive: each builds its CDB into "CDB[TagID]" from the drive
// variables and submits it to the device on the tag FreeTagQueue::peekNextFreeTag reported;
// GetStatus hands one completion back to the agents through the status variables.
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "DeviceErrors.h"
#include "tavik/Cdb.h"
#include "tavik/Device.h"
#include "varnox/CommandJournal.h"
#include "varnox/Condition.h"
#include "varnox/DriveThread.h"
#include "varnox/LatencyHistogram.h"
#include "varnox/TestRun.h"
#include "varnox/TestPlan.h"

namespace varnox {

using StepKind = StepSpec::Kind;

// Write, WriteSame and WriteAtomic: the steps that store data.
bool isWrite(StepKind kind);

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
  // Reads that delivered data and verifies the drive compared (GOOD, RECOVERED ERROR or
  // MISCOMPARE): a drive without any checked no data.
  uint64_t dataChecks = 0;
  uint64_t heldCommands = 0;   // held back behind a SYNCHRONIZE CACHE
  uint64_t lostCommands = 0;   // dropped by a power toggle or a device reset
  uint64_t errorCompletions = 0;  // completions with any status but GOOD

  // Adds another drive thread's counts (the slices of one drive).
  void add(const CommandCounters& other);

  // The counts by name ("Write", "GOOD", ...), leaving out what never happened.
  std::map<std::string, uint64_t> commandsByKind() const;
  std::map<std::string, uint64_t> completionsByStatus() const;
};

// Latencies by StepKind, from submission to the completion GetStatus sees (a power toggle: the
// toggle itself).
struct CommandLatency {
  KindLatencies byKind;
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
  // "LastStatusByte" becomes 0xFFFFFFFF. A completion that is the device's own error beyond
  // what the test tolerates ends the drive with VARNOX_ERR_DEVICE (see DeviceErrors.h).
  int getStatus();
  void setToleratedDeviceErrors(uint64_t tolerated) { deviceErrors_.setTolerated(tolerated); }
  // A drive whose write cache loses unsynchronized writes at a power loss holds every command
  // sent while a SYNCHRONIZE CACHE is in flight (see held_).
  void setHoldBehindSyncCache(bool hold) { holdBehindSync_ = hold; }
  // With a journal every command that changes the drive's blocks is recorded before it is sent,
  // and held back (with every command after it) until its record is durable; how it ended is
  // recorded too. Null for none. Call before the first pass.
  void setJournal(CommandJournal* journal) { journal_ = journal; }
  // The drive lost power on its own (a fault): the journal hears of it as of a toggle.
  void powerLost() {
    if (journal_ != nullptr) journal_->recordPowerLoss();
  }
  const DeviceErrors& deviceErrors() const { return deviceErrors_; }
  // The device lost every command in flight (reset or power loss): their buffers are released.
  void forgetInFlight();
  // A command outstanding longer than `timeoutSeconds` (0: never) ends the drive: GetStatus
  // logs it and returns VARNOX_ERR_DEVICE. Without `recordLatency` (benchmarks, to measure
  // what recording costs) and without a timeout the steps read no clock at all.
  void setTiming(double timeoutSeconds, bool recordLatency);
  // Waits for the commands still outstanding at the end of the test and lets them go without
  // reporting them; gives up with VARNOX_ERR_DEVICE when one outlives the timeout, and, without
  // a timeout, when the device hands back nothing.
  int drain();
  bool timedOut() const { return timedOut_; }
  const CommandLatency& latency() const { return *latency_; }
  // Skip commands: reads, writes, atomic writes, write sames and trims of n blocks cover every
  // other LBA from "LBA" (the agents' "Use Skip Commands"); verifies stay contiguous.
  void setSkipCommands(bool on) { lbaStride_ = on ? 2 : 1; }
  // Protection information on a drive that has it. Without `endToEnd` set every transfer
  // carries the protection bytes as part of the agents' blocks and the drive checks none
  // (protect 3). With it the host owns them: on passes where the mask holds `endToEnd`, writes,
  // atomic writes, verifies and reads send protect 1, each block followed by 8 bytes the agents
  // leave free, which the host fills for writes and verifies (ProtectionInfo.h); other commands
  // send data only and the drive makes its own.
  void setEndToEnd(const Condition& endToEnd) { endToEnd_ = endToEnd; }

  // A slice of a drive: GetStatus numbers its completions ("CompletionNumber") and each pass
  // tells the agents what the other slices' syncs covered of them ("SyncedCompletions",
  // "SyncedCompletionsBeforePowerOn"; see SliceSyncCover). Call before mapVariables.
  void setSliced(bool sliced) { sliced_ = sliced; }
  // At a pass's start, after "EPO" is set: the other slices' syncs the agents have not heard of.
  void takeSliceSyncCover() {
    if (syncedCompletions_ == nullptr) return;
    const SliceSyncCover cover = device_.takeSliceSyncCover(*epo_ != 0);
    *syncedCompletions_ = cover.after;
    *syncedCompletionsBeforePowerOn_ = cover.beforePowerOn;
  }
  uint32_t* epo() const { return epo_; }
  bool* deviceReset() const { return deviceReset_; }
  // Hands no completion to the agents on the next pass (the status variables say none).
  void clearStatus() {
    if (lastStatusByte_ != nullptr) *lastStatusByte_ = 0xFFFFFFFF;
  }
  const CommandCounters& counters() const { return counters_; }
  uint32_t inFlight() const { return inFlightCount_; }

 private:
  struct InFlight {
    bool active = false;
    StepKind kind = StepKind::Write;
    uint8_t opcode = 0;
    uint32_t blocks = 0;
    uint64_t lba = 0;
    uint64_t bytes = 0;
    uint64_t submitted = 0;  // LatencyClock ticks
    uint64_t journalId = 0;  // the command's identity in the journal; 0 when not journaled
  };

  // A command waiting for its journal record (or one before it) to be durable.
  struct Awaiting {
    DeviceCommand command;
    const std::string* stepName;
    uint64_t journalId;
    bool hold;  // sent while a SYNCHRONIZE CACHE was in flight
  };

  static constexpr uint32_t kNoStatus = 0xFFFFFFFF;  // "LastStatusByte" with nothing complete

  int fail(const std::string& stepName, int status, const char* format, ...) __attribute__((format(printf, 4, 5)));
  // `outcome` goes to the journal: how the command ended, or Lost when it never will.
  void finishTag(uint32_t tag, JournalOutcome outcome = JournalOutcome::Lost);
  // Records a command's intent in the journal; 0 when it takes none, ~0 when the journal failed.
  uint64_t journalIntent(StepKind kind, const DeviceCommand& command, uint64_t lba, uint32_t blocks, uint64_t stride);
  // Sends the waiting commands whose records are durable, in order.
  int sendJournaled();
  std::string journalError() const;
  void freeLostTags();
  int submit(const DeviceCommand& command, const std::string& stepName);
  void releaseHeld();
  void recordLatency(const InFlight& done, uint64_t now);
  // Every so often: VARNOX_ERR_DEVICE, logged, when a command has been outstanding too long.
  int checkTimeouts(uint64_t now);
  // At the end of a run without a timeout, when only commands the device will never complete are
  // left: VARNOX_ERR_DEVICE, logged with the oldest one's tag, LBA and time outstanding.
  int reportNeverCompleted(uint64_t now);

  DriveThread& thread_;
  Device& device_;
  uint32_t blockBytes_;
  bool protectionInfo_;  // the drive has protection information
  Condition endToEnd_;
  uint32_t lbaStride_ = 1;
  std::vector<UnmapRange> unmapRanges_;  // a skip trim's one-block ranges, reused

  // Variables
  uint64_t* lba_ = nullptr;
  uint32_t* xferLength_ = nullptr;
  uint32_t* atomicBound_ = nullptr;
  uint64_t* zoneResetLba_ = nullptr;
  uint64_t* invalidateLba_ = nullptr;
  uint32_t* invalidateXfer_ = nullptr;
  Buffer* invalidateData_ = nullptr;
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
  bool sliced_ = false;
  uint64_t* completionNumber_ = nullptr;
  uint64_t* syncedCompletions_ = nullptr;
  uint64_t* syncedCompletionsBeforePowerOn_ = nullptr;
  uint32_t* deviceInterface_ = nullptr;

  std::vector<InFlight> inFlight_;
  uint32_t inFlightCount_ = 0;
  CommandCounters counters_;
  DeviceErrors deviceErrors_;

  // Commands sent while a SYNCHRONIZE CACHE is in flight are held back, in order, so that none
  // of them can complete (and then be lost from a volatile cache) before the power toggle the
  // sync cache is for; they go to the device at the first GetStatus after the sync cache's
  // completion was handed to the agents, unless a power toggle dropped them first.
  bool holdBehindSync_ = false;
  uint32_t syncInFlight_ = 0;
  bool releaseOnNextStatus_ = false;
  std::vector<std::pair<DeviceCommand, std::string>> held_;

  CommandJournal* journal_ = nullptr;
  std::vector<Awaiting> awaiting_;
  size_t awaitingHead_ = 0;

  LatencyClock clock_;
  std::unique_ptr<CommandLatency> latency_;
  bool timed_ = true;           // read the clock at all
  bool recordLatency_ = true;
  double timeoutSeconds_ = 0;
  uint64_t timeoutTicks_ = 0;   // 0: no timeout
  uint64_t scanPeriodTicks_ = 0;
  uint64_t nextScan_ = 0;
  bool timedOut_ = false;
};

}  // namespace varnox
