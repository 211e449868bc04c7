#include "FaultCase.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cinttypes>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>

#include <toml++/toml.h>

#include "AgentOutput.h"
#include "OutputPaths.h"
#include "RunOptions.h"
#include "Summary.h"
#include "TestFile.h"
#include "Units.h"
#include "varnox/TestRun.h"

namespace varnox::scenarios {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

uint64_t bigEndian(const uint8_t* p, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v = v << 8 | p[i];
  return v;
}

// What a block written by the agent says about itself: the LBA it was written to and the
// identifier of the write.
uint64_t embeddedLba(const std::vector<uint8_t>& block) { return block.size() > 16 ? bigEndian(&block[8], 8) : 0; }
uint64_t embeddedCmdId(const std::vector<uint8_t>& block) {
  if (block.size() < 17) return 0;
  const size_t n = std::min<size_t>(block[16], std::min<size_t>(8, block.size() - 17));
  return bigEndian(&block[17], n);
}
bool allZero(const std::vector<uint8_t>& block) {
  return std::all_of(block.begin(), block.end(), [](uint8_t b) { return b == 0; });
}

// The LBA a verdict line names: "LBA 0x..." or "lba:0x...".
std::optional<uint64_t> namedLba(const std::string& line) {
  for (const char* marker : {"LBA 0x", "lba:0x"}) {
    const size_t at = line.find(marker);
    if (at != std::string::npos) return std::stoull(line.substr(at + std::strlen(marker)), nullptr, 16);
  }
  return std::nullopt;
}

std::string hex(uint64_t v) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%016llX", static_cast<unsigned long long>(v));
  return text;
}

// The block, or the range ("... Transfer Length 0x8"), a verdict line names.
struct Named {
  uint64_t lba = 0;
  uint64_t blocks = 1;
  bool range = false;
};

std::optional<Named> namedBlocks(const std::string& line) {
  std::optional<uint64_t> lba = namedLba(line);
  if (!lba) return std::nullopt;
  Named named{*lba, 1, false};
  const size_t at = line.find("Transfer Length 0x");
  if (at != std::string::npos) {
    named.blocks = std::max<uint64_t>(1, std::stoull(line.substr(at + 18), nullptr, 16));
    named.range = true;
  }
  return named;
}

bool within(uint64_t lba, const Named& n) { return lba >= n.lba && lba - n.lba < n.blocks; }

// The fault's wrong data is at the named place: its block, where a misdirected block landed,
// any block of a torn write, or the range of a spliced one.
bool hitBy(const InjectedFault& f, const Named& n) {
  if (f.kind == "torn-atomic") return f.firstLba < n.lba + n.blocks && n.lba < f.firstLba + f.blocks;
  if (f.kind == "splice") return f.firstLba == n.lba;
  return within(f.lba, n) || (f.kind == "misdirect" && within(f.landedAt, n));
}

}  // namespace

