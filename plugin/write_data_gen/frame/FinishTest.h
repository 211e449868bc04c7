#pragma once
// Ends a drive's test: points "WriteData" at the bucket table and writes the output files that the test's outcome calls for.
namespace varnox {
class DriveThread;
}

namespace varnox::Cardamor {

struct ConfigData;
struct DriveData;

void finishTest(DriveThread* thread, ConfigData* config, DriveData* drive);

}  // namespace varnox::Cardamor
