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
// The header is one page, so a block of up to a page lies in one page of the file and a process
// killed while writing leaves it whole (the kernel copies a write into the page cache page by
// page).
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
      if (ranges_.size() >= compactAt_) compact();
    }
  }
  bool blocksChanged() const { return !ranges_.empty(); }
  void forgetBlocks() { ranges_.clear(); }
  // Writes every block noted since the last write or forget as `store` holds it now.
  bool writeBlocks(const BlockStore& store);

  void pointersChanged(uint64_t firstZone, uint64_t lastZone);
  bool writePointers(const std::vector<uint64_t>& pointers);

  const std::string& path() const { return path_; }
  // Why the last write failed.
  const std::string& error() const { return error_; }

 private:
  struct Range {
    uint64_t begin, end;
  };
  PersistentMedium(int fd, std::string path, const MediumShape& shape);
  bool writeAll(const uint8_t* data, uint64_t bytes, uint64_t offset);
  // Sorts the noted ranges and merges those that overlap or touch.
  void compact();
  uint64_t pointersOffset() const { return kMediumHeaderBytes + shape_.capacityBlocks * storedBytes_; }

  int fd_;
  std::string path_;
  MediumShape shape_;
  uint64_t storedBytes_;
  std::vector<Range> ranges_;
  size_t compactAt_ = 4096;
  uint64_t firstZone_ = UINT64_MAX, lastZone_ = 0;
  std::string error_;
};

}  // namespace varnox::sim
