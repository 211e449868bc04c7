#pragma once
// Compare side of one execute pass: compares every queued read whose racing writes have all
// completed, block by block, against what the LBA history says each block may hold. Returns 0
// or the first error (-1046 miscompare, -1063 torn atomic write, -1022/-1057 bad read data, or
// a history status), after logging "doCompares(): %s (%d)".
namespace varnox {
class DriveThread;
}

namespace varnox::Cardamor {

struct ConfigData;
struct DriveData;

int doCompares(DriveThread& thread, DriveData& drive, const ConfigData& config);

}  // namespace varnox::Cardamor
