#pragma once
// A zone reset of [first, last]: read-backs and writes waiting for a read-back in that range
// are dropped, since the drive no longer holds what they wrote.
#include <cstdint>

namespace cardamor {

struct ConfigData;
struct DriveData;

void clearReadRange(const ConfigData& config, DriveData& drive, uint64_t first, uint64_t last);

}  // namespace cardamor
