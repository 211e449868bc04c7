#pragma once
// Preparing a real device so that a rerun cannot pass on data an earlier run left behind.
#include <cstdint>
#include <memory>
#include <string>

#include "blockdev/BlockDevice.h"
#include "tavik/DeviceFactory.h"
#include "tavik/DeviceSettings.h"

namespace varnox::blockdev {

// A number no other run draws: the run seed mixed with the clock and the process id.
uint64_t runNonce(uint64_t seed);

// The first bytes of every preconditioned block: a run that finds them on a file knows the file
// holds its own kind of data, not the user's.
inline constexpr char kPreconditionMagic[16] = {'v', 'a', 'r', 'n', 'o', 'x', ' ',  'p',
                                                'r', 'e', 'c', 'o', 'n', 'd', '\n', 0};

// Writes every block of the device's capacity with kPreconditionMagic and a pattern made from
// `nonce` and the block's LBA, then syncs. Call before the first command. False with `error`
// naming the path, the LBA and strerror when a write fails, or saying how far it got when
// `progress` (may be empty) returned false. `progress` hears of 0 bytes first, of every chunk
// (1 MiB) written, and of the total once synced.
bool preconditionDevice(BlockDevice& device, uint64_t nonce, std::string& error, const PreconditionBytes& progress = {});

// The warning for a drive on a file or block device whose agent "Random Seed" (`randomSeed`, as
// the test sets it; empty when unset) is a fixed non-zero number while precondition is off: the
// blocks an earlier run wrote with that seed match what this run writes, so a write the device
// loses cannot be seen. Empty when there is nothing to warn about.
std::string fixedSeedWarning(const DeviceSpec& deviceSpec, const std::string& randomSeed);

// Opens `deviceSpec.kind` as a file or block device, prints its warnings to the standard error stream
// and preconditions it when asked. The device factory's entry for every kind but "sim".
std::unique_ptr<Device> openFileOrBlockDevice(const DeviceSpec& deviceSpec, uint64_t seed, std::string& error,
                                              int& exitStatus, const PreconditionBytes& progress = {});

}  // namespace varnox::blockdev
