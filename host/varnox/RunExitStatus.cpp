#include "RunExitStatus.h"

#include "varnox/Errors.h"
#include "varnox/TestRun.h"

namespace varnox {

bool isIntegrityStatus(int status) {
  return status == VARNOX_ERR_MISCOMPARE || status == VARNOX_ERR_WRITE_SPLICE_DETECTED ||
         status == VARNOX_ERR_ATOMIC_ORDERING;
}

int exitStatusFor(int status) {
  if (status == VARNOX_OK) return kExitPassed;
  if (isIntegrityStatus(status)) return kExitIntegrityFailure;
  if (status == VARNOX_ERR_DEVICE || status == VARNOX_ERR_NO_DEVICE) return kExitDeviceFailure;
  // Any other agent status means the test could not run as configured.
  return kExitRefused;
}

int worseExit(int a, int b) {
  auto rank = [](int exit) {
    switch (exit) {
      case kExitIntegrityFailure: return 4;
      case kExitDeviceFailure: return 3;
      case kExitRefused: return 2;
      case kExitInconclusive: return 1;
      default: return 0;
    }
  };
  return rank(b) > rank(a) ? b : a;
}

}  // namespace varnox
