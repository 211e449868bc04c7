#include "tavik/Device.h"

#include "tavik/Errors.h"

namespace varnox {

bool Device::pollTags(DeviceCompletion& completion, bool wait, uint32_t firstTag, uint32_t endTag) {
  return firstTag == 0 && endTag >= kMaxDeviceTags && poll(completion, wait);
}

int Device::ioctl(uint32_t, uint32_t, void**) { return VARNOX_ERR_NOT_SUPPORTED; }

int Device::send(const void*, size_t) { return VARNOX_ERR_NOT_SUPPORTED; }

}  // namespace varnox
