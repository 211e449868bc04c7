#pragma once
// Counts the errors a device made on its own. A completion that is neither GOOD nor a RECOVERED
// ERROR, that no fault rule injected and that is not a verify's MISCOMPARE (a verdict on the
// data, which the agents judge) is the device's failure. A test may tolerate a number of them
// ("max_device_errors"); one more ends the drive as a device failure, and the line says how many
// there were and which command failed first.
#include <cstdint>
#include <string>

#include "tavik/Device.h"

namespace varnox {

// Whether the completion delivered what the command asked for: GOOD, or CHECK CONDITION with
// sense key RECOVERED ERROR (the device corrected the error itself and moved the data).
bool completionDeliveredData(const DeviceCompletion& completion);
// Whether it is a verify's MISCOMPARE DURING VERIFY OPERATION (sense key MISCOMPARE).
bool completionIsMiscompare(const DeviceCompletion& completion);
// "" unless the device failed a protection-information check (ABORTED COMMAND 10/01, 10/02 or
// 10/03); then the check's name, e.g. "LOGICAL BLOCK GUARD CHECK FAILED", and in `lba` the block
// the information field names (the command's first LBA when it names none).
std::string protectionCheckFailure(const DeviceCompletion& completion, uint64_t& lba);

class DeviceErrors {
 public:
  void setTolerated(uint64_t tolerated) { tolerated_ = tolerated; }
  // Counts the completion when it is the device's own error. True when the drive must stop:
  // more errors than tolerated.
  bool count(const DeviceCompletion& completion, const char* commandName, uint64_t lba, uint32_t blocks);
  uint64_t count() const { return count_; }
  // "3 device errors (0 tolerated); the first: Read at LBA 0x... of 8 blocks: CHECK CONDITION,
  // sense 03/11/00"
  std::string describe() const;

 private:
  uint64_t tolerated_ = 0;
  uint64_t count_ = 0;
  std::string first_;
};

}  // namespace varnox
