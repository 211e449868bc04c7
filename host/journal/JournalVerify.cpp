// `varnox verify --journal DIR`: reopening the journal's drives, reading every journaled block
// and judging it (varnox/JournalVerify.h).
#include "varnox/JournalVerify.h"

#include <chrono>
#include <cstdio>
#include <fstream>

#include "varnox/BuiltinDevices.h"
#include "varnox/RunExitStatus.h"
#include "journal/JournalDiagnosis.h"
#include "journal/JournalIdentity.h"
#include "journal/JournalJudge.h"
#include "journal/JournalManifest.h"
#include "tavik/Cdb.h"
#include "tavik/Device.h"

namespace varnox {
namespace {

using namespace journal;

constexpr uint32_t kReadBlocks = 256;

// Reads `blocks` blocks from `lba` into `dest`; "" or why not.
std::string readBlocks(Device& device, uint64_t lba, uint32_t blocks, uint32_t blockBytes, uint8_t* dest) {
  DeviceCommand command;
  command.cdbLength = static_cast<uint32_t>(buildRead16(command.cdb, lba, blocks));
  command.dataIn = dest;
  command.dataInBytes = uint64_t{blocks} * blockBytes;
  char where[64];
  std::snprintf(where, sizeof(where), "the read of %u blocks from LBA 0x%016llX", blocks,
                static_cast<unsigned long long>(lba));
  if (device.submit(command) != 0) return std::string(where) + " was refused";
  DeviceCompletion completion;
  for (int tries = 0; !device.poll(completion, true); ++tries)
    if (tries > 100) return std::string(where) + " never completed";
  if (completion.status != kStatusGood) return std::string(where) + " failed with status " + std::to_string(completion.status);
  return "";
}

// Completed writes wait in a volatile cache until a sync: the drive's own, or the host's page
// cache when the host itself may lose power (a "host" journal) and the drive is reached through it.
bool volatileFor(const JournalDrive& drive, const std::string& journalSync) {
  if (drive.device.writeCache == "volatile") return true;
  return journalSync != "process" && drive.device.kind != "sim" && !drive.device.directIo;
}

std::string hexLba(uint64_t lba) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%016llX", static_cast<unsigned long long>(lba));
  return text;
}

void verifyDrive(const std::string& dir, const std::string& outputBase, const JournalManifest& manifest,
                 const JournalDrive& planned, DriveReport& report, JournalVerifyCounts& counts, int& exitStatus) {
  report.name = planned.name;
  report.device = planned.device.kind;
  report.path = planned.device.kind == "sim" && !planned.device.medium.empty() ? planned.device.medium
                                                                               : planned.device.kind;
  report.deviceSeed = planned.device.seed;
  counts.drive = planned.name;
  auto refuse = [&](int status, const std::string& why) {
    report.failureText = why;
    report.agentStatus = status;
    exitStatus = status;
  };
  JournalContents contents;
  std::string error;
  if (!readJournalFile(dir + "/" + planned.file, contents, error)) return refuse(kExitRefused, error);
  counts.records = contents.records.size();
  counts.tornTail = contents.tornTail;
  if (planned.device.kind == "sim" && planned.device.medium.empty()) {
    report.inconclusive = "drive " + planned.name +
                          " is a simulated drive without a medium file: what it held ended with its run, so it "
                          "cannot be verified";
    exitStatus = kExitInconclusive;
    return;
  }
  if (const std::string change = identityChange(planned.identity, planned.device); !change.empty())
    return refuse(kExitDeviceFailure, "drive " + planned.name + ": " + change);

  DeviceSpec settings = planned.device;
  settings.checkOnly = true;  // read-only: create, extend and fill nothing; a medium file is only read
  settings.precondition = false;
  settings.destroyData = false;
  int openStatus = kExitDeviceFailure;
  std::unique_ptr<Device> device = builtinDevices()->open(settings, settings.seed == 0 ? 1 : settings.seed, error, openStatus, {});
  if (!device) return refuse(openStatus, "drive " + planned.name + ": " + error);
  const DeviceGeometry& geometry = device->geometry();
  report.geometry = geometry;
  report.cache = planned.device.writeCache;
  const uint32_t bs = geometry.logicalBlockSize;
  if (bs != planned.logicalBlockSize || geometry.capacityBlocks < planned.capacityBlocks)
    return refuse(kExitDeviceFailure, "drive " + planned.name + ": " + planned.device.kind + " now has " +
                                          std::to_string(geometry.capacityBlocks) + " blocks of " + std::to_string(bs) +
                                          " bytes, the journal's run had " + std::to_string(planned.capacityBlocks) +
                                          " of " + std::to_string(planned.logicalBlockSize));

  const JournalJudge judge(contents.records, volatileFor(planned, manifest.journalSync), bs);
  counts.commands = judge.commands().size();
  const std::vector<uint64_t> lbas = judge.lbas();
  std::vector<uint64_t> held(lbas.size());
  std::vector<uint8_t> buffer(uint64_t{kReadBlocks} * bs);
  // Consecutive LBAs are read together; the block of the first failure is read again for its file.
  for (size_t i = 0; i < lbas.size();) {
    size_t n = 1;
    while (i + n < lbas.size() && n < kReadBlocks && lbas[i + n] == lbas[i] + n) ++n;
    if (const std::string why = readBlocks(*device, lbas[i], static_cast<uint32_t>(n), bs, buffer.data()); !why.empty())
      return refuse(kExitDeviceFailure, "drive " + planned.name + ": " + why);
    for (size_t k = 0; k < n; ++k) held[i + k] = blockHash(buffer.data() + k * bs, bs);
    i += n;
  }
  const std::vector<BlockJudgement> judged = judge.judge(lbas, held);
  counts.blocks = lbas.size();
  report.bytesVerified = counts.blocks * bs;
  std::unordered_map<uint64_t, HashOrigin> origins;
  for (size_t i = 0; i < lbas.size(); ++i) {
    if (judged[i].verdict == BlockVerdict::Held) ++counts.held;
    if (judged[i].verdict == BlockVerdict::Unknown) ++counts.unknown;
    if (judged[i].verdict != BlockVerdict::Wrong) continue;
    ++counts.wrong;
    if (counts.wrong > 1) continue;
    // The first wrong block: its diagnosis and the drive's bytes in a file.
    std::vector<uint8_t> block(bs);
    if (const std::string why = readBlocks(*device, lbas[i], 1, bs, block.data()); !why.empty())
      return refuse(kExitDeviceFailure, "drive " + planned.name + ": " + why);
    origins = hashOrigins(judge);
    report.diagnosis = diagnoseBlock(judge, lbas[i], block.data(), bs, held[i], judged[i], origins);
    report.failureText = "Journal verify failed at LBA " + hexLba(lbas[i]) + ": " + report.diagnosis["class"] + ": " +
                         report.diagnosis["text"];
    const std::string base = outputBase.empty() ? dir + "/" : outputBase;
    const std::string file = base + "verify_" + planned.name + "_lba_" + std::to_string(lbas[i]) + "_drive.bin";
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(block.data()), bs);
    if (out) {
      report.diagnosis["driveFile"] = file;
      report.outputFiles.push_back(file);
    } else {
      report.diagnosis["noDriveFile"] = file + " cannot be written";
    }
    report.diagnosis["noReferenceFile"] = "the journal keeps a hash of each block, not its data";
  }
  report.failures = counts.wrong;
  report.dataChecks = counts.held + counts.wrong;
  if (counts.wrong > 0) {
    report.agentStatus = kExitIntegrityFailure;
    exitStatus = kExitIntegrityFailure;
  } else if (report.dataChecks == 0) {
    report.inconclusive = counts.blocks == 0 ? "the journal names no block of drive " + planned.name
                                             : "no block of drive " + planned.name +
                                                   " could be judged: each holds content from before the journal or a "
                                                   "write that may not have landed";
    exitStatus = kExitInconclusive;
  }
}

}  // namespace

JournalVerifyResult verifyJournal(const std::string& dir, const std::string& outputBase) {
  JournalVerifyResult result;
  const auto start = std::chrono::steady_clock::now();
  JournalManifest manifest;
  std::string error;
  if (!readManifest(dir, manifest, error)) {
    result.report.exitStatus = kExitRefused;
    result.report.error = "the journal " + dir + " cannot be read: " + error;
    return result;
  }
  result.source = manifest.source;
  result.journalSync = manifest.journalSync;
  int exitStatus = kExitPassed;
  for (const JournalDrive& planned : manifest.drives) {
    DriveReport& report = result.report.drives.emplace_back();
    JournalVerifyCounts& counts = result.drives.emplace_back();
    int driveStatus = kExitPassed;
    verifyDrive(dir, outputBase, manifest, planned, report, counts, driveStatus);
    if (result.report.error.empty() && driveStatus != kExitPassed && driveStatus != kExitIntegrityFailure)
      result.report.error = report.inconclusive.empty() ? report.failureText : report.inconclusive;
    exitStatus = worseExit(exitStatus, driveStatus);
  }
  result.report.exitStatus = exitStatus;
  result.report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

}  // namespace varnox