std::vector<std::string> faultCaseFiles(const std::string& directory) {
  std::vector<std::string> files;
  for (const fs::directory_entry& e : fs::directory_iterator(directory))
    if (e.path().extension() == ".toml") files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

namespace {

// The verdict line of a failed run: the one holding `message` when given, else the first error
// when it names a block, else a line the agent printed that names one.
std::string verdictLine(const std::string& message, const std::string& firstError, const std::string& printed) {
  if (message.empty() ? namedLba(firstError).has_value() : firstError.find(message) != std::string::npos)
    return firstError;
  std::istringstream lines(printed);
  for (std::string l; std::getline(lines, l);)
    if (message.empty() ? namedLba(l).has_value() : l.find(message) != std::string::npos) return l;
  return {};
}

// "drive D0.2" as "drive D0": a message names the slice that met it, a case the drive.
std::string withoutSliceNames(const std::string& text) {
  static const std::regex slice(R"((drive [A-Za-z0-9_.-]*[A-Za-z_-][A-Za-z0-9_-]*)\.[0-9]+)");
  return std::regex_replace(text, slice, "$1");
}

// The agent's diagnosis of a failed seed: a class the case allows, a block a fault hit, shown in
// the summary and the JSON, and data files that hold the block as the class says; a passing seed
// that keeps its dump says why.
void checkDiagnosis(const toml::table& expect, const TestPlan& plan, const DriveReport& d,
                    const cli::SummaryInput& summary, SeedOutcome& out) {
  auto problem = [&](std::string text) { out.problems.push_back("diagnosis: " + std::move(text)); };
  const std::string text = cli::summaryText(summary), json = cli::summaryJson(summary);
  // The summary ends with the log, whose warning and error lines it counts.
  const size_t logLine = text.rfind("\nLog: " + plan.logFile + " (");
  if (logLine == std::string::npos || text.find('\n', logLine + 1) != text.size() - 1) problem("no log line at the end");
  for (const std::string& file : d.outputFiles)
    if (!fs::exists(file) || fs::file_size(file) == 0) problem(file + " is empty");
  const std::map<std::string, std::string>& k = d.diagnosis;
  auto key = [&](const char* name) { return k.count(name) ? k.at(name) : std::string(); };
  auto number = [&](const char* name) { return k.count(name) ? std::stoull(k.at(name)) : 0; };
  if (const std::string dump = expect["dump"].value_or(std::string{}); out.exitStatus == kExitPassed) {
    if (!dump.empty() && text.find("  dump kept     ") == std::string::npos) problem("no dump kept line");
    if (!dump.empty() && key("dumpReason").find(dump) == std::string::npos) problem("dump kept for " + key("dumpReason"));
    return;
  }
  out.diagnosed = key("class");
  const uint64_t lba = number("lba");
  bool allowed = false;
  for (const toml::node& c : *expect["classes"].as_array()) allowed |= c.value_or(std::string{}) == out.diagnosed;
  if (!allowed || key("lba").empty()) return problem("class \"" + out.diagnosed + "\" at " + key("lba"));
  if (const std::string f = expect["failure"].value_or(std::string{}); !f.empty() && key("failure") != f)
    problem("a " + key("failure") + " failure, not " + f);
  char line[96];
  std::snprintf(line, sizeof line, "  diagnosis     %s at LBA 0x%016" PRIX64 " (", out.diagnosed.c_str(), lba);
  if (text.find(line) == std::string::npos) problem("the summary has no line \"" + std::string(line) + "\"");
  if (json.find("\"class\": \"" + out.diagnosed + "\", \"lba\": " + key("lba") + ",") == std::string::npos)
    problem("the JSON does not name the class and block");
  const InjectedFault* culprit = nullptr;
  for (const InjectedFault& f : d.injectedFaults)
    if (f.kind == "splice" || f.kind == "torn-atomic" ? lba - f.firstLba < f.blocks
                                                      : lba == f.lba || (f.kind == "misdirect" && lba == f.landedAt))
      culprit = &f;
  if (culprit == nullptr) return problem("no fault hit " + hex(lba));
  if (culprit->kind == "splice") {
    if (!key("driveFile").empty() || text.find("  data files    no drive file: ") == std::string::npos)
      problem("a spliced range has no drive block to keep");
    return;
  }
  // The sequence dump ends with the miscompare at the block compared (a verify's names its range).
  bool dumped = key("failure") == "verify";
  for (const std::string& file : d.outputFiles) {
    if (file.find("_trace_") == std::string::npos) continue;
    std::istringstream lines(std::string(std::istreambuf_iterator<char>(std::ifstream(file).rdbuf()), {}));
    for (std::string l; std::getline(lines, l);)
      dumped |= l.find(" Miscompare ") != std::string::npos && l.find(hex(lba)) != std::string::npos;
  }
  if (!dumped) problem("the sequence dump shows no miscompare at " + hex(lba));
  if (json.find("\"drive\": \"" + key("driveFile") + "\"") == std::string::npos) problem("the JSON names no drive file");
  const std::vector<uint8_t> drive = readBytes(key("driveFile")), reference = readBytes(key("referenceFile"));
  const uint32_t blockBytes = plan.drives[0].device.logicalBlockSize;
  if (drive.size() != blockBytes || reference.size() != blockBytes) return problem("the data files are not one block");
  const bool embedded = std::find(plan.keys.begin(), plan.keys.end(), std::pair<std::string, std::string>{
                                      "Embed Data", "false"}) == plan.keys.end();
  const std::string& c = out.diagnosed;
  const size_t at = number("offset");
  size_t differing = 0;
  for (size_t i = 0; i < drive.size(); ++i) differing += drive[i] != reference[i];
  bool right = drive != reference;
  if (c == "corrupted")
    right = differing == number("bytes") && at < drive.size() && drive[at] != reference[at] &&
            std::equal(drive.begin(), drive.begin() + at, reference.begin()) &&
            (culprit->kind != "corrupt" ||
             (static_cast<int64_t>(at) == culprit->byteOffset && (drive[at] ^ reference[at]) == culprit->xorMask));
  else if (c == "lost")
    right = allZero(drive);
  else if (c == "stale" && embedded)
    right = embeddedLba(drive) == lba && embeddedCmdId(drive) == number("foundCmdId") &&
            embeddedCmdId(drive) < embeddedCmdId(reference);
  else if (c == "misdirected")  // the block carries the LBA it was written for
    right = embeddedLba(drive) == number("foundLba") && number("foundLba") == culprit->lba;
  else if (c == "torn")
    right = embeddedCmdId(drive) == number("foundCmdId") && embeddedCmdId(reference) == number("expectedCmdId") &&
            number("foundCmdId") < number("expectedCmdId");
  if (!right) problem("the data files do not show a " + c + " block at " + hex(lba));
}

SeedOutcome runSeed(const std::string& path, const toml::table& expect, uint64_t seed, const fs::path& dir,
                    std::optional<uint32_t> slices) {
  SeedOutcome out;
  out.seed = seed;
  auto problem = [&](std::string text) {
    out.problems.push_back(std::move(text));
    return out;
  };
  TestPlan plan;
  std::string error;
  if (!cli::loadTestFile(path, plan, error)) return problem(error);
  // Every case holds as well with each drive split into slices.
  if (slices)
    for (DriveSpec& drive : plan.drives) drive.slices = *slices;
  cli::RunOptions options;
  options.seed = seed;
  fs::remove_all(dir);
  fs::create_directories(dir);
  options.outputBase = (dir / "run").string();
  cli::RepeatInfo repeat;
  if (!cli::applyRunOptions(plan, options, repeat, error)) return problem(error);
  // A file drive named by a relative path lives in the seed's own folder, never the working one.
  for (DriveSpec& drive : plan.drives)
    if (drive.device.kind != "sim" && drive.device.kind.front() != '/') drive.device.kind = (dir / drive.device.kind).string();
  // So do the files its power commands name: "{dir}" in their arguments is that folder.
  for (DriveSpec& drive : plan.drives)
    for (std::vector<std::string>* argv : {&drive.device.powerOff, &drive.device.powerOn})
      for (std::string& arg : *argv)
        for (size_t at = arg.find("{dir}"); at != std::string::npos; at = arg.find("{dir}", at))
          arg.replace(at, 5, dir.string());

  cli::defaultLogFile(plan);
  TestRun run;
  const int prepared = run.prepare(plan, error);
  if (prepared != kExitPassed) return problem("refused: " + error);
  cli::AgentOutput agentOutput(run.logSink(), plan.drives[0].name);
  const RunReport report = run.run();
  agentOutput.stop();
  cli::SummaryInput summary{path, &report, &repeat, 0};
  cli::countLogLines(summary, plan.logFile, agentOutput.warnings(), agentOutput.errors());
  // Some verdicts (a torn atomic write, a hash mismatch) the agent prints rather than logs: they
  // reach the log as error lines.
  std::string printed;
  std::ifstream log(plan.logFile);
  for (std::string l; std::getline(log, l);)
    if (l.find(" E ") != std::string::npos) printed += l + '\n';
  const bool judgedByExit = expect["exit"].is_integer();
  if (report.drives.empty() || (report.drives.size() != 1 && !judgedByExit))
    return problem("a case judged by the drive's oracle runs exactly one drive");
  const DriveReport& d = report.drives[0];
  out.exitStatus = report.exitStatus;
  out.commands = d.deviceStats.commands;
  out.message = d.failureText;
  for (const FaultTally& t : d.faultTallies) {
    if (t.injected > 0) out.fired.insert(t.kind);
    out.exposed += t.exposed;
  }

  if (auto least = expect["min_commands"].value<int64_t>(); least && out.commands < static_cast<uint64_t>(*least))
    out.problems.push_back(std::to_string(out.commands) + " commands, fewer than " + std::to_string(*least));
  if (const toml::array* list = expect["issued"].as_array()) {
    for (const toml::node& k : *list) {
      const std::string kind = k.value_or(std::string{});
      if (!d.commandsByKind.count(kind)) out.problems.push_back("no " + kind + " command was sent");
    }
  }

  // The bound is an agent's: each slice's agent may end with its own ranges still waiting.
  if (auto most = expect["max_unread_bytes"].value<int64_t>()) {
    for (const DriveReport& r : report.drives)
      if (r.bytesWritten > r.bytesVerified + static_cast<uint64_t>(*most) * std::max<size_t>(1, r.slices.size()))
        out.problems.push_back("drive " + r.name + " read back " + std::to_string(r.bytesVerified) + " of the " +
                               std::to_string(r.bytesWritten) + " bytes it wrote");
  }
  if (const toml::array* list = expect["never_issued"].as_array()) {
    for (const toml::node& k : *list) {
      const std::string kind = k.value_or(std::string{});
      if (d.commandsByKind.count(kind)) out.problems.push_back(kind + " commands were sent, though their step never holds");
    }
  }

  if (expect["classes"].is_array() || expect["dump"].is_string()) checkDiagnosis(expect, plan, d, summary, out);
  // Cases about the device rather than the data (a command that hangs, slow commands) name the
  // exit status and the figures they expect instead of the exposure oracle.
  if (judgedByExit) {
    const int64_t wantExit = *expect["exit"].value<int64_t>();
    // Slices run side by side as the scheduler lets them: a fault at a fixed block may be
    // overwritten before any read reaches it, or not fire at all in a seed (the slice that holds
    // the block ran its passes with fewer writes there). Where the oracle follows every fault
    // that fired (or none fired) and saw none exposed, a pass is the right verdict for that seed;
    // the sweep must still end seeds with the case's exit (runFaultCase). A fault the oracle does
    // not follow (pi-corrupt: the drive's own check reports it) gives no such excuse: its cases
    // damage every write of the block, so that one is always read.
    const bool followed = std::all_of(d.faultTallies.begin(), d.faultTallies.end(),
                                      [](const FaultTally& t) { return t.injected == 0 || t.corrupting; });
    const bool healed = slices && wantExit == kExitIntegrityFailure && out.exitStatus == kExitPassed && followed &&
                        out.exposed == 0;
    if (out.exitStatus != wantExit && !healed)
      out.problems.push_back("exit " + std::to_string(out.exitStatus) + ", expected " + std::to_string(wantExit) +
                             (d.failureText.empty() ? report.error : ": " + d.failureText));
    const std::string message = expect["message"].value_or(std::string{});
    const std::string line = slices ? verdictLine(message, withoutSliceNames(d.failureText), withoutSliceNames(printed))
                                    : verdictLine(message, d.failureText, printed);
    // Which write of a block was its latest when a fault hit it depends, with slices, on how the
    // slices interleaved: a stale read may return a block's own older data rather than the
    // foreign data written over it, and the verdict then says so in other words. A verdict with
    // the case's exit that names a block the drive exposed a fault at is right; some seed of the
    // sweep must still hold the message (runFaultCase).
    bool atExposed = false;
    if (const std::optional<Named> named = namedBlocks(d.failureText); slices && named && out.exitStatus == wantExit)
      for (const InjectedFault& f : d.injectedFaults) atExposed |= f.exposed && hitBy(f, *named);
    out.otherMessage = !message.empty() && line.empty() && atExposed;
    if (!message.empty() && line.empty() && !healed && !atExposed)
      out.problems.push_back("no line holds \"" + message + "\"; first error: \"" + d.failureText + "\"");
    if (const toml::array* lbas = expect["lbas"].as_array(); lbas && lbas->size() == 2 && !healed) {
      const uint64_t first = static_cast<uint64_t>((*lbas)[0].value_or(int64_t{0}));
      const uint64_t last = static_cast<uint64_t>((*lbas)[1].value_or(int64_t{0}));
      const std::optional<Named> named = namedBlocks(line);
      if (named) out.lba = hex(named->lba);
      if (!named || named->lba < first || named->lba > last)
        out.problems.push_back("the verdict names no block from " + hex(first) + " to " + hex(last) + ": \"" +
                               line + "\"");
    }
    LatencySnapshot latency;
    for (const auto& [kind, s] : d.latency) latency.add(s);
    for (const char* key : {"latency_at_least", "latency_below"}) {
      const toml::table* bounds = expect[key].as_table();
      if (bounds == nullptr) continue;
      for (auto&& [name, bound] : *bounds) {
        std::string why;
        const auto seconds = cli::parseDuration(bound.value_or(std::string{}), why);
        const double fraction = std::stod(std::string(name.str()).substr(1)) / 100;
        const double got = static_cast<double>(latency.percentileNs(fraction)) / 1e9;
        const bool atLeast = key == std::string("latency_at_least");
        if (!seconds || (atLeast ? got < *seconds : got >= *seconds))
          out.problems.push_back(std::string(name.str()) + " latency " + std::to_string(got) + " s, expected " +
                                 (atLeast ? "at least " : "below ") + bound.value_or(std::string{}));
      }
    }
    if (expect["trace"].value_or(false) &&
        std::none_of(d.outputFiles.begin(), d.outputFiles.end(),
                     [](const std::string& f) { return f.find("_trace_") != std::string::npos; }))
      out.problems.push_back("expected the agent's sequence dump");
    return out;
  }

  // The oracle.
  // Besides the exposed faults, a verdict may name the block a misdirected write landed on, or a
  // torn unit that a read saw while other writes were outstanding over it: wrong wherever found,
  // though the drive cannot say a checker must find them there.
  std::vector<const InjectedFault*> exposed, alsoWrong;
  for (const InjectedFault& f : d.injectedFaults) {
    if (f.exposed) exposed.push_back(&f);
    if ((f.kind == "misdirect" && f.landedAt != f.lba) || f.kind == "torn-atomic") alsoWrong.push_back(&f);
  }
  std::string shown;
  for (size_t i = 0; i < exposed.size() && i < 3; ++i) shown += (i ? ", " : "") + exposed[i]->kind + " at " + hex(exposed[i]->lba);
  const std::string message = expect["message"].value_or(std::string{});
  std::optional<Named> named;
  if (out.exitStatus == kExitIntegrityFailure) {
    const std::string line = verdictLine(message, d.failureText, printed);
    if (line.empty()) {
      out.problems.push_back(message.empty() ? "the verdict names no block: \"" + d.failureText + "\""
                                             : "no line holds \"" + message + "\"; first error: \"" + d.failureText + "\"");
    } else {
      out.message = line;
      named = namedBlocks(line);
      if (named) out.lba = hex(named->lba) + (named->range ? "+" + std::to_string(named->blocks) : "");
    }
  }
  const InjectedFault* culprit = nullptr;
  if (named) {
    for (const InjectedFault* f : exposed)
      if (hitBy(*f, *named)) culprit = f;
    for (const InjectedFault* f : alsoWrong)
      if (culprit == nullptr && (f->kind == "torn-atomic" ? hitBy(*f, *named) : within(f->landedAt, *named))) culprit = f;
  }
  if (out.exposed > 0 && out.exitStatus != kExitIntegrityFailure) {
    out.problems.push_back("exit " + std::to_string(out.exitStatus) + " although the drive exposed " +
                           std::to_string(out.exposed) + " corrupting fault(s): " + shown +
                           (d.failureText.empty() ? "" : "; first error: " + d.failureText));
  } else if (out.exposed == 0 && out.exitStatus != kExitPassed && culprit == nullptr) {
    out.problems.push_back("exit " + std::to_string(out.exitStatus) + " with no exposed fault: " +
                           (out.message.empty() ? "no error line" : out.message));
  } else if (named && culprit == nullptr) {
    out.problems.push_back("the verdict names " + out.lba + ", but the exposed faults are " + shown);
  }

  if (!out.problems.empty()) {
    // What the drive did, to tell a missed fault from one that never had a chance: the
    // corrupting faults first.
    std::vector<const InjectedFault*> faults;
    for (const InjectedFault& f : d.injectedFaults) faults.push_back(&f);
    std::stable_partition(faults.begin(), faults.end(), [&](const InjectedFault* f) {
      return std::any_of(d.faultTallies.begin(), d.faultTallies.end(),
                         [&](const FaultTally& t) { return t.kind == f->kind && t.corrupting; });
    });
    for (size_t i = 0; i < faults.size() && i < 5; ++i) {
      const InjectedFault& f = *faults[i];
      out.problems.push_back("injected " + f.kind + " at " + hex(f.lba) + (f.exposed ? " (exposed)" : "") +
                             " in command " + std::to_string(f.command) + " of " + std::to_string(f.blocks) +
                             " blocks from " + hex(f.firstLba));
    }
  }
  return out;
}

// A seed's outcome passes from the process that ran it as lines "key value".
void writeOutcome(const SeedOutcome& o, const fs::path& file) {
  std::ofstream out(file);
  auto flat = [](std::string s) {
    std::replace(s.begin(), s.end(), '\n', ' ');
    return s;
  };
  out << "exit " << o.exitStatus << "\nexposed " << o.exposed << "\ncommands " << o.commands << "\nlba " << o.lba
      << "\nmessage " << flat(o.message) << "\nclass " << o.diagnosed << "\nother " << o.otherMessage << '\n';
  for (const std::string& k : o.fired) out << "fired " << k << '\n';
  for (const std::string& p : o.problems) out << "problem " << flat(p) << '\n';
}

SeedOutcome readOutcome(uint64_t seed, const fs::path& file) {
  SeedOutcome o;
  o.seed = seed;
  std::ifstream in(file);
  bool complete = false;
  for (std::string line; std::getline(in, line);) {
    const size_t space = line.find(' ');
    const std::string key = line.substr(0, space), value = space == std::string::npos ? "" : line.substr(space + 1);
    if (key == "exit") o.exitStatus = std::stoi(value), complete = true;
    else if (key == "exposed") o.exposed = std::stoull(value);
    else if (key == "commands") o.commands = std::stoull(value);
    else if (key == "lba") o.lba = value;
    else if (key == "message") o.message = value;
    else if (key == "class") o.diagnosed = value;
    else if (key == "other") o.otherMessage = value == "1";
    else if (key == "fired") o.fired.insert(value);
    else if (key == "problem") o.problems.push_back(value);
  }
  if (!complete) o.problems.push_back("the run of this seed crashed or was killed");
  return o;
}

// Every seed in its own process, `jobs` at a time: the same seed gives the same run whatever
// runs beside it.
std::vector<SeedOutcome> runSeeds(const std::string& path, const toml::table& expect,
                                  const std::vector<uint64_t>& seeds, unsigned jobs, const fs::path& dir,
                                  std::optional<uint32_t> slices) {
  std::vector<SeedOutcome> outcomes(seeds.size());
  std::map<pid_t, size_t> running;
  size_t next = 0;
  auto resultFile = [&](size_t i) { return dir / ("seed-" + std::to_string(seeds[i]) + ".result"); };
  while (next < seeds.size() || !running.empty()) {
    while (next < seeds.size() && running.size() < std::max(1u, jobs)) {
      std::fflush(stdout);
      const pid_t pid = ::fork();
      if (pid == 0) {
        writeOutcome(runSeed(path, expect, seeds[next], dir / ("seed-" + std::to_string(seeds[next])), slices),
                     resultFile(next));
        ::_exit(0);
      }
      if (pid < 0) {
        outcomes[next] = runSeed(path, expect, seeds[next], dir / ("seed-" + std::to_string(seeds[next])), slices);
      } else {
        running[pid] = next;
      }
      ++next;
    }
    if (running.empty()) continue;
    int status = 0;
    const pid_t done = ::waitpid(-1, &status, 0);
    if (done < 0) break;
    auto it = running.find(done);
    if (it == running.end()) continue;
    outcomes[it->second] = readOutcome(seeds[it->second], resultFile(it->second));
    running.erase(it);
  }
  return outcomes;
}

}  // namespace

CaseOutcome runFaultCase(const std::string& path, const SweepOptions& options) {
  CaseOutcome out;
  out.name = fs::path(path).stem().string();
  out.path = path;
  toml::table expect;
  try {
    toml::table root = toml::parse_file(path);
    if (const toml::table* t = root["expect"].as_table()) expect = *t;
  } catch (const toml::parse_error& e) {
    out.problems.push_back(path + ": " + std::string(e.description()));
    return out;
  }
  TestPlan plan;
  std::string error;
  if (!cli::loadTestFile(path, plan, error)) {
    out.problems.push_back(error);
    return out;
  }
  std::set<std::string> kinds;
  for (const DriveSpec& d : plan.drives)
    for (const FaultRule& rule : d.device.faults) kinds.insert(rule.kind);
  for (const std::string& k : kinds) out.kinds += (out.kinds.empty() ? "" : ",") + k;

  // A known hole stays in sight: the case is named with its reason on every sweep with slices,
  // and on every sweep at all when its own file splits a drive.
  bool ownSlices = false;
  for (const DriveSpec& d : plan.drives) ownSlices = ownSlices || d.slices != 1;
  if ((options.slices || ownSlices) && expect["slices_open"].is_string()) {
    out.open = *expect["slices_open"].value<std::string>();
    return out;
  }
  std::vector<uint64_t> seeds;
  if (options.seed) {
    seeds.push_back(*options.seed);
  } else {
    const int64_t count = options.seeds ? static_cast<int64_t>(*options.seeds) : expect["seeds"].value_or(int64_t{20});
    for (int64_t s = 1; s <= count; ++s) seeds.push_back(static_cast<uint64_t>(s));
  }
  const fs::path dir = fs::temp_directory_path() / ("varnox-proof-" + std::to_string(::getpid())) / out.name;
  fs::create_directories(dir);
  out.seeds = runSeeds(path, expect, seeds, options.jobs, dir, options.slices);

  std::set<std::string> fired, diagnosed;
  uint64_t exposedSeeds = 0, exposures = 0;
  for (const SeedOutcome& s : out.seeds) {
    fired.insert(s.fired.begin(), s.fired.end());
    diagnosed.insert(s.diagnosed);
    exposedSeeds += s.exposed > 0;
    exposures += s.exposed;
    for (const std::string& p : s.problems) out.problems.push_back("seed " + std::to_string(s.seed) + ": " + p);
    if (!s.problems.empty() && !out.firstFailure) out.firstFailure = s;
  }
  // Every kind the case relies on took effect somewhere, and enough seeds showed one to the host:
  // a sweep that never exposes anything proves nothing.
  std::set<std::string> wanted = kinds;
  if (const toml::array* list = expect["fired"].as_array()) {
    wanted.clear();
    for (const toml::node& k : *list) wanted.insert(k.value_or(std::string{}));
  }
  for (const std::string& k : wanted)
    if (!fired.count(k)) out.problems.push_back("no " + k + " fault took effect in any seed");
  // A sweep of another length than the case's own needs proportionally many exposing seeds, and
  // a shorter one need not come across every class.
  const int64_t own = expect["seeds"].value_or(int64_t{20});
  int64_t least = expect["min_exposed"].value_or(int64_t{0});
  if (options.seeds && least > 0) least = (least * static_cast<int64_t>(*options.seeds) + own - 1) / own;
  // With slices a fault at a fixed block is overwritten before a read reaches it more often (each
  // slice writes its smaller range more densely), and a seed no longer repeats its run (the
  // interleaving of the slices is the scheduler's): the case's quota, a figure of its one-thread
  // workload, becomes slices_min_exposed, by default half of min_exposed, counted in faults
  // exposed over all seeds and scaled down to a shorter sweep, so that a few seeds that by
  // chance expose nothing do not fail the sweep. Every seed's verdict is still judged exactly by
  // the oracle, and every fault kind must still take effect in some seed.
  if (options.slices) {
    least = expect["slices_min_exposed"].value_or(expect["min_exposed"].value_or(int64_t{0}) / 2);
    if (options.seeds) least = least * static_cast<int64_t>(*options.seeds) / own;
  }
  const toml::array* classes = expect["classes"].as_array();
  const std::string required = expect["required"].value_or(classes ? (*classes)[0].value_or(std::string{}) : "");
  if (!required.empty() && !options.seed && out.seeds.size() >= static_cast<uint64_t>(own) && !diagnosed.count(required))
    out.problems.push_back("no seed was diagnosed " + required);
  // A case that names its exit, whose seeds with slices may pass where the oracle saw its fault
  // healed (runSeed), must still end a seed with that exit.
  if (options.slices && !options.seed && expect["exit"].is_integer()) {
    const int64_t wantExit = *expect["exit"].value<int64_t>();
    if (std::none_of(out.seeds.begin(), out.seeds.end(), [wantExit](const SeedOutcome& s) { return s.exitStatus == wantExit; }))
      out.problems.push_back("no seed ended with exit " + std::to_string(wantExit));
    const std::string message = expect["message"].value_or(std::string{});
    if (!message.empty() && std::none_of(out.seeds.begin(), out.seeds.end(), [wantExit](const SeedOutcome& s) {
          return s.exitStatus == wantExit && !s.otherMessage;
        }))
      out.problems.push_back("no seed ended with a line holding \"" + message + "\"");
  }
  if (!options.seed && !options.slices && exposedSeeds < static_cast<uint64_t>(least))
    out.problems.push_back(std::to_string(exposedSeeds) + " seeds exposed a fault, fewer than " + std::to_string(least));
  if (!options.seed && options.slices && exposures < static_cast<uint64_t>(least))
    out.problems.push_back(std::to_string(exposures) + " faults exposed over all seeds, fewer than " +
                           std::to_string(least));
  if (out.problems.empty()) fs::remove_all(dir);
  return out;
}

}  // namespace varnox::scenarios
