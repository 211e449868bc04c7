#pragma once
// The printed history of one LBA as a failing read saw it: a title, a column heading, a dashed
// line and one line per event of the LBA's snapshot Node, newest first, the observed event marked
// "  *observed*". Empty when the snapshot has no Node for the LBA. Changes nothing.
#include <cstdint>
#include <string>

#include "history/ReadSnapshot.h"

namespace cardamor {

std::string historyReport(const ReadSnapshot& snapshot, uint64_t lba);

}  // namespace cardamor
