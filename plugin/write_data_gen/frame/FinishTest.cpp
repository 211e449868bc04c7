#include "frame/FinishTest.h"

namespace varnox::Cardamor {

void finishTest(DriveThread* /*thread*/, ConfigData* /*config*/, DriveData* /*drive*/) {

}

}  // namespace varnox::Cardamor
