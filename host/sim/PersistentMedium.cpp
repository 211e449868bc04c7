#include "sim/PersistentMedium.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "sim/LittleEndian.h"

namespace varnox::sim {
namespace {

constexpr size_t kMagicBytes = sizeof(kMediumMagic) - 1;
// Field offsets in the header.
constexpr size_t kBlockSizeAt = 16, kProtectionAt = 20, kCapacityAt = 24, kZoneBlocksAt = 32,
                 kZoneModelAt = 40;

uint64_t storedBytesOf(const MediumShape& s) {
  return uint64_t{s.logicalBlockSize} + s.protectionBytes;
}

uint64_t zoneCount(const MediumShape& s) {
  return s.zoneBlocks == 0 ? 0 : (s.capacityBlocks + s.zoneBlocks - 1) / s.zoneBlocks;
}

uint64_t fileBytes(const MediumShape& s) {
  return kMediumHeaderBytes + s.capacityBlocks * storedBytesOf(s) + zoneCount(s) * sizeof(uint64_t);
}

std::string shapeText(const MediumShape& s) {
  std::string text =
      std::to_string(s.capacityBlocks) + " blocks of " + std::to_string(s.logicalBlockSize) + " bytes";
  text += s.protectionBytes ? " with " + std::to_string(s.protectionBytes) + " protection bytes"
                            : " without protection bytes";
  if (s.zoneBlocks != 0)
    text += ", " + std::string(s.zoneModel == 1 ? "host-managed" : "host-aware") + " zones of " +
            std::to_string(s.zoneBlocks) + " blocks";
  return text;
}

MediumShape shapeOf(const uint8_t* header) {
  MediumShape held;
  held.logicalBlockSize = getLittleEndian<uint32_t>(header, kBlockSizeAt);
  held.protectionBytes = getLittleEndian<uint32_t>(header, kProtectionAt);
  held.capacityBlocks = getLittleEndian<uint64_t>(header, kCapacityAt);
  held.zoneBlocks = getLittleEndian<uint64_t>(header, kZoneBlocksAt);
  held.zoneModel = getLittleEndian<uint32_t>(header, kZoneModelAt);
  return held;
}

// Bytes left before a test's kill; negative: none planned.
std::atomic<int64_t> killBudget{-1};

}  // namespace

uint64_t PersistentMedium::allowedBeforeKill(uint64_t bytes, uint64_t offset) {
  const int64_t left = killBudget.load(std::memory_order_relaxed);
  if (left < 0) return bytes;
  if (static_cast<uint64_t>(left) >= bytes) {
    killBudget.store(left - static_cast<int64_t>(bytes), std::memory_order_relaxed);
    return bytes;
  }
  // The kernel copies a write page by page: a kill lands between two pages of the file.
  const uint64_t cut = (offset + static_cast<uint64_t>(left)) / kMediumHeaderBytes * kMediumHeaderBytes;
  if (cut <= offset) ::raise(SIGKILL);
  killBudget.store(0, std::memory_order_relaxed);
  return cut - offset;
}

int64_t PersistentMedium::killAfterBytes(int64_t bytes) {
  return killBudget.exchange(bytes, std::memory_order_relaxed);
}

std::string PersistentMedium::named(const std::string& path) {
  return "medium \"" + path + "\"";
}

bool PersistentMedium::readAll(int fd, uint8_t* into, uint64_t bytes, uint64_t offset) {
  while (bytes > 0) {
    const ssize_t n = ::pread(fd, into, std::min<uint64_t>(bytes, 1u << 30), static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;  // the file was cut short while we read it
      return false;
    }
    into += n;
    bytes -= static_cast<uint64_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

PersistentMedium::PersistentMedium(int fd, std::string path, const MediumShape& shape, bool readOnly)
    : fd_(fd),
      path_(std::move(path)),
      shape_(shape),
      storedBytes_(storedBytesOf(shape)),
      readOnly_(readOnly) {}

PersistentMedium::~PersistentMedium() {
  if (fd_ >= 0) ::close(fd_);
}

std::unique_ptr<PersistentMedium> PersistentMedium::open(const std::string& path, const MediumShape& shape,
                                                         bool readOnly, Problem& problem,
                                                         std::string& error) {
  problem = Problem::None;
  auto fail = [&](Problem kind, const std::string& why) {
    problem = kind;
    error = named(path) + why;
    return nullptr;
  };
  auto failErrno = [&](const char* what) {
    return fail(Problem::Unusable, std::string(": ") + what + ": " + std::strerror(errno));
  };
  // Without touching even its access time: a refused file is left exactly as it was.
  const int flags = (readOnly ? O_RDONLY : O_RDWR | O_CREAT) | O_CLOEXEC;
  int fd = ::open(path.c_str(), flags | O_NOATIME, 0644);
  if (fd < 0 && errno == EPERM) fd = ::open(path.c_str(), flags, 0644);  // not the file's owner
  if (fd < 0) {
    if (readOnly && errno == ENOENT) return nullptr;  // a run would create it
    return failErrno("cannot open");
  }
  std::unique_ptr<PersistentMedium> medium(new PersistentMedium(fd, path, shape, readOnly));
  struct stat st {};
  if (::fstat(fd, &st) != 0) return failErrno("cannot read its size");
  if (!S_ISREG(st.st_mode)) return fail(Problem::Refused, " is not a regular file");
  // A reader shares the file with other readers, never with a drive that writes it.
  if (::flock(fd, (readOnly ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return fail(Problem::Refused, " is in use by another drive or process");
    return failErrno("cannot lock");
  }
  uint8_t header[kMediumHeaderBytes] = {};
  if (st.st_size == 0) {
    if (readOnly) return nullptr;  // as good as missing
    // A blank medium: the header, and holes up to the full size.
    std::memcpy(header, kMediumMagic, kMagicBytes);
    putLittleEndian<uint32_t>(header, kBlockSizeAt, shape.logicalBlockSize);
    putLittleEndian<uint32_t>(header, kProtectionAt, shape.protectionBytes);
    putLittleEndian<uint64_t>(header, kCapacityAt, shape.capacityBlocks);
    putLittleEndian<uint64_t>(header, kZoneBlocksAt, shape.zoneBlocks);
    putLittleEndian<uint32_t>(header, kZoneModelAt, shape.zoneModel);
    if (!medium->writeAll(header, sizeof(header), 0) ||
        ::ftruncate(fd, static_cast<off_t>(fileBytes(shape))) != 0)
      return failErrno("cannot create");
    return medium;
  }
  if (static_cast<uint64_t>(st.st_size) < kMediumHeaderBytes || !readAll(fd, header, sizeof(header), 0) ||
      std::memcmp(header, kMediumMagic, kMagicBytes) != 0)
    return fail(Problem::Refused,
                " is not a simulated drive's medium (it does not begin with \"VARNOX-MEDIUM-1\"); it is left "
                "as it is");
  const MediumShape held = shapeOf(header);
  if (held.logicalBlockSize != shape.logicalBlockSize || held.protectionBytes != shape.protectionBytes ||
      held.capacityBlocks != shape.capacityBlocks || held.zoneBlocks != shape.zoneBlocks ||
      held.zoneModel != shape.zoneModel)
    return fail(Problem::Refused, " holds " + shapeText(held) + ", but the drive has " + shapeText(shape));
  // Past the end only a staged copy of a flush may follow, committed or not, and whole.
  const uint64_t size = static_cast<uint64_t>(st.st_size), end = fileBytes(shape);
  if (size < end || (size > end && !medium->tailIsStaged()))
    return fail(Problem::Refused, " is " + std::to_string(size) + " bytes, not the " + std::to_string(end) +
                                      " of a medium of " + shapeText(shape) +
                                      ": something else cut or extended it");
  if (size > end && !medium->stagedIsWhole(error)) {
    problem = Problem::Refused;
    return nullptr;
  }
  return medium;
}

bool PersistentMedium::finishStagedFlush(const std::string& path, std::string& error) {
  // The file's own header gives the shape to open it with.
  uint8_t header[kMediumHeaderBytes];
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const bool read = fd >= 0 && readAll(fd, header, sizeof(header), 0);
  if (fd >= 0) ::close(fd);
  if (!read || std::memcmp(header, kMediumMagic, kMagicBytes) != 0) {
    error = named(path) + ": cannot read a medium's header";
    return false;
  }
  Problem problem;
  std::unique_ptr<PersistentMedium> medium = open(path, shapeOf(header), false, problem, error);
  return medium && medium->settleTail(nullptr, error);
}

bool PersistentMedium::load(BlockStore& store, std::vector<uint64_t>* pointers, std::string& error) {
  const uint64_t end = pointersOffset();
  uint8_t* base = store.block(0);
  // Only the parts of the file that hold data: a medium of many GiB mostly never written stays
  // cheap to open, and its store gets pages only for blocks written.
  for (uint64_t at = kMediumHeaderBytes; at < end;) {
    off_t data = ::lseek(fd_, static_cast<off_t>(at), SEEK_DATA);
    if (data < 0 && errno == ENXIO) break;  // only holes from here
    uint64_t from = at, to = end;
    if (data >= 0) {
      from = static_cast<uint64_t>(data);
      if (from >= end) break;
      const off_t hole = ::lseek(fd_, data, SEEK_HOLE);
      if (hole >= 0) to = std::min<uint64_t>(end, static_cast<uint64_t>(hole));
    }
    if (!readAll(fd_, base + (from - kMediumHeaderBytes), to - from, from)) {
      error = named(path_) + ": cannot read: " + std::strerror(errno);
      return false;
    }
    at = to;
  }
  if (pointers != nullptr && zoneCount(shape_) != 0) {
    std::vector<uint8_t> bytes(zoneCount(shape_) * sizeof(uint64_t));
    if (!readAll(fd_, bytes.data(), bytes.size(), end)) {
      error = named(path_) + ": cannot read its write pointers: " + std::strerror(errno);
      return false;
    }
    pointers->resize(zoneCount(shape_));
    for (size_t zone = 0; zone < pointers->size(); ++zone) {
      (*pointers)[zone] = getLittleEndian<uint64_t>(bytes.data(), zone * sizeof(uint64_t));
      const uint64_t start = zone * shape_.zoneBlocks;
      if ((*pointers)[zone] > std::min(shape_.zoneBlocks, shape_.capacityBlocks - start)) {
        error =
            named(path_) + ": the write pointer of zone " + std::to_string(zone) + " is past the zone's end";
        return false;
      }
    }
  }
  return settleTail(&store, error);
}

bool PersistentMedium::writeAll(const uint8_t* data, uint64_t bytes, uint64_t offset) {
  while (bytes > 0) {
    const uint64_t chunk = allowedBeforeKill(std::min<uint64_t>(bytes, 1u << 30), offset);
    const ssize_t n = ::pwrite(fd_, data, chunk, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      error_ = named(path_) + ": cannot write: " + std::strerror(errno);
      return false;
    }
    data += n;
    bytes -= static_cast<uint64_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

size_t PersistentMedium::compact(std::vector<Range>& ranges) {
  std::sort(ranges.begin(), ranges.end(), [](const Range& a, const Range& b) { return a.begin < b.begin; });
  size_t kept = 0;
  for (size_t i = 0; i < ranges.size();) {
    Range run = ranges[i++];
    while (i < ranges.size() && ranges[i].begin <= run.end) run.end = std::max(run.end, ranges[i++].end);
    ranges[kept++] = run;
  }
  ranges.resize(kept);
  return std::max<size_t>(4096, 2 * kept);
}

uint64_t PersistentMedium::fileEnd() const {
  return fileBytes(shape_);
}

bool PersistentMedium::writeBlocks(const BlockStore& store) {
  // Ranges come in the order the commands touched them, often the same blocks again: merged,
  // each block is written once.
  compactAt_ = compact(ranges_);
  const std::vector<Range> staged = toStage();
  if (!staged.empty() && !stage(staged, store)) return false;
  bool ok = true;
  for (size_t i = 0; i < ranges_.size() && ok; ++i)
    ok = writeAll(store.block(ranges_[i].begin), (ranges_[i].end - ranges_[i].begin) * storedBytes_,
                  kMediumHeaderBytes + ranges_[i].begin * storedBytes_);
  // What could not be written is tried again with the next write, staged again.
  if (!ok) return false;
  ranges_.clear();
  whole_.clear();
  return !staged_ || dropStaged();
}

void PersistentMedium::pointersChanged(uint64_t firstZone, uint64_t lastZone) {
  firstZone_ = std::min(firstZone_, firstZone);
  lastZone_ = std::max(lastZone_, lastZone);
}

bool PersistentMedium::writePointers(const std::vector<uint64_t>& pointers) {
  if (firstZone_ > lastZone_) return true;
  std::vector<uint8_t> bytes((lastZone_ - firstZone_ + 1) * sizeof(uint64_t));
  for (uint64_t zone = firstZone_; zone <= lastZone_; ++zone)
    putLittleEndian<uint64_t>(bytes.data(), (zone - firstZone_) * sizeof(uint64_t), pointers[zone]);
  const uint64_t offset = pointersOffset() + firstZone_ * sizeof(uint64_t);
  firstZone_ = UINT64_MAX;
  lastZone_ = 0;
  return writeAll(bytes.data(), bytes.size(), offset);
}

}  // namespace varnox::sim
