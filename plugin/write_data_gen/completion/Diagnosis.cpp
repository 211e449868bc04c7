#include "completion/Diagnosis.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "base/ByteBuffer.h"
#include "base/ConfigData.h"
#include "completion/ReferenceBlock.h"
#include "drive/DriveData.h"
#include "drive/PendingCompare.h"
#include "history/ReadSnapshot.h"
#include "patterns/BlockLayout.h"
#include "varnox/DriveThread.h"

namespace cardamor {
namespace {

using Event = AtomicContext::Event;
using Block = std::vector<uint8_t>;

std::string hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%" PRIX64, v);
  return text;
}

// The block an event put on the medium, or empty when its content cannot be predicted.
Block contentOf(DriveData& drive, const Event& e, uint64_t sectorSize) {
  if (e.eventType != AtomicContext::kEventWrite && e.eventType != AtomicContext::kEventAtomic) return {};
  const uint8_t* bytes =
      referenceBlock(drive, e.blockNum, sectorSize, e.embedded, e.embeddedCmdId, e.embeddedLba);
  return bytes ? Block(bytes, bytes + sectorSize) : Block{};
}

// Where the trace still shows a write: "issued at trace Idx a, completed at Idx b".
std::string whenInTrace(const CommandTrace* trace, uint64_t cmdId) {
  if (trace == nullptr) return {};
  int64_t issued = -1, done = -1;
  for (uint64_t i = 0; i < trace->retainedCount(); ++i) {
    const TraceEntry& e = trace->chronological(i);
    if (e.cmdId != cmdId) continue;
    switch (e.kind) {
      case TraceEventKind::WriteIssued:
      case TraceEventKind::WriteAtomicIssued:
      case TraceEventKind::WriteSameIssued:
      case TraceEventKind::TrimIssued: issued = static_cast<int64_t>(i); break;
      case TraceEventKind::WriteFinished:
      case TraceEventKind::WriteAborted: done = static_cast<int64_t>(i); break;
      default: break;
    }
  }
  if (issued < 0 && done < 0) return "no longer in the trace";
  std::string text = issued >= 0 ? "issued at trace Idx " + std::to_string(issued) : "issued before the trace";
  text += done >= 0 ? ", completed at Idx " + std::to_string(done) : ", never completed";
  return text;
}

size_t commonPrefix(const uint8_t* a, const uint8_t* b, size_t n) {
  size_t i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}
size_t commonSuffix(const uint8_t* a, const uint8_t* b, size_t n) {
  size_t i = 0;
  while (i < n && a[n - 1 - i] == b[n - 1 - i]) ++i;
  return i;
}

// A header the agent could have written: an identifier of 1 to 8 bytes, a bucket number in range,
// and, for an LBA of this instance's own range, a command it has issued so far. A header naming
// an LBA outside [MinLBA, MaxLBA] was written by another instance on the same device (the next
// slice of a drive split into slices), which numbers its commands from 1 on its own: its
// identifier says nothing about ours and is taken on its form alone.
bool validHeader(const uint8_t* block, const BlockHeader& header, const DriveData& drive) {
  const bool ours = drive.minLba == nullptr || drive.maxLba == nullptr ||
                    (header.embedLba >= *drive.minLba && header.embedLba <= *drive.maxLba);
  return block[16] >= 1 && block[16] <= 8 && header.embedCmdId != 0 &&
         (!ours || header.embedCmdId < drive.nextCmdId) && header.bucket < kBucketLimit;
}

}  // namespace

Diagnosis& startDiagnosis(DriveData& drive, const char* failure, uint64_t lba, uint64_t checkCmdId) {
  if (!drive.diagnosis) {
    drive.diagnosis.reset(new (std::nothrow) Diagnosis());
    if (!drive.diagnosis) {
      static thread_local Diagnosis spare;  // no memory: the run still ends, undiagnosed
      return spare = Diagnosis{};
    }
    drive.diagnosis->failure = failure;
    drive.diagnosis->lba = lba;
    drive.diagnosis->checkCmdId = checkCmdId;
  }
  return *drive.diagnosis;
}

const Event* expectedEventOf(const AtomicContext::Node& node) {
  for (const Event& e : node.history) {
    if (e.eventType == AtomicContext::kEventExternalInvalidate) continue;
    if (node.observed ? &e == node.observed : e.blockType != AtomicContext::kBlockAtomic) return &e;
  }
  return nullptr;
}

std::vector<Event> historyOf(const AtomicContext& context, uint64_t lba) {
  std::vector<Event> events;
  const AtomicContext::Record* record = context.findRecord(lba);
  for (const Event* e = record ? context.eventAt(record->history) : nullptr; e; e = context.eventAt(e->next))
    events.push_back(*e);
  return events;
}

