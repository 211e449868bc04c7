#include "varnox/TaggedBuffer.h"

namespace varnox {

TaggedBuffer::TaggedBuffer(uint32_t tagCount) : locked_(tagCount, false) {
  buffers_.reserve(tagCount);
  for (uint32_t tag = 0; tag < tagCount; ++tag) buffers_.push_back(std::make_unique<Buffer>());
}

uint8_t* TaggedBuffer::getData(uint32_t tag, uint64_t* size) {
  if (tag >= buffers_.size()) {
    if (size != nullptr) *size = 0;
    return nullptr;
  }
  if (size != nullptr) *size = buffers_[tag]->size;
  return buffers_[tag]->data;
}

void TaggedBuffer::unlock(uint32_t tag) {
  if (tag < locked_.size()) locked_[tag] = false;
}

Buffer* TaggedBuffer::buffer(uint32_t tag) { return tag < buffers_.size() ? buffers_[tag].get() : nullptr; }

void TaggedBuffer::lock(uint32_t tag) {
  if (tag < locked_.size()) locked_[tag] = true;
}

bool TaggedBuffer::isLocked(uint32_t tag) const { return tag < locked_.size() && locked_[tag]; }

}  // namespace varnox
