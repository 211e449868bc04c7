#pragma once
// A SCSI block target in memory.
//
// Usage:
//   std::string error;
//   std::unique_ptr<SimulatedDrive> drive = SimulatedDrive::create(config, error);
//   if (!drive) -> refuse the test with `error` (it names the bad setting, or the failed mapping)
//   drive->submit(command)       // DeviceCommand with a CDB from tavik/Cdb.h
//   drive->poll(completion, wait)
//
// Commands: READ(16), WRITE(16), VERIFY(16) (BYTCHK 0, 1 or 3), WRITE SAME(16) (UNMAP bit
// deallocates), UNMAP(10) with its parameter list in dataOut, WRITE ATOMIC(16), SYNCHRONIZE
// CACHE(16), and on zoned drives RESET WRITE POINTER (ZBC OUT). READ, WRITE, WRITE ATOMIC and WRITE SAME
// honour DeviceCommand::lbaStride (skip commands: every stride-th block from the LBA, atomic units counted in
// the command's blocks). Errors complete with CHECK CONDITION and fixed-format sense: LBA out of range
// 05/21/00, unknown opcode 05/20/00, invalid CDB field (protect bits without protection
// information, atomic unit too large) 05/24/00, data buffer too short 05/1A/00, verify mismatch
// 0E/1D/00 with the byte offset of the first difference as information.
//
// Data: a block is logicalBlockSize bytes, or logicalBlockSize + 8 when protection information
// is on and the command's protect field is non-zero. Never-written and unmapped blocks read as
// zeros, protection bytes included.
//
// Protection information (tavik/ProtectionInfo.h): a write without a protect field stores
// protection bytes the drive generates for the block's own LBA; protect 3 stores the bytes sent
// and the drive checks nothing (the host owns them); any other non-zero value makes the drive
// check the guard and reference tag of every block sent before storing any. Reads and verifies
// check the stored bytes of every block unless protect is 3 (blocks that never held protection
// bytes excepted), and a verify with protect 1, 2, 4 or 5 checks the bytes sent too and compares
// only the data. A failed check completes with ABORTED COMMAND 10/01 (guard) or 10/03
// (reference tag), the block's LBA as information.
//
// Zones (SimConfig::zones, see ZoneModel.h): writes are refused or move the write pointer as
// the zone model says; RESET WRITE POINTER (ZBC OUT) of a zone's first LBA zeroes the zone and
// rewinds its pointer (05/24/00 for any other LBA, 05/20/00 on a drive without zones); a reset
// that executed stays done when the command is later lost.
//
// Execution: a command executes inside submit(), so data lands in submission order; poll() hands
// back completions in submission order, or, when shuffled, a seeded random one of those that are
// ready (each is held back for a random number of polls, at most queueDepth/2, so that the queue
// fills; a waiting poll takes one at once). Tags are below 1024 and unique among outstanding
// commands. A slow command (fault "slow") is handed back no earlier than its delay after submit,
// a hung one ("hang") never; the others pass it. With only those outstanding a waiting poll
// returns false after at most 10 ms, so the caller can give up on them.
//
// Kept medium (SimConfig::medium, see PersistentMedium.h): the drive starts with what the file
// holds. Every change to a block (writes, WRITE SAME, UNMAP, atomic writes, zone resets, the
// undo of a dropped write, a fault's damage) reaches the file when the command has executed on a
// write-through or protected cache, and at SYNCHRONIZE CACHE on a volatile one, whose unsynced
// blocks a power cut loses before they ever reach it; write pointers reach it with every command.
// So a process killed at any moment leaves the file as a power cut at that moment leaves the
// drive. A file that cannot be written fails the command with MEDIUM ERROR 03/0C/00.
//
// Power loss and reset: powerToggle() and reset() drop every outstanding command without a
// completion. Each dropped write's data is, by a seeded draw, kept, lost, or kept for a leading
// part only (cut between blocks, or between atomic units for WRITE ATOMIC), as after an
// interrupted transfer; except the blocks (whole atomic units) that a completed read or verify
// returned meanwhile, which stay. powerToggle() with a volatile cache also loses every block written since
// the last SYNCHRONIZE CACHE (which flushes the whole cache whatever range it names).
//
// Faults: the configuration's fault rules (see RuleFaults.h) act through the FaultHook seam.
//
// Device requests: ioctl 4241 (uint32_t*) writes the configured device property; 179 (uint32_t*)
// reads and 178 (uint32_t*) sets a 32-bit setting; 218 (uint32_t*, uint64_t*) logs the
// miscompare in the drive's own record (miscompareLog()) and hands back in the LBA argument the
// first LBA of the physical block that holds it. send() with a ShowstopRequest stops the drive:
// later submits are refused with VARNOX_ERR_DEVICE and stopped() is true until the drive is rebuilt.
//
// Threads: submit, poll, powerToggle, reset, ioctl and send come from one thread at a time (the
// drive thread); stats(), stopped(), geometry() and describe() may be called from any thread.
// A drive without fault rules, kept medium or zones splits its queue among the slices of a drive
// (splitQueues()): each group of tags then has a queue, completion order and counters of its own,
// and its thread submits and polls beside the others' without a lock (their blocks are disjoint;
// only a volatile cache's journal is shared, under a lock of its own), while power toggle and
// reset still come alone and reach every group. A split drive hands out a group's completions in
// its own seeded order, and a completed read keeps only its own group's outstanding writes.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/FaultHook.h"
#include "sim/SimConfig.h"
#include "tavik/Device.h"

