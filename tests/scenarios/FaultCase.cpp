#include "FaultCase.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>

#include <toml++/toml.h>

#include "RunOptions.h"
#include "TestFile.h"
#include "Units.h"
#include "varnox/TestRun.h"

namespace varnox::scenarios {
namespace {

namespace fs = std::filesystem;

// The agent prints some verdicts (a torn atomic write, a hash mismatch) on the standard streams
// rather than in its log; they are caught in a file while the case runs.
class CapturedOutput {
 public:
  CapturedOutput() {
    std::fflush(stdout);
    std::fflush(stderr);
    file_ = std::tmpfile();
    if (file_ == nullptr) return;
    savedOut_ = ::dup(1);
    savedErr_ = ::dup(2);
    ::dup2(::fileno(file_), 1);
    ::dup2(::fileno(file_), 2);
  }
  ~CapturedOutput() { finish(); }
  std::string finish() {
    if (file_ == nullptr) return {};
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(savedOut_, 1);
    ::dup2(savedErr_, 2);
    ::close(savedOut_);
    ::close(savedErr_);
    std::string text;
    std::rewind(file_);
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0;) text.append(buffer, n);
    std::fclose(file_);
    file_ = nullptr;
    return text;
  }

 private:
  FILE* file_ = nullptr;
  int savedOut_ = -1, savedErr_ = -1;
};

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

bool hitBy(const InjectedFault& f, uint64_t lba) {
  return f.lba == lba || (f.kind == "misdirect" && f.landedAt == lba) ||
         ((f.kind == "splice" || f.kind == "hang") && f.firstLba == lba);
}

// The dumped drive and reference blocks differ exactly where the fault changed the block.
std::string checkBytes(const InjectedFault& f, uint64_t lba, const std::vector<uint8_t>& drive,
                       const std::vector<uint8_t>& reference) {
  if (drive.size() != reference.size() || drive.empty()) return "the drive and reference files differ in size";
  if (f.kind == "corrupt") {
    std::vector<size_t> differing;
    for (size_t i = 0; i < drive.size(); ++i)
      if (drive[i] != reference[i]) differing.push_back(i);
    if (differing.size() != 1 || static_cast<int64_t>(differing[0]) != f.byteOffset ||
        (drive[differing[0]] ^ reference[differing[0]]) != f.xorMask)
      return "the files differ in " + std::to_string(differing.size()) + " bytes, not just byte " +
             std::to_string(f.byteOffset) + " XOR " + std::to_string(f.xorMask);
    return {};
  }
  if (f.kind == "misdirect" && lba == f.landedAt) {
    if (embeddedLba(drive) != f.lba)
      return "the block read at " + hex(lba) + " does not say it was written for " + hex(f.lba);
    return {};
  }
  // The block kept (or was read with) an earlier content: never written, or an older write.
  if (allZero(drive)) return {};
  if (embeddedLba(drive) != lba || embeddedCmdId(drive) >= embeddedCmdId(reference))
    return "the drive's block is not an earlier write of " + hex(lba);
  return {};
}

}  // namespace

