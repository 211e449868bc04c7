#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "varnox/Buffer.h"

namespace varnox {

// A buffer per command tag ("CDB[TagID]", "ReadDataPtr[TagID]", ...). The host locks a tag's
// buffer while the command that uses it is in flight; unlock releases it.
class TaggedBuffer {
 public:
  explicit TaggedBuffer(uint32_t tagCount);

  // The tag's bytes and their count; null with *size 0 for a tag out of range.
  uint8_t* getData(uint32_t tag, uint64_t* size);
  void unlock(uint32_t tag);

  // Host side.
  Buffer* buffer(uint32_t tag);
  void lock(uint32_t tag);
  bool isLocked(uint32_t tag) const;
  uint32_t tagCount() const { return static_cast<uint32_t>(buffers_.size()); }

 private:
  std::vector<std::unique_ptr<Buffer>> buffers_;
  std::vector<bool> locked_;
};

}  // namespace varnox