namespace varnox::sim {

class BlockStore;
class PersistentMedium;
class WriteCache;
class RuleFaults;
class ZoneModel;

// A miscompare the host reported through device request 218.
struct LoggedMiscompare {
  uint64_t lba = 0;            // as the host named it
  uint64_t physicalBlock = 0;  // the first LBA of the physical block holding it, handed back
};

class SimulatedDrive : public Device {
 public:
  // Null with a message in `error` when the configuration is refused, memory cannot be mapped or
  // the medium file cannot be used; `refused` (when given) then says whether the test's setup is
  // at fault (a bad setting, a medium file that holds something else) rather than the machine.
  static std::unique_ptr<SimulatedDrive> create(const SimConfig& config, std::string& error,
                                                bool* refused = nullptr);
  ~SimulatedDrive() override;

  const DeviceGeometry& geometry() const override { return geometry_; }
  // 0; VARNOX_ERR_DEVICE when stopped; VARNOX_ERR_BAD_VALUE for a tag of 1024 or more, a tag
  // already outstanding, an empty CDB or a zero lbaStride; VARNOX_ERR_GENERIC when queueDepth commands are
  // outstanding.
  int submit(const DeviceCommand& command) override;
  bool poll(DeviceCompletion& completion, bool wait) override;
  // Shuffled, in order, slow or hung alike among the commands of the tag range only.
  bool pollTags(DeviceCompletion& completion, bool wait, uint32_t firstTag, uint32_t endTag) override;
  uint32_t outstanding() const override;
  // True when the drive has no fault rules or hook, kept medium or zones (see Threads above).
  bool splitQueues(uint32_t groups, uint32_t tagsPerGroup) override;
  uint32_t neverCompleting() const override;
  int powerToggle() override;
  int reset() override;
  bool takeResetEvent() override;
  bool takePowerLossEvent() override;
  int ioctl(uint32_t request, uint32_t count, void** args) override;
  int send(const void* request, size_t size) override;
  bool stopped() const override { return stopped_.load(std::memory_order_relaxed); }
  DeviceStats stats() const override;
  std::vector<InjectedFault> injectedFaults() const override;
  std::vector<uint64_t> faultRuleCounts() const override;
  std::vector<FaultTally> faultTallies() const override;
  std::string describe() const override;

  // The fault seam: `hook` (not owned, may be null for none) is consulted from the next command on,
  // in place of the configuration's fault rules.
  void setFaultHook(FaultHook* hook) { hook_ = hook; }
  const SimConfig& config() const { return config_; }
  uint64_t lastMiscompareLba() const { return lastMiscompareLba_; }
  // Read once the drive thread has stopped.
  const std::vector<LoggedMiscompare>& miscompareLog() const { return miscompareLog_; }
  uint32_t setting() const { return setting_; }
  // Bytes per stored block (data plus protection information when on).
  uint32_t storedBlockBytes() const { return storedBlockBytes_; }
  // A stored block as the medium holds it now (for tests and diagnostics); null beyond capacity.
  const uint8_t* peekBlock(uint64_t lba) const;

 private:
  struct Slot;
  // The outstanding commands of the drive, or of one group of tags when the queue is split; each
  // on cache lines of its own, as only its group's thread touches it.
  struct alignas(64) Queue {
    std::vector<uint32_t> tags;        // outstanding tags in submission order
    std::vector<uint32_t> candidates;  // poll's scratch list of ready tags
    uint64_t pollCount = 0;
    uint64_t orderRandom = 0;
    uint32_t depth = 0;             // the most commands it holds
    std::atomic<uint32_t> size{0};  // tags.size(), for outstanding() from any thread
    std::atomic<uint64_t> commands{0}, blocksWritten{0}, blocksRead{0};
  };
  Queue& queueOf(uint32_t tag) { return *queues_[tag / groupTags_]; }
  Queue& queueOf(const Slot& slot);
  // pollTags for the tags of one queue.
  bool pollQueue(uint32_t group, DeviceCompletion& completion, bool wait, uint32_t firstTag, uint32_t endTag);

  explicit SimulatedDrive(const SimConfig& config);

