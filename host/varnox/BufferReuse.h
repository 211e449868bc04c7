#pragma once
// Filling buffers the steps own without allocating: the status path runs on every pass and
// should not allocate once the buffers have grown.
#include <cstdint>

#include "varnox/Buffer.h"

namespace varnox {

// Copies into owned memory, reusing it when it is large enough.
bool copyInto(Buffer& buffer, const uint8_t* src, uint64_t bytes);

// Makes the buffer own at least `bytes`, keeping larger memory it already owns.
bool ensureOwned(Buffer& buffer, uint64_t bytes);

}  // namespace varnox
