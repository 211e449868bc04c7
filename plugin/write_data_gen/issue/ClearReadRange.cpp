#include "issue/ClearReadRange.h"

#include <cstdio>

#include "base/ConfigData.h"
#include "drive/DriveData.h"

namespace cardamor {

namespace {

// With skip commands a range only meets commands of the same LBA parity: a command of n blocks
// at an even LBA never touches an odd one.
bool overlaps(bool skip, uint64_t first, uint64_t last, uint64_t lba, uint64_t end) {
  return (skip && (lba & 1)) == (skip && (first & 1)) && end > first && last > lba;
}

}  // namespace

void clearReadRange(const ConfigData& config, DriveData& drive, uint64_t first, uint64_t last) {
  const bool skip = config.useSkipCommands;
  const uint64_t step = skip ? 2 : 1;

  // Splice checks stay: the question they answer (did an aborted write tear?) is still open.
  for (auto it = drive.pendingReadBacks.begin(); it != drive.pendingReadBacks.end();) {
    const uint64_t end = it->lba + step * it->xferLength;
    if (it->spliceSuspect != 0 || !overlaps(skip, first, last, it->lba, end)) {
      ++it;
      continue;
    }
    std::printf("<W> Clearing out Read LBA Range 0x%016llX thru 0x%016llX\n",
                static_cast<unsigned long long>(it->lba), static_cast<unsigned long long>(end));
    for (uint64_t b = it->lba; b < end; b += step) drive.atomicContext.readSkip(b);
    it = drive.pendingReadBacks.erase(it);
  }
  std::fflush(stdout);

  // Writes whose read is not chosen yet no longer need one: the zone no longer holds their data.
  for (WriteRecord& w : drive.outstandingWrites) {
    if (w.readCmdId != 0) continue;
    if (overlaps(skip, first, last, w.lba, w.lba + step * w.xferLength)) w.readBack = 0;
  }
}

}  // namespace cardamor
