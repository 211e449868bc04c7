#include "tavik/Tavik.h"

#include <cstdarg>
#include <cstddef>
#include <cstring>

#include "tavik/Errors.h"

namespace varnox {
namespace {

// Pointer arguments beyond this many are not forwarded; no request takes more than two.
constexpr uint32_t kMaxIoctlArgs = 8;

}  // namespace

int Tavik::ioctl(uint32_t request, uint32_t count, ...) {
  void* args[kMaxIoctlArgs] = {};
  const uint32_t taken = count < kMaxIoctlArgs ? count : kMaxIoctlArgs;
  va_list list;
  va_start(list, count);
  for (uint32_t i = 0; i < taken; ++i) args[i] = va_arg(list, void*);
  va_end(list);

  int status = VARNOX_ERR_NOT_SUPPORTED;
  if (count > kMaxIoctlArgs) {
    status = VARNOX_ERR_BAD_VALUE;
  } else if (device_ != nullptr) {
    status = device_->ioctl(request, count, args);
  }

  // Record the argument values as they are after the call, with the types each request takes.
  Request record{request, {}, status};
  for (uint32_t i = 0; i < taken; ++i) {
    if (args[i] == nullptr) {
      record.args.push_back(0);
    } else if (request == kIoctlMiscompareLba && i == 1) {
      record.args.push_back(*static_cast<uint64_t*>(args[i]));
    } else {
      record.args.push_back(*static_cast<uint32_t*>(args[i]));
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(std::move(record));
  return status;
}

int Tavik::send(const ShowstopRequest* request) {
  int status = VARNOX_ERR_NOT_SUPPORTED;
  if (request == nullptr) {
    status = VARNOX_ERR_BAD_VALUE;
  } else if (device_ != nullptr) {
    status = device_->send(request, sizeof(ShowstopRequest));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(Request{kSendRequest, {}, status});
  return status;
}

std::vector<Tavik::Request> Tavik::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

int checkShowstopRequest(const void* request, size_t size) {
  static const ShowstopRequest kShowstop;
  if (!request || size < offsetof(ShowstopRequest, cdb) + sizeof(kShowstop.cdb)) return VARNOX_ERR_BAD_VALUE;
  if (std::memcmp(static_cast<const uint8_t*>(request) + offsetof(ShowstopRequest, cdb), kShowstop.cdb,
                  sizeof(kShowstop.cdb)) != 0)
    return VARNOX_ERR_NOT_SUPPORTED;
  return 0;
}

}  // namespace varnox
