#include "blockdev/Precondition.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tavik/DeviceFactory.h"

namespace varnox::blockdev {
namespace {

constexpr uint64_t kChunkBytes = 1ull << 20;

uint64_t mix(uint64_t z) {
  z += 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

uint64_t runNonce(uint64_t seed) {
  uint64_t now = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
  return mix(seed ^ mix(now ^ (static_cast<uint64_t>(::getpid()) << 32)));
}

bool preconditionDevice(BlockDevice& device, uint64_t nonce, std::string& error, const PreconditionBytes& progress) {
  const uint32_t bs = device.geometry().logicalBlockSize;
  const uint64_t capacity = device.geometry().capacityBlocks;
  const uint64_t chunkBlocks = std::max<uint64_t>(1, kChunkBytes / bs);
  void* memory = nullptr;
  if (::posix_memalign(&memory, 4096, chunkBlocks * bs) != 0) {
    error = "device " + device.path() + ": no memory to precondition it";
    return false;
  }
  std::unique_ptr<uint8_t, decltype(&std::free)> buffer(static_cast<uint8_t*>(memory), &std::free);
  const uint64_t totalBytes = capacity * bs;
  // The last report waits for the sync: until then the bytes are not on the device.
  auto report = [&](uint64_t doneBytes) {
    if (!progress || progress(std::min(doneBytes, totalBytes - (totalBytes > 0 ? 1 : 0)), totalBytes))
      return true;
    error = "device " + device.path() + ": preconditioning stopped after " + std::to_string(doneBytes) +
            " of " + std::to_string(totalBytes) + " bytes";
    return false;
  };
  if (!report(0)) return false;
  for (uint64_t lba = 0; lba < capacity; lba += chunkBlocks) {
    const uint64_t blocks = std::min(chunkBlocks, capacity - lba);
    for (uint64_t b = 0; b < blocks; ++b) {
      uint64_t state = nonce ^ mix(lba + b);
      for (uint32_t i = 0; i + 8 <= bs; i += 8) {
        uint64_t word = mix(state++);
        std::memcpy(buffer.get() + b * bs + i, &word, 8);
      }
      std::memcpy(buffer.get() + b * bs, kPreconditionMagic, sizeof kPreconditionMagic);
    }
    uint64_t done = 0;
    while (done < blocks * bs) {
      ssize_t n = ::pwrite(device.fd(), buffer.get() + done, blocks * bs - done, static_cast<off_t>(lba * bs + done));
      if (n <= 0) {
        error = "device " + device.path() + ": precondition write at LBA " + std::to_string(lba + done / bs) +
                " failed: " + std::strerror(n < 0 ? errno : EIO);
        return false;
      }
      done += static_cast<uint64_t>(n);
    }
    if (!report((lba + blocks) * bs)) return false;
  }
  if (::fdatasync(device.fd()) != 0) {
    error = "device " + device.path() + ": sync after precondition failed: " + std::strerror(errno);
    return false;
  }
  if (progress) progress(totalBytes, totalBytes);
  return true;
}

std::string fixedSeedWarning(const DeviceSpec& deviceSpec, const std::string& randomSeed) {
  if (deviceSpec.kind == "sim" || deviceSpec.precondition || randomSeed.empty()) return {};
  char* end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(randomSeed.c_str(), &end, 0);
  if (errno != 0 || end == randomSeed.c_str() || value == 0) return {};
  return "device " + deviceSpec.kind + ": \"Random Seed\" is fixed at " + randomSeed +
         " and precondition is off: blocks an earlier run wrote with this seed look just like the ones this run "
         "writes, so a lost write can go unseen. Set precondition = true for the drive.";
}

std::unique_ptr<Device> openFileOrBlockDevice(const DeviceSpec& deviceSpec, uint64_t seed, std::string& error,
                                              int& exitStatus, const PreconditionBytes& progress) {
  std::vector<std::string> warnings;
  std::unique_ptr<BlockDevice> device = BlockDevice::open(deviceSpec, error, exitStatus, warnings);
  for (const std::string& warning : warnings) std::fprintf(stderr, "warning: %s\n", warning.c_str());
  if (!device) return nullptr;
  // varnox check says what the run would fill instead.
  if (deviceSpec.precondition && !deviceSpec.checkOnly && !preconditionDevice(*device, runNonce(seed), error, progress)) {
    // Stopped by the user, the run is interrupted rather than failed; the caller tells which.
    exitStatus = kExitDeviceFailure;
    return nullptr;
  }
  return device;
}

}  // namespace varnox::blockdev
