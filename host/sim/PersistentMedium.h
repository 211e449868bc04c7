#pragma once
// A simulated drive's medium kept in a file, so that it outlives the process: a drive opened later
// on the same file finds exactly what the last one left there, and killing the process is a power
// cut of the drive (what reached the file stays, what had not is lost).
//
// File layout (little-endian):
//   0     the header, kMediumHeaderBytes long: the magic "VARNOX-MEDIUM-1\n", then the logical
//         block size (u32), protection bytes per block (u32), capacity in blocks (u64), zone size
//         in blocks (u64, 0 when not zoned) and the zone model (u32: 0 none, 1 host-managed,
//         2 host-aware); zeros to its end
//   4096  every block as stored (data, then its protection bytes when the drive has them) from
//         LBA 0; never-written blocks are holes and read as zeros
//   then  on a zoned drive, each zone's write pointer (u64 blocks from the zone's start)
//   then  from the next page boundary, only while a flush is under way: a staged flush (below)
// The header is one page, so a block of up to a page lies in one page of the file and a process
// killed while writing leaves it whole (the kernel copies a write into the page cache page by
// page, and a kill stops it between two pages).
//
// What must reach the file all or none, but lies on more than one page (an atomic write's units,
// or any block when blocks straddle pages, as blocks with protection bytes do), is staged first:
// a copy of those blocks past the medium's end, committed by one 8-byte word, then the blocks in
// place, then the copy cut off again. A drive that opens the file while a copy is committed (the
// process was killed in between) finishes the flush from it; a copy never committed is dropped.
// Killing the process in the page cache cannot reorder these steps.
//
// The drive decides what reaches the file when: it notes changed ranges (changed(),
// pointersChanged()) and writes them as its store holds them then (writeBlocks(),
// writePointers()), or forgets them (forgetBlocks()) when a power cut loses them.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/BlockStore.h"

namespace varnox::sim {

inline constexpr uint64_t kMediumHeaderBytes = 4096;
inline constexpr char kMediumMagic[] = "VARNOX-MEDIUM-1\n";

// What a medium file must fit.
struct MediumShape {
  uint64_t capacityBlocks = 0;
  uint32_t logicalBlockSize = 512;
  uint32_t protectionBytes = 0;  // per block, stored behind its data
  uint64_t zoneBlocks = 0;       // 0: not zoned
  uint32_t zoneModel = 0;        // 0 none, 1 host-managed, 2 host-aware
};

class PersistentMedium {
 public:
  enum class Problem {
    None,
    Refused,   // the file holds something else, or another medium: the test's setup is wrong
    Unusable,  // the file cannot be opened, created, locked or read
  };

  // Opens `path`, or creates it as a blank medium when it is missing or empty (an empty file is
  // what mktemp leaves). A file that is not a medium, or one of another shape, is refused and left
  // untouched. The file is locked while open, so two drives never share it. With `readOnly`
  // (varnox check, varnox verify) nothing is created or written, and a missing file gives null
  // and no problem.
  // Null with `problem` and a message naming the file otherwise.
  static std::unique_ptr<PersistentMedium> open(const std::string& path, const MediumShape& shape,
                                                bool readOnly, Problem& problem, std::string& error);
  ~PersistentMedium();
  PersistentMedium(const PersistentMedium&) = delete;
  PersistentMedium& operator=(const PersistentMedium&) = delete;

  // Copies every block the file holds into `store` (holes stay zeros), and on a zoned medium the
  // write pointers into `pointers` (one per zone). False with a message naming the file.
  bool load(BlockStore& store, std::vector<uint64_t>* pointers, std::string& error);

  void changed(uint64_t lba, uint64_t blocks) {
    if (!ranges_.empty() && ranges_.back().end == lba) {
      ranges_.back().end += blocks;
    } else {
      ranges_.push_back({lba, lba + blocks});
      // A volatile cache notes ranges until the next sync, which may be long in coming.
      if (ranges_.size() >= compactAt_) compactAt_ = compact(ranges_);
    }
  }
  // Among the changed blocks, `blocks` from `lba` that must reach the file all or none.
  void keepWhole(uint64_t lba, uint64_t blocks) {
    whole_.push_back({lba, lba + blocks});
    if (whole_.size() >= wholeCompactAt_) wholeCompactAt_ = compact(whole_);
  }
  bool blocksChanged() const { return !ranges_.empty(); }
  void forgetBlocks() {
    ranges_.clear();
    whole_.clear();
  }
  // Writes every block noted since the last write or forget as `store` holds it now.
  bool writeBlocks(const BlockStore& store);

