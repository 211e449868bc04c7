#include "completion/Dispatch.h"

#include "completion/Receive.h"
#include "drive/DriveData.h"
#include "trace/CommandTrace.h"

namespace cardamor {

namespace {
constexpr uint32_t kNoTag = 0xFFFFFFFF;
constexpr uint32_t kNoCompletion = 0xFFFFFFFF;
}  // namespace

int dispatchCompletion(varnox::DriveThread& thread, DriveData& drive, const ConfigData& config) {
  drive.syncCacheSucceeded = false;
  const uint32_t tag = *drive.lastTagId;
  TagState state;
  // lastCommand answers an empty state for a tag beyond the table, so a tag the host should
  // never report (1024 or more) is simply not dispatched.
  if (tag != kNoTag && drive.commandTrace != nullptr) state = drive.commandTrace->lastCommand(tag);
  const auto kind = static_cast<uint8_t>(state.kind);
  if (*drive.lastStatusByte == kNoCompletion || drive.miscompareSeen || kind == 0 ||
      kind > static_cast<uint8_t>(TraceEventKind::SyncCacheIssued)) {
    return 0;
  }
  switch (state.kind) {
    case TraceEventKind::WriteIssued:
    case TraceEventKind::WriteAtomicIssued:
    case TraceEventKind::WriteSameIssued:
    case TraceEventKind::TrimIssued:
      return recvWrite(thread, drive, config, state);
    case TraceEventKind::PreReadIssued:
      return recvPreRead(thread, drive, config, state);
    case TraceEventKind::ReadIssued:
      return recvRead(thread, drive, config, state);
    case TraceEventKind::VerifyIssued:
      return recvVerify(thread, drive, config, state);
    case TraceEventKind::SyncCacheIssued:
      recvSyncCache(drive, config);
      return 0;
    default:
      return 0;  // a completion kind: this completion was handled in an earlier pass
  }
}

}  // namespace cardamor
