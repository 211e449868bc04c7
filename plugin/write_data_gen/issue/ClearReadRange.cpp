#include "issue/ClearReadRange.h"

namespace varnox::Cardamor {

void clearReadRange(const ConfigData& /*config*/, DriveData& /*drive*/, uint64_t /*first*/, uint64_t /*last*/) {}

}  // namespace varnox::Cardamor
