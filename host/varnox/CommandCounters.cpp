// Step kinds by name, and the counters the drive's report gives by kind and by status.
#include "CommandSteps.h"

namespace varnox {
namespace {

const char* statusName(uint8_t status) {
  switch (status) {
    case kStatusGood: return "GOOD";
    case kStatusCheckCondition: return "CHECK CONDITION";
    case kStatusTaskAborted: return "TASK ABORTED";
    default: return "OTHER";
  }
}

}  // namespace

void CommandCounters::add(const CommandCounters& other) {
  for (size_t i = 0; i < commandsOfKind.size(); ++i) commandsOfKind[i] += other.commandsOfKind[i];
  for (size_t i = 0; i < completionsOfStatus.size(); ++i) completionsOfStatus[i] += other.completionsOfStatus[i];
  commands += other.commands;
  bytesWritten += other.bytesWritten;
  bytesVerified += other.bytesVerified;
  goodWrites += other.goodWrites;
  goodReadBacks += other.goodReadBacks;
  dataChecks += other.dataChecks;
  heldCommands += other.heldCommands;
  lostCommands += other.lostCommands;
  errorCompletions += other.errorCompletions;
}

bool isWrite(StepKind kind) {
  return kind == StepKind::Write || kind == StepKind::WriteSame || kind == StepKind::WriteAtomic;
}

const char* stepKindName(StepKind kind) {
  switch (kind) {
    case StepKind::Agent: return "Agent";
    case StepKind::Write: return "Write";
    case StepKind::WriteSame: return "WriteSame";
    case StepKind::Trim: return "Trim";
    case StepKind::WriteAtomic: return "WriteAtomic";
    case StepKind::Read: return "Read";
    case StepKind::Verify: return "Verify";
    case StepKind::SyncCache: return "SyncCache";
    case StepKind::PowerToggle: return "PowerToggle";
    case StepKind::ZoneReset: return "ZoneReset";
    case StepKind::Invalidate: return "Invalidate";
    case StepKind::GetStatus: return "GetStatus";
  }
  return "Unknown";
}

std::map<std::string, uint64_t> CommandCounters::commandsByKind() const {
  std::map<std::string, uint64_t> named;
  for (size_t kind = 0; kind < kKinds; ++kind) {
    if (commandsOfKind[kind] != 0) named[stepKindName(static_cast<StepKind>(kind))] += commandsOfKind[kind];
  }
  return named;
}

std::map<std::string, uint64_t> CommandCounters::completionsByStatus() const {
  std::map<std::string, uint64_t> named;
  for (size_t status = 0; status < completionsOfStatus.size(); ++status) {
    if (completionsOfStatus[status] != 0) named[statusName(static_cast<uint8_t>(status))] += completionsOfStatus[status];
  }
  return named;
}

}  // namespace varnox
