// Staging a flush whose blocks must reach the medium file all or none (see PersistentMedium.h).
//
// The staged copy, from the first page boundary past the medium's end (little-endian):
//   0   the commit word "VXSTAGED", written last: without it the copy counts for nothing
//   8   how many ranges follow (u64)
//   16  each range as its first LBA and the LBA past its end (u64, u64)
//   then the blocks of each range in turn, as stored
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim/LittleEndian.h"
#include "sim/PersistentMedium.h"

namespace varnox::sim {
namespace {

constexpr uint64_t kStagedCommit = 0x4445474154535856ull;  // "VXSTAGED"
constexpr uint64_t kWordBytes = 8;
constexpr uint64_t kStagedHeadBytes = 2 * kWordBytes;  // the commit word and the range count
constexpr uint64_t kRangeBytes = 2 * kWordBytes;

}  // namespace

std::vector<PersistentMedium::Range> PersistentMedium::toStage() {
  // Blocks that straddle pages can be torn each on its own: the whole flush is staged.
  if (kMediumHeaderBytes % storedBytes_ != 0) return ranges_;
  // Merged first: a unit may have been noted block by block.
  wholeCompactAt_ = compact(whole_);
  auto page = [&](uint64_t lba) { return (kMediumHeaderBytes + lba * storedBytes_) / kMediumHeaderBytes; };
  // A copy still standing from a flush that failed part-way is staged again with this one.
  bool needed = staged_;
  for (const Range& r : whole_) needed = needed || page(r.begin) != page(r.end - 1);
  return needed ? whole_ : std::vector<Range>{};
}

bool PersistentMedium::stage(const std::vector<Range>& staged, const BlockStore& store) {
  // The copy of a flush that failed part-way is cut off before a new one goes over it.
  if (staged_ && !dropStaged()) return false;
  uint64_t blocks = 0;
  for (const Range& r : staged) blocks += r.end - r.begin;
  // Everything but the commit word, in one write.
  const uint64_t tableBytes = kWordBytes + staged.size() * kRangeBytes;
  stagedBytes_.resize(tableBytes + blocks * storedBytes_);
  uint8_t* body = stagedBytes_.data();
  putLittleEndian<uint64_t>(body, 0, staged.size());
  uint64_t data = tableBytes;
  for (size_t i = 0; i < staged.size(); ++i) {
    putLittleEndian<uint64_t>(body, kWordBytes + i * kRangeBytes, staged[i].begin);
    putLittleEndian<uint64_t>(body, 2 * kWordBytes + i * kRangeBytes, staged[i].end);
    const uint64_t bytes = (staged[i].end - staged[i].begin) * storedBytes_;
    std::memcpy(body + data, store.block(staged[i].begin), bytes);
    data += bytes;
  }
  staged_ = true;  // from here the file may run past the medium's end
  if (!writeAll(body, stagedBytes_.size(), stagedOffset() + kWordBytes)) return false;
  uint8_t commit[kWordBytes];
  putLittleEndian<uint64_t>(commit, 0, kStagedCommit);
  return writeAll(commit, kWordBytes, stagedOffset());
}

bool PersistentMedium::dropStaged() {
  allowedBeforeKill(1, 0);  // a planned kill with no bytes left lands here
  if (::ftruncate(fd_, static_cast<off_t>(fileEnd())) != 0) {
    error_ = named(path_) + ": cannot cut off the flush staged past its end: " + std::strerror(errno);
    return false;
  }
  staged_ = false;
  return true;
}

bool PersistentMedium::tailIsStaged() {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return false;
  const uint64_t size = static_cast<uint64_t>(st.st_size), at = stagedOffset();
  // A staged copy is written from its range count on, so a file that runs past the medium's end
  // but not past the commit word was cut or extended by something else.
  uint8_t word[kWordBytes];
  if (size < at + kWordBytes || !readAll(fd_, word, kWordBytes, at)) return false;
  const uint64_t commit = getLittleEndian<uint64_t>(word, 0);
  return commit == 0 || commit == kStagedCommit;
}

bool PersistentMedium::readStaged(std::vector<Range>& ranges, std::vector<uint8_t>& data,
                                  std::string& error) {
  ranges.clear();
  data.clear();
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    error = named(path_) + ": cannot read its size: " + std::strerror(errno);
    return false;
  }
  const uint64_t size = static_cast<uint64_t>(st.st_size), at = stagedOffset();
  if (size < at + kStagedHeadBytes) return true;
  uint8_t head[kStagedHeadBytes];
  if (!readAll(fd_, head, kStagedHeadBytes, at)) {
    error = named(path_) + ": cannot read the flush staged past its end: " + std::strerror(errno);
    return false;
  }
  if (getLittleEndian<uint64_t>(head, 0) != kStagedCommit) return true;  // never committed
  const std::string damaged = named(path_) +
                              ": the flush staged past its end is damaged (it names blocks the "
                              "medium has not, or is cut short); the file is left as it is";
  const uint64_t count = getLittleEndian<uint64_t>(head, kWordBytes), room = size - at - kStagedHeadBytes;
  if (count > room / kRangeBytes) {
    error = damaged;
    return false;
  }
  std::vector<uint8_t> table(count * kRangeBytes);
  if (!readAll(fd_, table.data(), table.size(), at + kStagedHeadBytes)) {
    error = named(path_) + ": cannot read the flush staged past its end: " + std::strerror(errno);
    return false;
  }
  uint64_t blocks = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const Range r{getLittleEndian<uint64_t>(table.data(), i * kRangeBytes),
                  getLittleEndian<uint64_t>(table.data(), i * kRangeBytes + kWordBytes)};
    if (r.begin >= r.end || r.end > shape_.capacityBlocks) {
      error = damaged;
      return false;
    }
    blocks += r.end - r.begin;
    ranges.push_back(r);
  }
  if (blocks > (room - table.size()) / storedBytes_) {
    ranges.clear();
    error = damaged;
    return false;
  }
  data.resize(blocks * storedBytes_);
  if (!readAll(fd_, data.data(), data.size(), at + kStagedHeadBytes + table.size())) {
    ranges.clear();
    error = named(path_) + ": cannot read the flush staged past its end: " + std::strerror(errno);
    return false;
  }
  return true;
}

bool PersistentMedium::finishStaged(const std::vector<Range>& ranges, const std::vector<uint8_t>& data) {
  uint64_t from = 0;
  for (const Range& r : ranges) {
    const uint64_t bytes = (r.end - r.begin) * storedBytes_;
    if (!writeAll(data.data() + from, bytes, kMediumHeaderBytes + r.begin * storedBytes_)) return false;
    from += bytes;
  }
  return dropStaged();
}

bool PersistentMedium::settleTail(BlockStore* store, std::string& error) {
  std::vector<Range> ranges;
  std::vector<uint8_t> data;
  if (!readStaged(ranges, data, error)) return false;
  uint64_t from = 0;
  for (const Range& r : ranges) {
    const uint64_t bytes = (r.end - r.begin) * storedBytes_;
    if (store != nullptr) std::memcpy(store->block(r.begin), data.data() + from, bytes);
    from += bytes;
  }
  struct stat st {};
  if (readOnly_ || (::fstat(fd_, &st) == 0 && static_cast<uint64_t>(st.st_size) <= fileEnd())) return true;
  // Finished in place, a committed copy is no longer needed; an uncommitted one never was.
  staged_ = true;
  if (finishStaged(ranges, data)) return true;
  error = error_;
  return false;
}

}  // namespace varnox::sim
