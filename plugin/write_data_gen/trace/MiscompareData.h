#pragma once
// Writing the raw bytes of a miscompared block (the drive's or the expected ones) to a file at
// test finish. The file holds exactly the bytes given: no header, no padding.
#include <cstdint>
#include <string>

namespace varnox {
class DriveThread;
}

namespace cardamor {

// Opens `path` with openUniqueFile (mode "wb", options 7) and writes `count` bytes of `bytes`.
// Logs at level 2 "Miscompare Data Written To '<name opened>'" or, when nothing could be
// opened, "dumpMiscompareData(): could not open '<last name tried>' for writing". Never fails
// the caller. `bytes` may be null only with `count` 0.
void dumpMiscompareData(varnox::DriveThread* thread, const uint8_t* bytes, uint64_t count, std::string path);

// dumpMiscompareData, returning the name the file was written under, or empty when none could
// be opened.
std::string writeMiscompareData(varnox::DriveThread* thread, const uint8_t* bytes, uint64_t count,
                                std::string path);

}  // namespace cardamor
