#pragma once
// The 8 protection-information bytes that travel behind a logical block (T10 DIF, type 1):
//   bytes 0-1  logical block guard: CRC-16 of the block's data (polynomial 0x8BB7), big-endian
//   bytes 2-3  application tag: 0 as written here; 0xFFFF tells a target not to check the block
//   bytes 4-7  reference tag: the low 32 bits of the block's LBA, big-endian
// Shared by the host, which fills them for end-to-end protected commands, and the simulated
// drive, which generates and checks them.
#include <cstddef>
#include <cstdint>

namespace varnox {

inline constexpr size_t kProtectionTupleBytes = 8;

// Additional sense codes (ASC 0x10) of a failed check, sense key ABORTED COMMAND.
inline constexpr uint8_t kAscProtectionCheck = 0x10;
inline constexpr uint8_t kAscqGuardCheckFailed = 0x01;
inline constexpr uint8_t kAscqReferenceTagCheckFailed = 0x03;

uint16_t crc16T10Dif(const uint8_t* data, size_t bytes);

// Writes the protection bytes of `data` (`bytes` long) at `lba` to `pi`.
void fillProtection(uint8_t* pi, const uint8_t* data, size_t bytes, uint64_t lba);

// 0 when `pi` is right for `data` at `lba` or tells not to be checked (application tag 0xFFFF,
// or all zeros: a block that never held protection information); else the ASCQ of the failed
// check, the guard before the reference tag.
uint8_t checkProtection(const uint8_t* pi, const uint8_t* data, size_t bytes, uint64_t lba);

}  // namespace varnox
