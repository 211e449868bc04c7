#pragma once
// Test helpers that build history events and walk an AtomicContext's records and histories, so
// that any test driving the agent can show what an LBA's history holds and that no record, event
// or wait entry leaked.
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "history/AtomicContext.h"

namespace varnox::test {
using cardamor::AtomicContext;

// An event as the history holds it, for tests that build snapshots by hand.
inline AtomicContext::Event makeEvent(uint8_t eventType, uint64_t cmdId, uint32_t blockType, uint32_t blockNum,
                                      uint32_t atomicIndex = 0, uint32_t atomicLength = 0) {
  AtomicContext::Event e;
  e.eventType = eventType;
  e.cmdId = cmdId;
  e.blockType = blockType;
  e.blockNum = blockNum;
  e.atomicIndex = atomicIndex;
  e.atomicLength = atomicLength;
  return e;
}

// Copies of the LBA's history, newest first (empty when the LBA has no record).
inline std::vector<AtomicContext::Event> historyOf(const AtomicContext& context, uint64_t lba) {
  std::vector<AtomicContext::Event> events;
  if (const AtomicContext::Record* record = context.findRecord(lba)) {
    for (const AtomicContext::Event* e = context.eventAt(record->history); e; e = context.eventAt(e->next)) {
      events.push_back(*e);
    }
  }
  return events;
}

// The cmdIds of the LBA's history, newest first.
inline std::vector<uint64_t> historyCmdIds(const AtomicContext& context, uint64_t lba) {
  std::vector<uint64_t> ids;
  for (const AtomicContext::Event& e : historyOf(context, lba)) ids.push_back(e.cmdId);
  return ids;
}

// Number of reads registered on the LBA and not yet finished.
inline size_t waitingReads(const AtomicContext& context, uint64_t lba) {
  size_t count = 0;
  if (const AtomicContext::Record* record = context.findRecord(lba)) {
    for (const AtomicContext::WaitRead* w = context.waitAt(record->wait_read); w;
         w = context.waitAt(w->next)) {
      ++count;
    }
  }
  return count;
}

// One line per record still held ("lba 0x1f40 ref_count 1 events 2 waits 0"), plus pool slots in
// use that no record accounts for. Empty when the history is clean:
//   EXPECT_EQ(leftovers(drive.atomicContext), "");
inline std::string leftovers(const AtomicContext& context) {
  std::ostringstream out;
  size_t events = 0;
  size_t waits = 0;
  context.forEachRecord([&](uint64_t lba, const AtomicContext::Record& record) {
    size_t e = historyOf(context, lba).size();
    size_t w = waitingReads(context, lba);
    events += e;
    waits += w;
    out << "lba 0x" << std::hex << lba << std::dec << " ref_count " << record.ref_count << " events " << e
        << " waits " << w << '\n';
  });
  if (context.eventsInUse() != events)
    out << "events in use " << context.eventsInUse() << " not in any history\n";
  if (context.waitsInUse() != waits)
    out << "wait entries in use " << context.waitsInUse() << " not on any record\n";
  return out.str();
}

}  // namespace varnox::test
