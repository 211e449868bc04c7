#pragma once
// A completed read waiting for its compare. (Filled in with the compare engine.)
#include <cstdint>

namespace varnox::Cardamor {

struct PendingCompare {};

}  // namespace varnox::Cardamor
