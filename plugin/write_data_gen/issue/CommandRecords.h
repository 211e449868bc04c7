#pragma once
// Records of the commands the agent has in flight or still owes a read-back for.
// (Filled in with the issue side.)
#include <cstdint>

namespace varnox::Cardamor {

struct WriteRecord {};
struct ReadRecord {};
struct VerifyRecord {};
struct ReadBackRequest {};
struct PreReadRecord {};

}  // namespace varnox::Cardamor
