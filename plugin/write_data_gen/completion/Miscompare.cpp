#include "completion/Miscompare.h"

#include "base/ConfigData.h"
#include "drive/DriveData.h"
#include "tavik/Tavik.h"
#include "varnox/DriveThread.h"

namespace cardamor {

void reportMiscompare(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config, uint64_t lba,
                      uint32_t referenceBucket, uint32_t driveBucket, uint64_t cmdId, uint8_t invalidated) {
  if (config.showstopOnMiscompare) {
    const int status = issueShowstop(thread);
    if (status != 0) thread.eventLog().logf(2, "Failed to issue Showstop, tavik err %i", status);
  }
  // The device has the last word on where the failure is (a drive may name the first block of
  // the physical block that holds it): the LBA recorded for the dump is the one it hands back,
  // whatever the status of the request; the trace keeps the block that was compared.
  uint64_t miscompareLba = lba;
  if (varnox::Tavik* tavik = thread.tavik()) {
    uint32_t zero = 0;
    tavik->ioctl(varnox::kIoctlMiscompareLba, 2, &zero, &miscompareLba);
  }
  if (drive.commandTrace != nullptr) {
    drive.commandTrace->recordMiscompare(lba, referenceBucket, driveBucket, cmdId, invalidated != 0);
  }
  drive.miscompareLba = miscompareLba;
  drive.miscompareSeen = true;
}

int issueShowstop(varnox::DriveThread& thread) {
  varnox::Tavik* tavik = thread.tavik();
  if (tavik == nullptr) return -1053;
  uint32_t saved = 0;
  uint32_t one = 1;
  tavik->ioctl(varnox::kIoctlGetSetting, 1, &saved);
  tavik->ioctl(varnox::kIoctlSetSetting, 1, &one);
  const varnox::ShowstopRequest request;
  const int status = tavik->send(&request);
  if (saved != 1) tavik->ioctl(varnox::kIoctlSetSetting, 1, &saved);
  return status;
}

}  // namespace cardamor
