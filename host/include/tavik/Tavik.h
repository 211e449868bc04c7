#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "tavik/Device.h"

namespace varnox {

// The vendor block that puts a drive into its special mode before a self-initiated power-on
// reset (showstop). 112 bytes, little-endian fields.
struct ShowstopRequest {
  uint32_t length = 112;   // bytes 0-3
  uint16_t version = 1;    // bytes 4-5
  uint8_t cdbLength = 10;  // byte 6
  uint8_t reserved0[17] = {};
  uint8_t cdb[10] = {0xD4, 0x27, 0x6B, 0x05, 0, 0, 0, 0, 0, 0};  // bytes 24-33
  uint8_t reserved1[78] = {};
};
static_assert(sizeof(ShowstopRequest) == 112, "the showstop request block is 112 bytes");

// Whether `request` (as a device's send() receives it) is the showstop block: 0 when it is,
// VARNOX_ERR_BAD_VALUE when it is too short to tell, VARNOX_ERR_NOT_SUPPORTED for any other block.
int checkShowstopRequest(const void* request, size_t size);

// Device requests that agents pass to Tavik::ioctl.
inline constexpr uint32_t kIoctlDeviceProperty = 4241;  // one u32: a device property read in setup
inline constexpr uint32_t kIoctlGetSetting = 179;       // one u32 out: the setting the showstop changes
inline constexpr uint32_t kIoctlSetSetting = 178;       // one u32 in
inline constexpr uint32_t kIoctlMiscompareLba = 218;    // u32 0 and u64 miscompare LBA

// A drive thread's connection to its device. It records every request it is given so that
// the runner's summary (and tests) can tell what agents asked of the device.
class Tavik {
 public:
  struct Request {
    uint32_t request;            // ioctl number, or kSendRequest for send
    std::vector<uint64_t> args;  // values of the pointer arguments after the call
    int status;
  };
  static constexpr uint32_t kSendRequest = 0xFFFFFFFF;

  Tavik(Device* device, int deviceIndex) : device_(device), deviceIndex_(deviceIndex) {}

  int getCurrentDeviceIndex() const { return deviceIndex_; }
  // request, then `count` pointer arguments: 4241 and 179 and 178 take a uint32_t*, 218 takes a
  // uint32_t* and a uint64_t*.
  int ioctl(uint32_t request, uint32_t count, ...);
  int send(const ShowstopRequest* request);

  Device* device() const { return device_; }
  std::vector<Request> requests() const;

 private:
  Device* device_;
  int deviceIndex_;
  mutable std::mutex mutex_;
  std::vector<Request> requests_;
};

}  // namespace varnox