void captureBytes(ByteBuffer& buffer, const uint8_t* bytes, uint64_t length) {
  if (!buffer.ownsData) {
    buffer.data = nullptr;
    buffer.capacity = 0;
    buffer.size = 0;
  }
  if (buffer.grow(length) != 0) return;
  std::memcpy(buffer.data, bytes, length);
  buffer.size = length;
}

void diagnoseBlock(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config, Diagnosis& d,
                   uint64_t lba, const uint8_t* block, const std::vector<Event>& history,
                   const Event* expected) {
  const size_t n = thread.sectorSize();
  const Block reference = expected ? contentOf(drive, *expected, n) : Block{};
  if (expected) d.expectedCmdId = expected->cmdId;
  std::string expectedName = expected ? "command " + std::to_string(expected->cmdId) : "the expected content";
  if (expected && expected->eventType == AtomicContext::kEventHash)
    expectedName = "the content pre-read " + std::to_string(expected->cmdId) + " saw";
  if (!reference.empty()) {
    d.bytes = 0;
    for (size_t i = 0; i < n; ++i) {
      if (block[i] == reference[i]) continue;
      if (d.bytes++ == 0) d.offset = static_cast<int64_t>(i);
    }
  }
  const std::string differ =
      d.offset < 0 ? "" : d.bytes == 1 ? "1 byte differs at offset " + std::to_string(d.offset)
                                       : std::to_string(d.bytes) + " bytes differ from offset " + std::to_string(d.offset);

  if (std::all_of(block, block + n, [](uint8_t b) { return b == 0; })) {
    d.kind = "lost";
    d.text = "the block reads as zeros: " + expectedName + "'s data never reached it (a lost write, or an unmapped block)";
    return;
  }
  // An older write of this LBA, byte for byte; or part of it behind or ahead of the expected data.
  for (const Event& e : history) {
    if (expected && e.cmdId >= expected->cmdId) continue;
    const Block old = contentOf(drive, e, n);
    if (old.empty()) continue;
    if (std::memcmp(old.data(), block, n) == 0) {
      d.kind = "stale";
      d.foundCmdId = e.cmdId;
      d.text = "the block holds an older write of this LBA, command " + std::to_string(e.cmdId) + " (" +
               whenInTrace(drive.commandTrace.get(), e.cmdId) + "), instead of " + expectedName;
      return;
    }
    if (reference.empty() || d.bytes <= 1) continue;
    const size_t newHead = commonPrefix(block, reference.data(), n), oldTail = commonSuffix(block, old.data(), n);
    const size_t oldHead = commonPrefix(block, old.data(), n), newTail = commonSuffix(block, reference.data(), n);
    const bool newFirst = newHead + oldTail >= n && newHead > 0 && oldTail > 0;
    if (newFirst || (oldHead + newTail >= n && oldHead > 0 && newTail > 0)) {
      const size_t boundary = newFirst ? n - oldTail : oldHead;
      d.kind = "torn";
      d.foundCmdId = e.cmdId;
      d.text = "bytes 0 to " + std::to_string(boundary - 1) + " are command " +
               std::to_string(newFirst ? expected->cmdId : e.cmdId) + "'s and the rest command " +
               std::to_string(newFirst ? e.cmdId : expected->cmdId) + "'s: one write landed over part of another";
      return;
    }
  }
  const BlockHeader header = parseBlockHeader(block);
  const bool headerValid = validHeader(block, header, drive) && (config.embedData || (expected && expected->embedded));
  const bool namesExpected = headerValid && expected && expected->embedded && header.embedLba == lba &&
                             header.embedCmdId == expected->embeddedCmdId;
  // A flipped byte may fall into the header; one byte off is corruption wherever it lies.
  if (!reference.empty() && (namesExpected || d.bytes == 1)) {
    d.kind = "corrupted";
    d.text = (namesExpected ? "the header names this LBA and " + expectedName + ", but "
                            : "the block is " + expectedName + "'s data, but ") + differ;
    return;
  }
  if (headerValid && header.embedLba != lba) {
    d.kind = "misdirected";
    d.foundCmdId = header.embedCmdId;
    d.foundLba = static_cast<int64_t>(header.embedLba);
    d.text = "the block carries LBA " + hex(header.embedLba) + " and command " + std::to_string(header.embedCmdId) +
             ": data meant for LBA " + hex(header.embedLba) + " landed here; where this LBA's own data went is unknown";
    return;
  }
  if (headerValid && (!expected || header.embedCmdId < expected->cmdId)) {
    d.kind = "stale";
    d.foundCmdId = header.embedCmdId;
    d.text = "the header names an older write of this LBA, command " + std::to_string(header.embedCmdId) + " (" +
             whenInTrace(drive.commandTrace.get(), header.embedCmdId) + "), instead of " + expectedName;
    return;
  }
  d.kind = "unrecognisable";
  d.text = headerValid ? "the header names this LBA and command " + std::to_string(header.embedCmdId) +
                             ", which the history does not expect"
                       : "the block has no valid header";
  if (!differ.empty()) d.text += "; " + differ + " of " + expectedName + "'s data";
}

