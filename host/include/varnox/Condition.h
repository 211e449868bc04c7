#pragma once
#include <cstdint>

namespace varnox {

// A condition on the drive thread's 64-bit mask. Applying it sets the bits of the command it
// selects; a flow step guarded by a condition runs only when the mask holds it (see holds()).
struct Condition {
  uint64_t anyBits = 0;
  uint64_t allBits = 0;
  uint64_t noneBits = 0;
  bool replaceMask = false;

  bool isSet() const { return anyBits != 0 || allBits != 0 || noneBits != 0; }

  // A guarded step runs when the mask has at least one of anyBits (if any), all of allBits
  // and none of noneBits.
  bool holds(uint64_t mask) const {
    if (anyBits != 0 && (mask & anyBits) == 0) return false;
    if ((mask & allBits) != allBits) return false;
    return (mask & noneBits) == 0;
  }
};

// mask = anyBits | allBits | (replaceMask ? 0 : mask & ~noneBits)
inline void applyCondition(const Condition& c, uint64_t& mask) {
  mask = c.anyBits | c.allBits | (c.replaceMask ? 0 : (mask & ~c.noneBits));
}

}  // namespace varnox
