#include "tavik/Device.h"

#include "tavik/Errors.h"

namespace varnox {

int Device::ioctl(uint32_t, uint32_t, void**) { return VARNOX_ERR_NOT_SUPPORTED; }

int Device::send(const void*, size_t) { return VARNOX_ERR_NOT_SUPPORTED; }

}  // namespace varnox