std::vector<std::string> faultCaseFiles(const std::string& directory) {
  std::vector<std::string> files;
  for (const fs::directory_entry& e : fs::directory_iterator(directory))
    if (e.path().extension() == ".toml") files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

CaseOutcome runFaultCase(const std::string& path) {
  CaseOutcome out;
  out.name = fs::path(path).stem().string();
  auto problem = [&](std::string text) {
    out.problems.push_back(std::move(text));
    return out;
  };
  toml::table expect;
  try {
    toml::table root = toml::parse_file(path);
    if (const toml::table* t = root["expect"].as_table()) expect = *t;
  } catch (const toml::parse_error& e) {
    return problem(path + ": " + std::string(e.description()));
  }
  TestPlan plan;
  std::string error;
  if (!cli::loadTestFile(path, plan, error)) return problem(error);
  std::set<std::string> kinds;
  for (const DriveSpec& d : plan.drives)
    for (const FaultRule& rule : d.device.faults) kinds.insert(rule.kind);
  for (const std::string& k : kinds) out.kinds += (out.kinds.empty() ? "" : ",") + k;

  cli::RunOptions options;
  if (auto seed = expect["seed"].value<int64_t>()) options.seed = static_cast<uint64_t>(*seed);
  const fs::path dir = fs::temp_directory_path() / ("varnox-proof-" + std::to_string(::getpid())) / out.name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  options.outputBase = (dir / "run").string();
  cli::RepeatInfo repeat;
  if (!cli::applyRunOptions(plan, options, repeat, error)) return problem(error);

  CapturedOutput capture;
  TestRun run;
  RunReport report;
  const int prepared = run.prepare(plan, error);
  if (prepared == kExitPassed) report = run.run();
  const std::string printed = capture.finish();
  if (prepared != kExitPassed) return problem("refused: " + error);
  if (report.drives.size() != 1) return problem("a case runs exactly one drive");
  const DriveReport& d = report.drives[0];
  out.exitStatus = report.exitStatus;
  out.commands = d.deviceStats.commands;
  out.faults = d.deviceStats.faultsInjected;
  out.message = d.failureText;

  const int64_t wantExit = expect["exit"].value_or(int64_t{0});
  if (out.exitStatus != wantExit)
    out.problems.push_back("exit " + std::to_string(out.exitStatus) + ", expected " + std::to_string(wantExit) +
                           (d.failureText.empty() ? "" : ": " + d.failureText));
  if (auto least = expect["min_commands"].value<int64_t>(); least && out.commands < static_cast<uint64_t>(*least))
    out.problems.push_back(std::to_string(out.commands) + " commands, fewer than " + std::to_string(*least));

  if (const toml::array* list = expect["issued"].as_array()) {
    for (const toml::node& k : *list) {
      const std::string kind = k.value_or(std::string{});
      if (!d.commandsByKind.count(kind)) out.problems.push_back("no " + kind + " command was sent");
    }
  }
  // Percentiles over every kind, against the bounds the case gives ("p99.9" = "100ms").
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

  // Every kind the case relies on really fired; a corruption counts only where it landed.
  std::set<std::string> fired = kinds;
  if (const toml::array* list = expect["fired"].as_array()) {
    fired.clear();
    for (const toml::node& k : *list) fired.insert(k.value_or(std::string{}));
  }
  for (const std::string& k : fired) {
    const bool seen = std::any_of(d.injectedFaults.begin(), d.injectedFaults.end(), [&](const InjectedFault& f) {
      return f.kind == k && (k != "corrupt" || f.byteOffset >= 0);
    });
    if (!seen) out.problems.push_back("no " + k + " fault took effect");
  }

  const std::string message = expect["message"].value_or(std::string{});
  std::optional<uint64_t> lba;
  if (!message.empty()) {
    std::string line;
    if (d.failureText.find(message) != std::string::npos) {
      line = d.failureText;
    } else {
      std::istringstream lines(printed);
      for (std::string l; std::getline(lines, l);)
        if (l.find(message) != std::string::npos) line = l;
    }
    if (line.empty()) {
      out.problems.push_back("no line holds \"" + message + "\"; first error: \"" + d.failureText + "\"");
    } else {
      out.message = line;
      lba = namedLba(line);
    }
  }
  const InjectedFault* culprit = nullptr;
  if (lba) {
    out.lba = hex(*lba);
    for (const InjectedFault& f : d.injectedFaults)
      if (hitBy(f, *lba)) culprit = &f;
    if (culprit == nullptr) out.problems.push_back("the agent named " + out.lba + ", which no fault hit");
  }

  if (expect["trace"].value_or(false) &&
      std::none_of(d.outputFiles.begin(), d.outputFiles.end(),
                   [](const std::string& f) { return f.find("_trace_") != std::string::npos; }))
    out.problems.push_back("expected the agent's sequence dump");
  if (expect["files"].value_or(false)) {
    if (d.outputFiles.size() != 3 || !std::all_of(d.outputFiles.begin(), d.outputFiles.end(),
                                                  [](const std::string& f) { return fs::exists(f); })) {
      out.problems.push_back("expected the trace, drive and reference files");
    } else {
      out.files = "trace+drive+reference";
      if (culprit != nullptr && lba) {
        std::string wrong = checkBytes(*culprit, *lba, readBytes(d.outputFiles[1]), readBytes(d.outputFiles[2]));
        if (!wrong.empty()) out.problems.push_back(wrong);
      }
    }
  }
  if (out.problems.empty()) {
    fs::remove_all(dir);
  } else {
    // What the drive did, to tell a missed fault from one that never had a chance.
    for (size_t i = 0; i < d.injectedFaults.size() && i < 5; ++i) {
      const InjectedFault& f = d.injectedFaults[i];
      out.problems.push_back("injected " + f.kind + " at " + hex(f.lba) + " in command " + std::to_string(f.command) +
                             " of " + std::to_string(f.blocks) + " blocks from " + hex(f.firstLba));
    }
  }
  return out;
}

}  // namespace varnox::scenarios