  void execute(Slot& slot, const DeviceCommand& command, const ParsedCdb& cdb);
  void executeRead(Slot& slot, const DeviceCommand& command, const ParsedCdb& cdb);
  void executeWrite(Slot& slot, const DeviceCommand& command, const ParsedCdb& cdb, uint32_t unitBlocks,
                    uint64_t landBlocks);
  void executeVerify(Slot& slot, const DeviceCommand& command, const ParsedCdb& cdb);
  void executeWriteSame(Slot& slot, const DeviceCommand& command, const ParsedCdb& cdb);
  void executeUnmap(Slot& slot, const DeviceCommand& command, const ParsedCdb& cdb);
  void executeResetWritePointer(Slot& slot, const ParsedCdb& cdb);
  int submitCommand(const DeviceCommand& command);
  // Moves the write pointers after a write, noting the zones for the kept medium.
  void zonesWrote(uint64_t lba, uint64_t blocks, uint32_t stride);
  // Writes what the kept medium must hold after a command (`slot`, null after a reset or power
  // cut): changed blocks unless the cache is volatile, and moved write pointers.
  void persist(Slot* slot);
  // Fails `slot` (when given) with MEDIUM ERROR, WRITE ERROR, after the medium file could not be written.
  void mediumWriteFailed(Slot* slot);
  // False after failing the command when the zone model refuses its write.
  bool admitWrite(Slot& slot, const ParsedCdb& cdb, uint32_t stride);
  // Whether the drive checks protection bytes for this command (see the header comment).
  bool checksProtection(const ParsedCdb& cdb) const;
  // False after failing the command with the sense of the first block whose protection bytes
  // (behind `data`'s logical block) do not fit it at `lba`.
  bool protectionFits(Slot& slot, const uint8_t* block, uint64_t lba);
  void unmapRange(Slot& slot, uint64_t lba, uint64_t blocks, uint64_t& unit);
  // Saves what a block held so that a dropped command can be undone.
  void rememberBlock(Slot& slot, uint64_t lba, uint64_t unit);
  void storeBlock(Slot& slot, uint64_t lba, const uint8_t* data, bool withProtection, uint64_t unit);
  void fail(Slot& slot, uint8_t key, uint8_t asc, uint8_t ascq);
  void fail(Slot& slot, const SenseFields& sense);
  // False after failing the command when its protect field, range or data buffer is unusable.
  bool checkTransfer(Slot& slot, const DeviceCommand& command, const ParsedCdb& cdb, uint64_t dataBlocks);
  bool rangeValid(uint64_t lba, uint64_t blocks) const;
  uint32_t transferBlockBytes(const ParsedCdb& cdb) const;
  // Drops every outstanding command; with `powerLost` a volatile cache is lost too.
  void dropOutstanding(bool powerLost);
  // Drops one queue's commands: each dropped write's blocks kept, lost or cut by a seeded draw
  // (all kept when `cacheLost`: the cache's loss then sets the blocks back).
  void dropQueue(Queue& queue, bool cacheLost);
  void undoSlot(Slot& slot, uint64_t keepUnits);
  static bool deliveredData(const DeviceCompletion& completion);  // GOOD or RECOVERED ERROR
  void commitRead(const Slot& read);
  bool overlapsOutstandingWrite(uint64_t lba, uint64_t blocks) const;
  // With slow or hung commands outstanding: fills the queue's candidates with the tags poll may hand back.
  // A waiting poll with none due sleeps until the first is due, but 10 ms at most.
  bool collectDue(Queue& queue, bool wait, uint32_t firstTag, uint32_t endTag);

  SimConfig config_;
  DeviceGeometry geometry_;
  uint32_t storedBlockBytes_ = 0;
  std::unique_ptr<BlockStore> store_;
  std::unique_ptr<WriteCache> cache_;
  std::unique_ptr<RuleFaults> ruleFaults_;    // the configuration's fault rules, when it has any
  std::unique_ptr<ZoneModel> zones_;          // a zoned drive's write pointers
  std::unique_ptr<PersistentMedium> medium_;  // the file keeping the medium, when the test gives one
  std::vector<LoggedMiscompare> miscompareLog_;
  std::vector<Slot> slots_;
  std::vector<std::unique_ptr<Queue>> queues_;  // one, or one per group of tags
  uint32_t groupTags_ = 1024;                   // tags per queue
  CommandContext context_;                      // the command being executed, for the fault hook
  uint32_t delayed_ = 0;  // outstanding slow or hung commands (hooks only: the queue is then whole)
  std::atomic<uint64_t> writeSequence_{0};
  uint64_t fateRandom_ = 0;
  std::mutex cacheMutex_;  // the volatile cache's journal, which every group's writes add to
  FaultHook* hook_ = nullptr;
  bool resetEvent_ = false;
  bool powerLossEvent_ = false;
  uint32_t firstCompletion_ = UINT32_MAX;  // a reordered read, handed back before everything else
  std::atomic<bool> stopped_{false};
  uint64_t lastMiscompareLba_ = 0;
  uint32_t setting_ = 0;
  std::vector<uint8_t> scratch_;  // one block for BYTCHK 3 past a write pointer or through a hook
  std::atomic<uint64_t> powerCycles_{0}, resets_{0}, faults_{0};
  uint64_t commandIndex_ = 0;
};

}  // namespace varnox::sim
