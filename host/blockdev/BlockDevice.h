#pragma once
// A regular file or a block device as a SCSI block target, through io_uring.
//
// Usage:
//   std::string error; int exitStatus; std::vector<std::string> warnings;
//   std::unique_ptr<BlockDevice> device = BlockDevice::open(deviceSpec, error, exitStatus, warnings);
//   if (!device) -> refuse the test with `error` (it names the path, and strerror where the
//   kernel refused) and `exitStatus` (kExitRefused or kExitDeviceFailure)
//
// Geometry: a block device reports its own block sizes and capacity (the test file's capacity,
// when smaller, limits the range used); a regular file takes the test file's block size and
// capacity and is created or extended to that size. Nothing outside the capacity is touched.
// With `checkOnly` (varnox check) the path is only inspected: opened read-only, never created,
// extended or preconditioned.
//
// Refused before anything is written (DeviceSafety.h): a block device the kernel uses, always;
// a device or an existing file carrying a signature blkid recognises, unless destroyData and
// force are both set.
//
// Commands, parsed from the CDB: READ(16) and WRITE(16) (FUA as RWF_DSYNC); these, WRITE SAME
// and WRITE ATOMIC follow DeviceCommand::lbaStride, one kernel request per run of adjacent blocks
// (an atomic unit of a skip command must then be one block); VERIFY(16), whose
// byte check the device does itself by reading and comparing, with MISCOMPARE 0E/1D/00 and the
// byte offset of the first difference as information; WRITE SAME(16) as writes of its one block
// (the UNMAP bit discards); UNMAP(10) as a discard that reads back as zeros (a hole punched in a
// file, a zeroing discard on a device); SYNCHRONIZE CACHE(16) as
// fdatasync; WRITE ATOMIC(16) through the kernel's atomic writes where the file system offers
// them (one RWF_ATOMIC write per atomic unit), else refused like any unsupported opcode.
// Protection information is never available. Errors complete with CHECK CONDITION and
// fixed-format sense: LBA out of range 05/21/00, unknown opcode 05/20/00, invalid field
// 05/24/00, buffer too short 05/1A/00, EIO 03/11/00 with the LBA of the failing transfer, any
// other kernel error 04/44/00.
//
// Commands that overlap one that writes or discards run one after the other in submission order,
// and every block is read or written whole; others run at once. A SYNCHRONIZE CACHE waits for the
// writes and discards sent before it, so that it flushes them (the kernel would start the
// fdatasync beside them); what is sent after it does not wait. Completions come back in the
// order the kernel finishes them.
//
// Power: with power_off and power_on in the settings (PowerControl.h) powerToggle() stops taking
// commands, cancels what the kernel holds where it can and waits for the rest, throwing every
// result away (the host reports those commands to the agents as aborted), closes the device,
// runs the commands, waits for the same device at the same path (DeviceIdentity.h) and reopens
// it. VARNOX_ERR_DEVICE when that fails, lastPowerToggle() saying why; the device then takes no
// more commands. Without power control, and for reset() always, VARNOX_ERR_NOT_SUPPORTED; the
// geometry says so up front.
//
// Threads: as for every Device, one thread at a time submits and polls. Split among the slices of
// a drive (splitQueues()), each group of tags gets a submission queue of its own: its own
// io_uring, completions and ordering of overlapping commands (a group's commands wait only for
// its own, a sync only for its own group's writes), so that the groups' threads submit and poll
// at once without a lock. A power toggle, which comes while no other call runs, lets go of every
// group's commands.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "blockdev/DeviceIdentity.h"
#include "blockdev/PowerControl.h"
#include "blockdev/UringQueue.h"
#include "tavik/Cdb.h"
#include "tavik/Device.h"
#include "tavik/DeviceSettings.h"
#include "tavik/SenseBuilder.h"

namespace varnox::blockdev {

class BlockDevice : public Device {
 public:
  // Null with `error` and `exitStatus` when the path cannot be used. `warnings` gets the
  // messages a user should see but that do not stop the test (direct I/O not available).
  static std::unique_ptr<BlockDevice> open(const DeviceSpec& deviceSpec, std::string& error, int& exitStatus,
                                           std::vector<std::string>& warnings);
  ~BlockDevice() override;

  const DeviceGeometry& geometry() const override { return geometry_; }
  // 0; VARNOX_ERR_DEVICE when stopped; VARNOX_ERR_BAD_VALUE for a tag of 1024 or more, a tag
  // already outstanding or an empty CDB; VARNOX_ERR_GENERIC when the queue is full.
  int submit(const DeviceCommand& command) override;
  bool poll(DeviceCompletion& completion, bool wait) override;
  bool pollTags(DeviceCompletion& completion, bool wait, uint32_t firstTag, uint32_t endTag) override;
  uint32_t outstanding() const override;
  bool splitQueues(uint32_t groups, uint32_t tagsPerGroup) override;
  int powerToggle() override;
  std::string lastPowerToggle() const override { return powerText_; }
  int reset() override;
  int ioctl(uint32_t request, uint32_t count, void** args) override;
  int send(const void* request, size_t size) override;
  bool stopped() const override { return stopped_.load(std::memory_order_relaxed); }
  DeviceStats stats() const override;
  std::string describe() const override;

