#include "blockdev/FileData.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "blockdev/Precondition.h"
#include "blockdev/Signatures.h"

namespace varnox::blockdev {
namespace {

constexpr uint64_t kBoundary = 65536;
constexpr size_t kSampleBytes = 512;
constexpr uint64_t kMaxSamples = 4096;

// The data extents of the file as [start, end) pairs, holes left out; the whole file when the
// file system cannot tell.
std::vector<std::pair<uint64_t, uint64_t>> dataExtents(int fd, uint64_t size) {
  std::vector<std::pair<uint64_t, uint64_t>> extents;
  off_t at = 0;
  while (static_cast<uint64_t>(at) < size) {
    const off_t data = ::lseek(fd, at, SEEK_DATA);
    if (data < 0) {
      if (errno == ENXIO) break;  // only a hole is left
      return {{0, size}};
    }
    off_t hole = ::lseek(fd, data, SEEK_HOLE);
    if (hole < 0) hole = static_cast<off_t>(size);
    extents.emplace_back(static_cast<uint64_t>(data), static_cast<uint64_t>(hole));
    at = hole;
  }
  return extents;
}

}  // namespace

bool isOwnBlockStart(const uint8_t* block, size_t bytes) {
  if (std::all_of(block, block + bytes, [](uint8_t b) { return b == 0; })) return true;
  if (bytes >= sizeof kPreconditionMagic &&
      std::memcmp(block, kPreconditionMagic, sizeof kPreconditionMagic) == 0)
    return true;
  // The data agent's header: bytes 0..2 the bucket, byte 3 zero, 8..15 the LBA, 16 the length
  // of the command identifier that follows.
  return bytes >= 25 && block[0] < 0x08 && block[3] == 0 && block[8] == 0 && block[9] == 0 && block[16] <= 8;
}

FileData inspectFileData(const std::string& path) {
  FileData result;
  const int fd = openForInspection(path);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    result.kind = FileData::Kind::Unreadable;
    result.error = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return result;
  }
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  result.kind = size == 0 ? FileData::Kind::Empty : FileData::Kind::ZerosOrOwnBlocks;
  // The boundaries are counted first and visited with a stride, so that a large file is sampled
  // over its whole length without a list of every boundary.
  const std::vector<std::pair<uint64_t, uint64_t>> extents = dataExtents(fd, size);
  auto firstBoundary = [](uint64_t start) { return start / kBoundary * kBoundary; };
  uint64_t boundaries = 0;
  for (const auto& [start, end] : extents)
    boundaries += (end - firstBoundary(start) + kBoundary - 1) / kBoundary;
  const uint64_t step = std::max<uint64_t>(1, (boundaries + kMaxSamples - 1) / kMaxSamples);
  uint8_t sample[kSampleBytes];
  uint64_t index = 0;
  for (const auto& [start, end] : extents) {
    for (uint64_t at = firstBoundary(start); at < end && result.kind == FileData::Kind::ZerosOrOwnBlocks;
         at += kBoundary, ++index) {
      if (index % step != 0) continue;
      const ssize_t n = ::pread(fd, sample, sizeof sample, static_cast<off_t>(at));
      if (n < 0) {
        result.kind = FileData::Kind::Unreadable;
        result.error = std::strerror(errno);
      } else if (!isOwnBlockStart(sample, static_cast<size_t>(n))) {
        result.kind = FileData::Kind::Foreign;
        result.offset = at;
      }
    }
  }
  ::close(fd);
  return result;
}

}  // namespace varnox::blockdev
