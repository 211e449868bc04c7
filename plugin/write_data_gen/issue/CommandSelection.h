#pragma once
// The choice of the next command at the end of every pass: nothing, a sync cache, a power toggle,
// reset recovery, a read or verify, or a write of one of four kinds. The agent never sends a
// command; it prepares the drive variables and applies the command's Condition to the thread's
// condition mask so that the guarded step of the flow sends it.
#include <cstdint>

#include "varnox/Condition.h"

namespace varnox {
class DriveThread;
}

namespace cardamor {

struct ConfigData;
struct DriveData;

// Which command conditions an earlier agent of the flow left in the mask at the start of the
// pass. The issue operations consult them where more than one kind is configured.
struct readSelectionFlags {
  bool read = false;
  bool verify = false;
  bool write = false;
  bool writeAtomic = false;
  bool writeSame = false;
  bool trim = false;
};

// The test author configured the condition.
inline bool conditionSet(const varnox::Condition& c) {
  return c.isSet();
}
// The mask names the condition's command (shares a bit with anyBits or allBits).
inline bool conditionSelected(const varnox::Condition& c, uint64_t mask) {
  return (mask & (c.anyBits | c.allBits)) != 0;
}
// A guarded step would run on this mask: set, and holds() on it.
inline bool conditionHolds(const varnox::Condition& c, uint64_t mask) {
  return c.isSet() && c.holds(mask);
}

// Takes the selection flags and removes every command condition from the mask, then, with a
// free tag: the power-toggle cycle, reset recovery on "DeviceReset", or a read/verify or write.
// Returns 0 or the status of the issue operation it called.
int commandSelection(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config);

// True for a write, false for a read or verify; keeps the read-back distance between
// "Min Queue Size" and "Max Queue Size". Updates drive.lastChoiceWasRead.
bool chooseWrite(DriveData& drive, const ConfigData& config);

// Ranges waiting for a read-back plus outstanding writes that still need one and have no read.
uint64_t readBackDistance(const DriveData& drive);

}  // namespace cardamor