void diagnoseReadBlock(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config,
                       uint64_t checkCmdId, uint64_t lba, const uint8_t* block,
                       const AtomicContext::Node& node, bool invalidated) {
  Diagnosis& d = startDiagnosis(drive, "read", lba, checkCmdId);
  if (!d.kind.empty()) return;
  const Event* expected = expectedEventOf(node);
  if (invalidated) {
    d.kind = "stale";
    if (expected) d.expectedCmdId = expected->cmdId;
    d.text = "the block still holds the data it held before it was invalidated: the invalidation never reached "
             "the medium";
    return;
  }
  diagnoseBlock(thread, drive, config, d, lba, block, node.history, expected);
}

void diagnoseHashBlock(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config,
                       const char* failure, uint64_t checkCmdId, uint64_t lba, const uint8_t* block,
                       const std::vector<Event>& history, const Event* expected) {
  Diagnosis& d = startDiagnosis(drive, failure, lba, checkCmdId);
  if (!d.kind.empty()) return;
  if (drive.miscompareDriveBytes) captureBytes(*drive.miscompareDriveBytes, block, thread.sectorSize());
  if (drive.miscompareReferenceBytes) drive.miscompareReferenceBytes->size = 0;
  d.noReferenceFile = "the expected content is known only by the hash a pre-read took" +
                      (expected ? " (" + hex(expected->hashValue) + ")" : std::string());
  diagnoseBlock(thread, drive, config, d, lba, block, history, expected);
}

void diagnoseTornUnit(varnox::DriveThread& thread, DriveData& drive, const PendingCompare& pending,
                      uint64_t stride, uint64_t failLba) {
  Diagnosis& d = startDiagnosis(drive, "atomic ordering", failLba, pending.cmdId);
  if (!d.kind.empty()) return;
  d.kind = "torn";
  const auto at = pending.snapshot.find(failLba);
  if (at == pending.snapshot.end()) return;
  const Event* old = at->second->observed;
  // The unit is the atomic write whose data the nearest block shows and that wrote this LBA too
  // (a newer atomic write seen next door may have covered only that block).
  const Event* unit = nullptr;
  uint64_t neighbour = failLba;
  auto unitOf = [&](const AtomicContext::Node& node) -> const Event* {
    const Event* e = node.observed;
    if (!e || e->eventType != AtomicContext::kEventAtomic || (old && e->cmdId <= old->cmdId)) return nullptr;
    for (const Event& h : at->second->history)
      if (h.cmdId == e->cmdId) return e;
    return nullptr;
  };
  for (auto b = at; !unit && b != pending.snapshot.begin();) {
    --b;
    if ((unit = unitOf(*b->second))) neighbour = b->first;
  }
  for (auto a = std::next(at); !unit && a != pending.snapshot.end(); ++a)
    if ((unit = unitOf(*a->second))) neighbour = a->first;
  const uint64_t sectorSize = thread.sectorSize();
  const uint64_t index = pending.step ? (failLba - pending.lba) / pending.step : 0;
  const uint8_t* block = nullptr;
  if (index * stride + sectorSize <= pending.data.size) block = pending.data.data + index * stride;
  if (block && drive.miscompareDriveBytes) captureBytes(*drive.miscompareDriveBytes, block, sectorSize);
  if (!block) d.noDriveFile = "the read returned less than a whole block at this LBA";
  Block reference;
  if (unit) {
    d.expectedCmdId = unit->cmdId;
    for (const Event& e : at->second->history)
      if (e.cmdId == unit->cmdId) reference = contentOf(drive, e, sectorSize);
  }
  if (!reference.empty() && drive.miscompareReferenceBytes)
    captureBytes(*drive.miscompareReferenceBytes, reference.data(), sectorSize);
  if (reference.empty()) {
    if (drive.miscompareReferenceBytes) drive.miscompareReferenceBytes->size = 0;
    d.noReferenceFile = "the history holds no data of the torn unit's write for this LBA";
  } else if (block) {
    d.bytes = 0;
    for (uint64_t i = 0; i < sectorSize; ++i)
      if (block[i] != reference[i] && d.bytes++ == 0) d.offset = static_cast<int64_t>(i);
  }
  std::string older = "older data";
  if (old) {
    d.foundCmdId = old->cmdId;
    // A pre-read's hash stands for whatever was there: the block's own header names the write.
    if (old->eventType == AtomicContext::kEventHash && block && validHeader(block, parseBlockHeader(block), drive))
      d.foundCmdId = parseBlockHeader(block).embedCmdId;
    older = "command " + std::to_string(d.foundCmdId) + "'s older data (" +
            whenInTrace(drive.commandTrace.get(), d.foundCmdId) + ")";
    if (old->eventType == AtomicContext::kEventHash && d.foundCmdId == old->cmdId)
      older = "the data from before the write (as pre-read " + std::to_string(old->cmdId) + " saw it)";
  }
  d.text = unit ? "atomic write " + std::to_string(unit->cmdId) + " landed only in part: this LBA holds " + older +
                      ", LBA " + hex(neighbour) + " next to it holds the new data (the boundary lies between them)"
                : "an atomic unit was torn: this LBA holds " + older + " inside the unit";
}

