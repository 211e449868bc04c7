#include "completion/SliceSync.h"

#include <algorithm>

#include "drive/DriveData.h"

namespace cardamor {

void noteWriteCompletion(DriveData& drive, uint64_t cmdId) {
  if (drive.completionNumber == nullptr) return;
  auto& recent = drive.recentWriteCompletions;
  recent.emplace_back(*drive.completionNumber, cmdId);
  if (recent.size() > kSliceSyncWindow) {
    drive.forgottenCompletions = std::max(drive.forgottenCompletions, recent.front().first);
    recent.pop_front();
  }
}

void applySliceSync(DriveData& drive, uint64_t synced) {
  // A sync covering only forgotten completions may have come after writes the window no longer
  // shows completing late: it is dropped rather than guessed.
  if (synced == 0 || synced < drive.forgottenCompletions) return;
  // The first write the sync may not cover: one still in flight, one whose completion came after
  // it was sent, or the next one this slice sends. Everything below it completed before.
  uint64_t bound = drive.nextCmdId;
  for (const WriteRecord& write : drive.outstandingWrites) bound = std::min(bound, write.cmdId);
  for (const auto& [number, cmdId] : drive.recentWriteCompletions)
    if (number > synced) bound = std::min(bound, cmdId);
  // The exceptions below the bound (writes in flight at an own sync) all completed since.
  auto& unsynced = drive.unsyncedBelowCmdIds;
  unsynced.erase(unsynced.begin(), std::lower_bound(unsynced.begin(), unsynced.end(), bound));
  if (bound > drive.syncedBelowCmdId) {
    drive.syncedBelowCmdId = bound;
    unsynced.clear();
  }
  // Completions it covered are never needed again: a later sync covers at least as much.
  auto& recent = drive.recentWriteCompletions;
  while (!recent.empty() && recent.front().first <= synced) {
    drive.forgottenCompletions = std::max(drive.forgottenCompletions, recent.front().first);
    recent.pop_front();
  }
}

}  // namespace cardamor
