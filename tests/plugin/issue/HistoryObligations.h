#pragma once
// Walks a drive's LBA history and reports every record that no outstanding obligation refers
// to: after any sequence of resets and power toggles each record the history still holds must
// lie in the range of an outstanding command, a pending read-back or a finished pre-read, or be
// the block of a write lost in a reset without a read-back: that write's obligation stays with
// the block, whose content is unknown from then on.
#include <string>
#include <vector>

#include "drive/DriveData.h"

namespace varnox::testing {
using cardamor::AtomicContext;

inline std::vector<std::string> orphanedHistoryRecords(const cardamor::DriveData& drive, uint64_t step = 1) {
  auto covers = [step](uint64_t lba, uint64_t start, uint32_t length) {
    return lba >= start && lba < start + step * length && (lba - start) % step == 0;
  };
  std::vector<std::string> orphans;
  drive.atomicContext.forEachRecord([&](uint64_t lba, const AtomicContext::Record& record) {
    bool referred = false;
    for (const auto& w : drive.outstandingWrites) referred |= covers(lba, w.lba, w.xferLength);
    for (const auto& r : drive.outstandingReads) referred |= covers(lba, r.lba, r.xferLength);
    for (const auto& v : drive.outstandingVerifies) referred |= covers(lba, v.lba, v.xferLength);
    for (const auto& p : drive.outstandingPreReads) referred |= covers(lba, p.lba, p.xferLength);
    for (const auto& p : drive.finishedPreReads) referred |= covers(lba, p.lba, p.xferLength);
    for (const auto& q : drive.pendingReadBacks) referred |= covers(lba, q.lba, q.xferLength);
    referred |=
        drive.atomicContext.lookup(lba).blockNum == AtomicContext::INVALID_BUCKET && record.ref_count > 0;
    // A count that went below zero wraps to a huge value.
    const bool sane = record.ref_count < (1ULL << 32);
    if (!referred || !sane || (record.ref_count == 0 && record.wait_read == AtomicContext::kNoSlot)) {
      orphans.push_back("LBA " + std::to_string(lba) + " ref_count " + std::to_string(record.ref_count));
    }
  });
  return orphans;
}

}  // namespace varnox::testing