void awaitVerifyBlock(varnox::DriveThread& thread, DriveData& drive, Diagnosis& d, std::vector<Event> history,
                      uint64_t verifyCmdId) {
  d.history = std::move(history);
  for (const Event& e : d.history) {
    // Events issued after the verify are not what it compared against.
    if (e.cmdId >= verifyCmdId || e.eventType == AtomicContext::kEventExternalInvalidate) continue;
    d.expected = e;
    d.hasExpected = true;
    break;
  }
  const Block reference = d.hasExpected ? contentOf(drive, d.expected, thread.sectorSize()) : Block{};
  if (!reference.empty() && drive.miscompareReferenceBytes)
    captureBytes(*drive.miscompareReferenceBytes, reference.data(), reference.size());
  if (reference.empty()) d.noReferenceFile = "the history holds no predictable content for this block";
  if (drive.diagnosisReadLba) *drive.diagnosisReadLba = d.lba;
  d.awaitingReadBack = true;
}

void finishReadBack(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config) {
  Diagnosis* d = drive.diagnosis.get();
  if (d == nullptr || !d->awaitingReadBack) return;
  d->awaitingReadBack = false;
  const uint64_t sectorSize = thread.sectorSize();
  const varnox::Buffer* data = drive.diagnosisReadData;
  if (data == nullptr || data->data == nullptr || data->size < sectorSize) {
    d->noDriveFile = "the drive compared the block itself and it could not be read back afterwards";
    if (config.showstopOnMiscompare) d->noDriveFile += " (the showstop stopped the drive)";
    if (d->kind.empty()) d->kind = "unrecognisable";
    if (d->text.empty()) d->text = "the drive reported a difference, but its data could not be read";
    return;
  }
  if (drive.miscompareDriveBytes) captureBytes(*drive.miscompareDriveBytes, data->data, sectorSize);
  if (d->kind.empty())
    diagnoseBlock(thread, drive, config, *d, d->lba, data->data, d->history, d->hasExpected ? &d->expected : nullptr);
}

std::string diagnosisText(const Diagnosis* d, const std::string& dumpReason) {
  std::string text;
  auto add = [&text](const char* key, const std::string& value) {
    if (value.empty()) return;
    std::string flat = value;
    std::replace(flat.begin(), flat.end(), '\n', ' ');
    text += std::string(key) + "=" + flat + "\n";
  };
  if (d != nullptr) {
    add("failure", d->failure);
    add("class", d->kind);
    add("lba", std::to_string(d->lba));
    if (d->offset >= 0) add("offset", std::to_string(d->offset));
    if (d->offset >= 0) add("bytes", std::to_string(d->bytes));
    if (d->checkCmdId != 0) add("checkCmdId", std::to_string(d->checkCmdId));
    if (d->expectedCmdId != 0) add("expectedCmdId", std::to_string(d->expectedCmdId));
    if (d->foundCmdId != 0) add("foundCmdId", std::to_string(d->foundCmdId));
    if (d->foundLba >= 0) add("foundLba", std::to_string(d->foundLba));
    add("text", d->text);
    add("driveFile", d->driveFile);
    add("referenceFile", d->referenceFile);
    add("noDriveFile", d->noDriveFile);
    add("noReferenceFile", d->noReferenceFile);
  }
  add("dumpReason", dumpReason);
  return text;
}

}  // namespace cardamor
