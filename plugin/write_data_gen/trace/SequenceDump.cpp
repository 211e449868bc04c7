#include "trace/SequenceDump.h"

#include "trace/CommandTrace.h"
#include "trace/OutputFile.h"
#include "varnox/DriveThread.h"
#include "varnox/EventLog.h"

namespace cardamor {
namespace {

constexpr int kErrNoDumpFile = -1052;
constexpr uint64_t kAllOnes = ~uint64_t{0};

const char* dumpName(TraceEventKind kind) {
  switch (kind) {
    case TraceEventKind::WriteIssued: return "Write_Issued";
    case TraceEventKind::WriteFinished: return "Write_Finished";
    case TraceEventKind::WriteAborted: return "Write_ABORTED";
    case TraceEventKind::WriteAtomicIssued: return "WriteAtomic_Issued";
    case TraceEventKind::WriteSameIssued: return "WriteSame_Issued";
    case TraceEventKind::TrimIssued: return "Trim_Issued";
    case TraceEventKind::PreReadIssued: return "Pre-Read_Issued";
    case TraceEventKind::ReadIssued: return "Read_Issued";
    case TraceEventKind::ReadFinished: return "Read_Finished";
    case TraceEventKind::ReadAborted: return "Read_ABORTED";
    case TraceEventKind::VerifyIssued: return "Verify_Issued";
    case TraceEventKind::VerifyFinished: return "Verify_Finished";
    case TraceEventKind::VerifyAborted: return "Verify_ABORTED";
    case TraceEventKind::Miscompare: return "Miscompare";
    case TraceEventKind::WriteSplice: return "Write Splice";
    case TraceEventKind::RecvOutOfOrder: return "Recv Out Of Order";
    case TraceEventKind::InvalidateRange: return "Invalidate Range";
    case TraceEventKind::ZoneReset: return "Zone Reset";
    default: return "Unknown";
  }
}

unsigned kcqValue(const varnox::Kcq& kcq) {
  return kcq.key * 65536u + kcq.code * 256u + kcq.qual;
}
unsigned uec(const TraceEntry& e) { return e.bucket & 0xFFFFu; }

struct Selection {
  bool print;
  char mark;
};

// Whether a command-like event goes into the table, and its mark: ' ' when it contains the
// failing LBA, '*' when only its first or last LBA shares the failing LBA's media block.
Selection selectCommand(const TraceEntry& e, bool filtered, uint64_t missLba, uint64_t mediaMask) {
  if (e.lba <= missLba && missLba < e.lba + e.xferLength) return {true, ' '};
  if (mediaMask != kAllOnes) {
    const uint64_t block = missLba & mediaMask;
    const uint64_t last = e.lba + e.xferLength - 1;
    if ((e.lba & mediaMask) == block || (last & mediaMask) == block) return {true, '*'};
  }
  return {!filtered, ' '};
}

Selection select(const TraceEntry& e, bool filtered, bool shownAny, uint64_t missLba, uint64_t mediaMask) {
  switch (e.kind) {
    case TraceEventKind::PowerToggleOff:
    case TraceEventKind::PowerToggleOn:
    case TraceEventKind::SyncCacheIssued:
    case TraceEventKind::SyncCacheFinished:
      // Only meaningful in the filtered table once a command on the failing LBA is in view.
      return {!filtered || shownAny, ' '};
    case TraceEventKind::InvalidateRange:
    case TraceEventKind::ZoneReset:
      return {!filtered || (e.lba <= missLba && missLba <= e.cmdId), ' '};
    case TraceEventKind::Miscompare:
      // The engineer reading about one LBA wants its verdict row next to the commands that
      // touched it; miscompares of other LBAs stay in the full table.
      return {!filtered || e.lba == missLba, ' '};
    case TraceEventKind::RecvOutOfOrder:
      // About another command's timing (its lba field is a command id): it would only clutter
      // the per-LBA view, so the full table alone shows it.
      return {!filtered, ' '};
    default:
      return selectCommand(e, filtered, missLba, mediaMask);
  }
}

void printRow(FILE* out, unsigned idx, const TraceEntry& e, char mark) {
  const unsigned long long lba = e.lba;
  const unsigned long long cmdId = e.cmdId;
  const char* name = dumpName(e.kind);
  switch (e.kind) {
    case TraceEventKind::WriteIssued:
    case TraceEventKind::WriteAtomicIssued:
    case TraceEventKind::WriteSameIssued:
      std::fprintf(out, "%6u  %-10llu  0x%02X  %-18s  0x%016llX  0x%04X  0x%06X                 %c\n", idx, cmdId,
                   e.tag, name, lba, e.xferLength, e.bucket, mark);
      break;
    case TraceEventKind::WriteFinished:
    case TraceEventKind::ReadFinished:
    case TraceEventKind::VerifyFinished:
      std::fprintf(out, "%6u  %-10llu  0x%02X  %-18s  0x%016llX  0x%04X            0x%04X  %06X %c\n", idx, cmdId,
                   e.tag, name, lba, e.xferLength, uec(e), kcqValue(e.kcq), mark);
      break;
    case TraceEventKind::WriteAborted:
    case TraceEventKind::TrimIssued:
    case TraceEventKind::PreReadIssued:
    case TraceEventKind::ReadAborted:
    case TraceEventKind::VerifyAborted:
      std::fprintf(out, "%6u  %-10llu  0x%02X  %-18s  0x%016llX  0x%04X                           %c\n", idx, cmdId,
                   e.tag, name, lba, e.xferLength, mark);
      break;
    case TraceEventKind::ReadIssued:
    case TraceEventKind::VerifyIssued:
      std::fprintf(out, "%6u  %-10llu  0x%02X  %-18s  0x%016llX  0x%04X %c0x%06X                 %c\n", idx, cmdId,
                   e.tag, name, lba, e.xferLength, e.invalidated ? '!' : ' ', e.bucket, mark);
      break;
    case TraceEventKind::Miscompare:
      std::fprintf(out, "%6u  %-10llu        %-18s  0x%016llX   drive  0x%06X\n %61s reference %c0x%06X\n", idx, cmdId,
                   name, lba, e.tag, " ", e.invalidated ? '!' : ' ', e.bucket);
      break;
    case TraceEventKind::WriteSplice:
      std::fprintf(out, "%6u                    %-18s  0x%016llX                    0x%04X  %06X\n", idx, name, lba, uec(e),
                   kcqValue(e.kcq));
      break;
    case TraceEventKind::RecvOutOfOrder:
      std::fprintf(out, "%6u  %-10llu  0x%02X  %-18s  CmdID %-10llu\n", idx, cmdId, e.tag, name, lba);
      break;
    case TraceEventKind::PowerToggleOff:
      std::fprintf(out, "%6u                    Power Toggle Off %10u ms\n", idx, e.tag);
      break;
    case TraceEventKind::PowerToggleOn:
      std::fprintf(out, "%6u                    Power Toggle On  %10u ms\n", idx, e.tag);
      break;
    case TraceEventKind::SyncCacheIssued:
      std::fprintf(out, "%6u              0x%02X  Sync Cache Issued\n", idx, e.tag);
      break;
    case TraceEventKind::SyncCacheFinished:
      std::fprintf(out, "%6u              0x%02X  Sync Cache Finished  %36s 0x%04X  %06X\n", idx, e.tag, " ", uec(e),
                   kcqValue(e.kcq));
      break;
    case TraceEventKind::InvalidateRange:
    case TraceEventKind::ZoneReset:
      std::fprintf(out, "%6u                    %-18s  0x%016llX - 0x%016llX\n", idx, name, lba, cmdId);
      break;
    default:
      std::fprintf(out, "%6u  %-10llu  0x%02X  0x%02hhX %-13s  0x%016llX  0x%04X  0x%06X  0x%04X  %06X\n", idx, cmdId,
                   e.tag, static_cast<unsigned char>(e.kind), name, lba, e.xferLength, e.bucket, uec(e),
                   kcqValue(e.kcq));
      break;
  }
}

}  // namespace

void printSequence(const CommandTrace* trace, FILE* stream, bool filtered, bool miscompare, uint64_t missLba,
                   uint64_t mediaMask) {
  if (filtered && miscompare) {
    std::fprintf(stream, "Dump of all commands that include the miscompare LBA 0x%016llX:\n",
                 static_cast<unsigned long long>(missLba));
    if (mediaMask != kAllOnes) std::fputs(" * indicates media block overlap\n", stream);
    std::fputs("\n", stream);
  } else {
    std::fputs("\nDump of the full command sequence:\n\n", stream);
  }
  std::fputs("   Idx  CmdID       TAG   COMMAND             LBA                 TL      BUCKET    UEC     KCQ\n",
             stream);
  std::fputs(std::string(98, '-').c_str(), stream);
  std::fputs("\n", stream);
  if (!trace) return;

  bool shownAny = false;
  const uint64_t retained = trace->retainedCount();
  for (uint64_t i = 0; i < retained; ++i) {
    const TraceEntry& e = trace->chronological(i);
    const Selection s = select(e, filtered, shownAny, missLba, mediaMask);
    if (!s.print) continue;
    shownAny = true;
    printRow(stream, static_cast<unsigned>(i), e, s.mark);
  }
}

int dumpSequence(const CommandTrace* trace, varnox::DriveThread* thread, std::string& path, bool miscompare,
                 uint64_t missLba, uint64_t mediaMask) {
  varnox::EventLog& log = thread->eventLog();
  int status = 0;
  FILE* out = openUniqueFile(path, "w", status, OPEN_FALLBACK | OPEN_UNIQUE | OPEN_CREATE_DIRS);
  if (status == kOpenStatusFallback) log.logf(2, "Could not use specifed file path, using temp file instead");
  if (!out) {
    log.logf(2, "Could not open the file '%s' to dump the bucket compare command sequence", path.c_str());
    return kErrNoDumpFile;
  }
  if (miscompare) printSequence(trace, out, true, miscompare, missLba, mediaMask);
  if (trace && !trace->context_text().empty()) std::fprintf(out, "\n%s", trace->context_text().c_str());
  printSequence(trace, out, false, miscompare, missLba, mediaMask);
  std::fclose(out);
  log.logf(miscompare ? 2 : 0, "Bucket compare command sequence saved to '%s'", path.c_str());
  return status;
}

}  // namespace cardamor