  const std::string& path() const { return path_; }
  bool isBlockDevice() const { return blockDevice_; }
  bool directIo() const { return direct_; }
  // The open descriptor, for preconditioning before the test starts.
  int fd() const { return fd_; }
  uint64_t lastMiscompareLba() const { return lastMiscompareLba_; }

 private:
  struct Slot;
  // The commands of the device, or of one group of tags when split: each group's thread alone
  // touches its queue, so each sits on cache lines of its own.
  struct alignas(64) Queue {
    UringQueue ring;
    uint32_t depth = 32;
    std::deque<uint32_t> done;      // finished tags not yet polled
    std::vector<uint32_t> active;   // tags with a range in the kernel
    std::vector<uint32_t> waiting;  // tags held back behind an overlapping command, oldest first
    std::atomic<uint32_t> outstanding{0};
    uint64_t submitted = 0;  // commands accepted so far: the sequence of the last
    std::atomic<uint64_t> commands{0}, blocksWritten{0}, blocksRead{0};
  };
  Queue& queueOf(uint32_t tag) const {
    return *queues_[std::min<size_t>(tag / groupTags_, queues_.size() - 1)];
  }
  Queue& queueOf(const Slot& slot) const;
  uint32_t tagOf(const Slot& slot) const;  // BlockDeviceSlot.h
  // pollTags within one queue.
  bool pollQueue(Queue& queue, DeviceCompletion& completion, bool wait, uint32_t firstTag, uint32_t endTag);
  struct AlignedFree {
    void operator()(uint8_t* p) const;
  };
  using AlignedBytes = std::unique_ptr<uint8_t, AlignedFree>;

  BlockDevice() = default;

  void start(Slot& slot, const DeviceCommand& command, const ParsedCdb& cdb);
  bool startTransfer(Slot& slot, const DeviceCommand& command, const ParsedCdb& cdb);
  bool startVerify(Slot& slot, const DeviceCommand& command, const ParsedCdb& cdb);
  bool startWriteSame(Slot& slot, const DeviceCommand& command, const ParsedCdb& cdb);
  bool startUnmap(Slot& slot, const DeviceCommand& command, const ParsedCdb& cdb);
  // Deallocates the slot's ranges so that they read back as zeros, one after the other, in
  // order with the commands that overlap them; false when it finished at once.
  bool startDiscard(Slot& slot);
  // Hands the kernel the discard's next range; false after failing the slot.
  bool issueDiscard(Slot& slot);
  // Handles the kernel's result for the discard's range; true when the command is finished.
  bool advanceDiscard(Slot& slot, int result);
  // Issues the slot's first piece now, or queues it behind the overlapping commands before it;
  // the command touches blocks [firstLba, endLba).
  bool launch(Slot& slot, uint64_t firstLba, uint64_t endLba);
  // Whether `slot` must wait for `other`, an earlier command or one already in the kernel.
  static bool waitsFor(const Slot& slot, const Slot& other);
  // The slot left the kernel: starts the commands that waited only for it.
  void retire(uint32_t tag);
  // Issues the next piece of the slot's transfer; false after failing the slot.
  bool issue(Slot& slot);
  // Handles the kernel's result for the slot's piece; true when the command is finished.
  bool advance(Slot& slot, int result);
  bool compareVerified(Slot& slot, uint64_t bytes);
  // A skip command (lbaStride above 1) moves one block per run: the runs of its pattern.
  void setStride(Slot& slot, uint32_t stride) const;
  // Where the byte at `position` of the slot's data lies on the device.
  static uint64_t deviceOffset(const Slot& slot, uint64_t position);
  uint8_t* bounce(Slot& slot, uint64_t bytes);
  void finish(Slot& slot);
  void fail(Slot& slot, uint8_t key, uint8_t asc, uint8_t ascq);
  void fail(Slot& slot, const SenseFields& sense);
  void failErrno(Slot& slot, int error, uint64_t lba);
  bool rangeValid(uint64_t lba, uint64_t blocks) const;
  // false after failing the slot with INVALID FIELD IN CDB (fields not usable) or LBA OUT OF RANGE.
  bool acceptCdb(Slot& slot, bool fieldsUsable, uint64_t lba, uint64_t blocks);
  bool aligned(const void* p) const;
  // Power toggle: lets go of every command (false with `why` when the kernel keeps some past
  // `timeoutSeconds`), and opens the path again once the drive is back.
  bool dropOutstanding(double timeoutSeconds, std::string& why);
  std::string reopen(double timeoutSeconds);

  std::string path_;
  int fd_ = -1;
  int openFlags_ = 0;                    // how a power toggle opens the path again
  std::unique_ptr<PowerControl> power_;  // null: no power control
  DeviceIdentity identity_;              // what must come back after a power toggle
  std::string powerText_;
  bool blockDevice_ = false;
  bool direct_ = false;
  uint32_t memAlign_ = 4096;
  DeviceGeometry geometry_;
  std::vector<Slot> slots_;
  // One, or one per group of tags (the last group's also takes the tags past the groups').
  std::vector<std::unique_ptr<Queue>> queues_;
  uint32_t groupTags_ = 1024;  // tags per queue
  uint32_t setting_ = 0;
  uint64_t lastMiscompareLba_ = 0;
  std::atomic<bool> stopped_{false};
  std::atomic<uint64_t> powerCycles_{0};
};

}  // namespace varnox::blockdev
