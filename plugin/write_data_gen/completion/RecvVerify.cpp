#include <algorithm>
#include <vector>

#include "base/ConfigData.h"
#include "completion/Diagnosis.h"
#include "completion/Miscompare.h"
#include "completion/Receive.h"
#include "completion/SenseInfo.h"
#include "drive/DriveData.h"
#include "issue/IssueCommon.h"
#include "patterns/BlockLayout.h"
#include "varnox/DriveThread.h"

namespace cardamor {

namespace {
constexpr uint32_t kStatusGood = 0x00;
constexpr uint32_t kStatusCheckCondition = 0x02;
constexpr uint32_t kStatusTaskAborted = 0x40;
constexpr uint32_t kBlockTypeAtomic = 2;

// MISCOMPARE DURING VERIFY OPERATION.
bool isVerifyMiscompare(const varnox::Kcq& kcq) {
  return kcq.key == 0x0E && kcq.code == 0x1D && kcq.qual == 0x00;
}
}  // namespace

int recvVerify(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config,
               const TagState& /*state*/) {
  const uint32_t tag = *drive.lastTagId;
  auto found = drive.outstandingVerifies.begin();
  while (found != drive.outstandingVerifies.end() && found->tag != tag) ++found;
  if (found == drive.outstandingVerifies.end()) {
    thread.eventLog().logf(2, "recvVerify(): couldn't find verify");
    return -1200;
  }
  const VerifyRecord verify = *found;
  drive.outstandingVerifies.erase(found);

  // The block the drive found different, from the sense information (the byte offset of the
  // first difference in the data sent), and its history while the verify still holds it.
  uint32_t differingBlock = 0;
  bool differingKnown = false;
  std::vector<AtomicContext::Event> differingHistory;
  SenseInfo early;
  const bool miscompared = *drive.lastStatusByte == kStatusCheckCondition && decodeSense(drive, early) &&
                           early.kcq.key != 1 && isVerifyMiscompare(early.kcq);
  if (miscompared) {
    uint64_t offset = 0;
    differingKnown = senseInformation(drive, offset) && thread.sectorSize() != 0;
    if (differingKnown)
      differingBlock = static_cast<uint32_t>(std::min<uint64_t>(offset / thread.sectorSize(),
                                                                verify.xferLength ? verify.xferLength - 1 : 0));
    differingHistory = historyOf(drive.atomicContext, verify.lba + differingBlock);
  }
  int64_t firstInvalidated = -1;
  // With a miscompare expected, where the drive found the difference says more: every block
  // before it matched the data sent, and an invalidated one whose old content is certain must not
  // have (the other writer's command never reached it); a block of ours with certain content
  // must not differ there. Departs from taking any miscompare as the one expected, which passed a
  // lost foreign write ahead of the block that differed, and a wrong block of ours.
  int64_t matchedInvalidated = -1;
  bool ownBlockDiffers = false;

  int result = 0;
  bool outcomeUnknown = false;
  bool contentLost = false;  // a write that raced the verify failed: its blocks are unknown now
  bool expect = verify.expectMiscompare != 0;
  // A verify always covers consecutive LBAs, whatever "Use Skip Commands" says. On a miscompare
  // the blocks keep their read-back obligation until it is known whether the verify is excused.
  uint32_t released = 0;
  for (uint32_t i = 0; i < verify.xferLength; ++i) {
    const uint64_t lba = verify.lba + i;
    const auto view = drive.atomicContext.readFinished(verify.cmdId, lba, miscompared);
    if (view.status == 0) ++released;
    if (view.status != 0) {
      thread.eventLog().logf(2, "Could not find Read LBA in Hash Table at LBA 0x%016lx",
                             static_cast<unsigned long>(lba));
      result = view.status;
    }
    // A block whose content is open (a write that failed, one a power loss may have taken back)
    // excuses a miscompare only where the drive found the difference: when the sense names the
    // block, the other blocks of the range are not excused by it.
    if ((view.blockNum == INVALID_BUCKET || view.blockType == kBlockTypeAtomic) && (!differingKnown || i == differingBlock))
      outcomeUnknown = true;
    if (view.blockNum == INVALID_BUCKET) contentLost = true;
    if (view.invalidated) expect = true;
    if (view.invalidated && firstInvalidated < 0) firstInvalidated = i;
    const bool certain = view.blockNum != INVALID_BUCKET && view.blockType == AtomicContext::kBlockNormal;
    if (differingKnown && certain && i < differingBlock && view.invalidated && matchedInvalidated < 0)
      matchedInvalidated = i;
    if (differingKnown && certain && i == differingBlock && !view.invalidated) ownBlockDiffers = true;
    if (view.status != 0) break;
  }

  bool driveSaysMiscompare = false;
  // Whether the drive compared the blocks and found them equal: GOOD, or an error it recovered
  // itself. Only that contradicts an expected miscompare; a medium or hardware error says
  // nothing of the data and is the device's failure, handled as for a read.
  bool driveSaysMatch = false;
  SenseInfo sense;
  const uint32_t status = *drive.lastStatusByte;
  if (status == kStatusCheckCondition) {
    // Decoded like any error; a miscompare the device says it corrected is none.
    const bool decoded = decodeSense(drive, sense);
    if (decoded && sense.kcq.key != 1) driveSaysMiscompare = isVerifyMiscompare(sense.kcq);
    driveSaysMatch = decoded && sense.kcq.key == 1;
  } else if (status == kStatusGood) {
    driveSaysMatch = true;
  } else if (status == kStatusTaskAborted) {
    // Not repeated, and not an error even when a block had lost its registration.
    drive.commandTrace->recordVerifyAborted(verify.lba, verify.xferLength, verify.cmdId, tag);
    return 0;
  }
  drive.commandTrace->recordVerifyFinished(verify.lba, verify.xferLength, verify.cmdId, tag, sense.uec,
                                           sense.kcq);

  // A verify-only flow cannot read instead of verifying a range with a write in flight (see the
  // issue side); the drive may have run that write before or after the verify, or lost it, so
  // its miscompare says nothing until the write is done.
  const bool raced =
      driveSaysMiscompare && overlapsOutstandingWrite(drive, config, verify.lba, verify.xferLength, verify.cmdId);
  if (raced) outcomeUnknown = true;
  // Judged only where nothing raced the verify and no block's content was left open by a failed write.
  const bool invalidatedMatched = expect && driveSaysMiscompare && !raced && !contentLost && matchedInvalidated >= 0;
  if (invalidatedMatched) firstInvalidated = matchedInvalidated;
  if (expect && driveSaysMiscompare && !raced && !contentLost && !invalidatedMatched && ownBlockDiffers)
    expect = false;
  // A miscompare excused for a race checked nothing, and the verify may have been the only
  // read-back its blocks were owed (a verify-only flow verifies a write while it is still
  // outstanding): the range is verified again, after what is queued now, so that a wrong block
  // it hid is still found. Otherwise the obligations kept above are given up, as a finished
  // verify meets them. (Blocks an atomic write may or may not hold would only miscompare again.)
  const bool verifyAgain = driveSaysMiscompare && !expect && (raced || contentLost);
  if (verifyAgain) {
    drive.pendingReadBacks.push_back(ReadBackRequest{0, verify.lba, verify.xferLength, 0, 0, 0});
  } else if (miscompared) {
    for (uint32_t i = 0; i < released; ++i) drive.atomicContext.readSkip(verify.lba + i);
  }

  const unsigned long long lba = verify.lba;
  const unsigned length = verify.xferLength;
  if (driveSaysMiscompare && !outcomeUnknown && !expect) {
    thread.eventLog().logf(
        2, "Miscompare Detected with a Verify command at LBA 0x%016llX Transfer Length 0x%03X", lba, length);
  } else if ((driveSaysMatch || invalidatedMatched) && expect) {
    thread.eventLog().logf(
        2, "Miscompare was expected from Verify command at LBA 0x%016llX Transfer Length 0x%03X", lba,
        length);
  } else {
    // No miscompare. This includes the drive reporting one while one was expected and every
    // block had a known content: an externally invalidated block is meant to differ from
    // what it held before, so the drive's miscompare is the expected outcome, just as the
    // read side accepts a difference on such a block.
    if (result != 0)
      thread.eventLog().logf(2, "recvVerify(): %s (%d)", varnox::EventLog::errStr(result), result);
    return result;
  }
  reportMiscompare(thread, drive, config, verify.lba, 0, 0, verify.cmdId, expect ? 1 : 0);
  if (driveSaysMiscompare && !invalidatedMatched) {
    Diagnosis& d = startDiagnosis(drive, "verify", verify.lba + differingBlock, verify.cmdId);
    if (d.kind.empty() && !d.awaitingReadBack)
      awaitVerifyBlock(thread, drive, d, std::move(differingHistory), verify.cmdId);
  } else {
    Diagnosis& d =
        startDiagnosis(drive, "verify", verify.lba + static_cast<uint64_t>(std::max<int64_t>(firstInvalidated, 0)),
                       verify.cmdId);
    if (d.kind.empty()) {
      d.kind = "stale";
      d.text = "the drive matched the data this block held before it was invalidated: the invalidation never "
               "reached the medium";
      d.noReferenceFile = "an invalidated block has no expected content, only the old one it must not hold";
      if (drive.diagnosisReadLba) *drive.diagnosisReadLba = d.lba;
      d.awaitingReadBack = true;
    }
  }
  thread.eventLog().logf(2, "recvVerify(): %s (%d)", varnox::EventLog::errStr(-1046), -1046);
  return -1046;
}

}  // namespace cardamor