  void pointersChanged(uint64_t firstZone, uint64_t lastZone);
  bool writePointers(const std::vector<uint64_t>& pointers);

  const std::string& path() const { return path_; }
  // Why the last write failed.
  const std::string& error() const { return error_; }

  // Finishes, in the file at `path`, a flush that a killed drive left staged, as the next drive
  // to open it would: for tools that change a medium file behind the drive's back. True when
  // there was nothing to finish; false with a message naming the file.
  static bool finishStagedFlush(const std::string& path, std::string& error);
  // For tests of a kill in the middle of a flush: once `bytes` more bytes have gone to medium
  // files, the process kills itself with SIGKILL (what comes before the last page boundary
  // before that point is written), or at the next cut of a staged copy when none are left.
  // Negative, the default: never. Gives what was left of the plan before.
  static int64_t killAfterBytes(int64_t bytes);

 private:
  struct Range {
    uint64_t begin, end;
  };
  PersistentMedium(int fd, std::string path, const MediumShape& shape, bool readOnly);
  static std::string named(const std::string& path);
  // How much of `bytes` at `offset` may be written before a test's planned kill; kills when
  // nothing may.
  static uint64_t allowedBeforeKill(uint64_t bytes, uint64_t offset);
  // False with errno set when `bytes` cannot all be read from `offset` of `fd`.
  static bool readAll(int fd, uint8_t* into, uint64_t bytes, uint64_t offset);
  bool writeAll(const uint8_t* data, uint64_t bytes, uint64_t offset);
  // Sorts `ranges` and merges those that overlap or touch; gives the size to compact them at next.
  static size_t compact(std::vector<Range>& ranges);
  uint64_t pointersOffset() const { return kMediumHeaderBytes + shape_.capacityBlocks * storedBytes_; }
  uint64_t fileEnd() const;
  // Where a staged copy begins: the first page boundary at or past the medium's end.
  uint64_t stagedOffset() const {
    return (fileEnd() + kMediumHeaderBytes - 1) / kMediumHeaderBytes * kMediumHeaderBytes;
  }
  // The ranges this flush must stage (empty: none), from the noted ranges in order.
  std::vector<Range> toStage();
  // Writes the blocks of `staged` as `store` holds them past the medium's end and commits them.
  bool stage(const std::vector<Range>& staged, const BlockStore& store);
  // Cuts the file back to the medium's end, dropping a staged copy.
  bool dropStaged();
  // Reads a committed staged copy into `ranges` and `data` (none: both empty). False, with a
  // message, when the file cannot be read or the copy names blocks the medium has not.
  bool readStaged(std::vector<Range>& ranges, std::vector<uint8_t>& data, std::string& error);
  // Puts a staged copy's blocks in place in the file, then drops the copy.
  bool finishStaged(const std::vector<Range>& ranges, const std::vector<uint8_t>& data);
  // Whether what follows the medium's end can be a staged copy (its commit word is ours or none).
  bool tailIsStaged();
  // False, with a message naming the file, when a committed staged copy cannot be read whole.
  bool stagedIsWhole(std::string& error) {
    std::vector<Range> ranges;
    std::vector<uint8_t> data;
    return readStaged(ranges, data, error);
  }
  // Takes what a killed flush left past the medium's end: a committed copy's blocks go into
  // `store` (when given) and, unless read-only, into place; then the tail is cut off.
  bool settleTail(BlockStore* store, std::string& error);

  int fd_;
  std::string path_;
  MediumShape shape_;
  uint64_t storedBytes_;
  bool readOnly_;
  std::vector<Range> ranges_;
  size_t compactAt_ = 4096;
  std::vector<Range> whole_;
  size_t wholeCompactAt_ = 4096;
  bool staged_ = false;  // the file may hold a committed staged copy
  std::vector<uint8_t> stagedBytes_;
  uint64_t firstZone_ = UINT64_MAX, lastZone_ = 0;
  std::string error_;
};

}  // namespace varnox::sim
