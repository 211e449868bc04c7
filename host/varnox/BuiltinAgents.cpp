#include "BuiltinAgents.h"

#include "BuiltinAgentSupport.h"
#include "SliceRanges.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <optional>
#include <map>
#include <random>

#include "varnox/Errors.h"

namespace varnox {

namespace {

class LbaAgent : public BuiltinAgent {
 public:
  struct Settings {
    std::optional<uint64_t> minLba, maxLba;
    uint32_t minXfer = 1, maxXfer = 8;
    bool sequential = false;
    uint32_t atomicBound = 0;
  };

  explicit LbaAgent(Settings settings) : settings_(settings) {}

  const std::string& name() const override { return name_; }

  int registerDriveVariables(DriveEnv& env, std::string& error) override {
    DriveThread& t = *env.thread;
    const uint64_t capacity = env.geometry.capacityBlocks;
    const uint64_t minLba = settings_.minLba.value_or(0);
    const uint64_t maxLba = settings_.maxLba.value_or(capacity == 0 ? 0 : capacity - 1);
    if (capacity == 0 || maxLba >= capacity) {
      error = "agent \"lba\" on drive " + t.driveName() + ": \"max_lba\" " + std::to_string(maxLba) +
              " is beyond the drive's last block " + std::to_string(capacity == 0 ? 0 : capacity - 1);
      return VARNOX_ERR_BAD_VALUE;
    }
    // With skip commands a transfer of n blocks spans 2n - 1 LBAs; a range shorter than that
    // would send commands (and slid reads) past its end.
    const uint64_t span = strideSpan(settings_.maxXfer, env.lbaStride);
    if (minLba > maxLba || maxLba - minLba + 1 < span) {
      error = "agent \"lba\" on drive " + t.driveName() + ": the range \"min_lba\" " + std::to_string(minLba) +
              " .. \"max_lba\" " + std::to_string(maxLba) + " does not hold a transfer of \"max_xfer\" " +
              std::to_string(settings_.maxXfer) + " blocks" +
              (env.lbaStride != 1 ? " with skip commands (" + std::to_string(span) + " LBAs)" : std::string());
      return VARNOX_ERR_BAD_VALUE;
    }
    // A slice of the drive tests its own part of the range; commands stay inside it.
    LbaRange part{minLba, maxLba};
    if (env.sliceCount > 1) {
      std::string why;
      const std::vector<LbaRange> parts = splitLbaRange(
          part, env.sliceCount,
          sliceAlignment(env.geometry.log2LogicalPerPhysical, settings_.atomicBound, env.geometry.zoneBlocks), span,
          why);
      if (parts.empty()) {
        error = "drive " + t.driveName() + ": " + why;
        return VARNOX_ERR_BAD_VALUE;
      }
      part = parts[env.slice];
    }
    t.setMapper(name_);
    int err = 0;
    State& s = states_.make(&t);
    s.minLba = part.first;
    s.maxLba = part.last;
    s.next = part.first;
    s.random.seed(env.seed ^ 0x4C4241ULL);
    s.lba = t.mapU64("LBA", kVarWrite, &err, part.first);
    s.xfer = t.mapU32("XferLength", kVarWrite, &err, settings_.minXfer);
    s.minLbaVar = t.mapU64("MinLBA", kVarWrite, &err, 0);
    s.maxLbaVar = t.mapU64("MaxLBA", kVarWrite, &err, 0);
    s.testMax = t.mapU32("TestMaxXferLength", kVarWrite, &err, 0);
    s.atomicBound = t.mapU32("AtomicBound", kVarWrite, &err, 0);
    if (err != 0) error = "agent \"lba\" on drive " + t.driveName() + ": a drive variable has another type";
    return err;
  }

  int setup(DriveEnv& env) override {
    State* s = states_.find(env.thread);
    if (s == nullptr) return VARNOX_ERR_NO_RECORD;
    // The bounds are published before any other agent's setup reads them (it sizes buffers).
    *s->minLbaVar = s->minLba;
    *s->maxLbaVar = s->maxLba;
    *s->testMax = settings_.maxXfer;
    *s->atomicBound = settings_.atomicBound;
    return VARNOX_OK;
  }

  int execute(DriveEnv& env) override {
    State* s = states_.find(env.thread);
    if (s == nullptr) return VARNOX_ERR_NO_RECORD;
    uint32_t xfer = settings_.minXfer;
    if (settings_.maxXfer > settings_.minXfer) {
      xfer = std::uniform_int_distribution<uint32_t>(settings_.minXfer, settings_.maxXfer)(s->random);
    }
    // The command's last block must stay within the range, also on every other LBA.
    const uint64_t span = strideSpan(xfer, env.lbaStride);
    const uint64_t lastStart = span > s->maxLba - s->minLba + 1 ? s->minLba : s->maxLba - span + 1;
    uint64_t lba;
    if (settings_.sequential) {
      if (s->next > lastStart) s->next = s->minLba;
      lba = s->next;
      s->next = lba + span;
    } else {
      lba = std::uniform_int_distribution<uint64_t>(s->minLba, lastStart)(s->random);
    }
    *s->lba = lba;
    *s->xfer = xfer;
    return VARNOX_OK;
  }

  void deleteDriveData(DriveEnv& env) override { states_.erase(env.thread); }
  const char* usage() const override {
    return "Chooses the LBA and transfer length of the next command.\n"
           "Settings: min_lba, max_lba (default: the drive's last block), min_xfer (1), max_xfer (8),\n"
           "mode (\"random\" or \"sequential\"), atomic_bound (0).\n"
           "Sets LBA, XferLength, MinLBA, MaxLBA, TestMaxXferLength and AtomicBound.";
  }

 private:
  struct State {
    uint64_t minLba = 0, maxLba = 0, next = 0;
    std::mt19937_64 random;
    uint64_t* lba = nullptr;
    uint32_t* xfer = nullptr;
    uint64_t* minLbaVar = nullptr;
    uint64_t* maxLbaVar = nullptr;
    uint32_t* testMax = nullptr;
    uint32_t* atomicBound = nullptr;
  };
  std::string name_ = kLbaAgentName;
  Settings settings_;
  PerDrive<State> states_;
};

// Draws one of its conditions by weight each pass and applies it: "write-kind" chooses the kind
// of the next write, "read-kind" whether the next read-back is a read or a verify.
class KindAgent : public BuiltinAgent {
 public:
  struct Choice {
    std::string condition;
    uint64_t weight = 0;
    uint64_t bit = 0;
  };

  KindAgent(std::string name, std::vector<Choice> choices, std::string usage, uint64_t salt)
      : name_(std::move(name)), choices_(std::move(choices)), usage_(std::move(usage)), salt_(salt) {
    for (const Choice& c : choices_) total_ += c.weight;
  }

  const std::string& name() const override { return name_; }
  int registerDriveVariables(DriveEnv& env, std::string&) override {
    states_.make(env.thread).random.seed(env.seed ^ salt_);
    return VARNOX_OK;
  }
  int setup(DriveEnv&) override { return VARNOX_OK; }

  int execute(DriveEnv& env) override {
    State* s = states_.find(env.thread);
    if (s == nullptr) return VARNOX_ERR_NO_RECORD;
    uint64_t draw = std::uniform_int_distribution<uint64_t>(0, total_ - 1)(s->random);
    for (const Choice& c : choices_) {
      if (draw < c.weight) {
        Condition chosen;
        chosen.anyBits = c.bit;
        applyCondition(chosen, env.thread->conditionMask());
        break;
      }
      draw -= c.weight;
    }
    return VARNOX_OK;
  }

  void deleteDriveData(DriveEnv& env) override { states_.erase(env.thread); }
  const char* usage() const override { return usage_.c_str(); }

 private:
  struct State {
    std::mt19937_64 random;
  };
  std::string name_;
  std::vector<Choice> choices_;
  std::string usage_;
  uint64_t salt_;
  uint64_t total_ = 0;
  PerDrive<State> states_;
};

std::unique_ptr<FlowAgent> makeLbaAgent(const StepSettings& settings, std::string& error) {
  LbaAgent::Settings s;
  uint64_t minXfer = 1, maxXfer = 8;
  for (const auto& [key, value] : settings) {
    uint64_t number = 0;
    if (key == "mode") {
      if (value == "random") {
        s.sequential = false;
      } else if (value == "sequential") {
        s.sequential = true;
      } else {
        error = badSetting("lba", key, value, "is neither \"random\" nor \"sequential\"");
        return nullptr;
      }
      continue;
    }
    if (key != "min_lba" && key != "max_lba" && key != "min_xfer" && key != "max_xfer" && key != "atomic_bound") {
      error = "agent \"lba\": unknown setting \"" + key + "\"";
      return nullptr;
    }
    if (!parseU64(value, number)) {
      error = badSetting("lba", key, value, "is not a number");
      return nullptr;
    }
    if (key == "min_lba") s.minLba = number;
    if (key == "max_lba") s.maxLba = number;
    if (key == "min_xfer") minXfer = number;
    if (key == "max_xfer") maxXfer = number;
    if (key == "atomic_bound") {
      if (number > 0xFFFF) {
        error = badSetting("lba", key, value, "is out of range 0..65535");
        return nullptr;
      }
      s.atomicBound = static_cast<uint32_t>(number);
    }
  }
  // A transfer longer than 65535 blocks does not fit an atomic write's length field; keep every
  // kind of command possible.
  if (minXfer < 1 || maxXfer > 65535 || minXfer > maxXfer) {
    error = "agent \"lba\": transfer lengths \"min_xfer\" " + std::to_string(minXfer) + " .. \"max_xfer\" " +
            std::to_string(maxXfer) + " must satisfy 1 <= min_xfer <= max_xfer <= 65535";
    return nullptr;
  }
  s.minXfer = static_cast<uint32_t>(minXfer);
  s.maxXfer = static_cast<uint32_t>(maxXfer);
  return std::make_unique<LbaAgent>(s);
}

// `choices` holds the weights by default; the settings replace them.
std::unique_ptr<FlowAgent> makeKindAgent(const std::string& name, std::vector<KindAgent::Choice> choices,
                                         const std::string& usage, uint64_t salt, const StepSettings& settings,
                                         ConditionNames& names, std::string& error) {
  std::string weights;
  for (const auto& c : choices) weights += (weights.empty() ? "" : ", ") + c.condition;
  for (const auto& [key, value] : settings) {
    // A named copy: lambdas cannot capture structured bindings before Clang 16.
    const std::string& setting = key;
    auto it = std::find_if(choices.begin(), choices.end(), [&](const auto& c) { return c.condition == setting; });
    if (it == choices.end()) {
      error = "agent \"" + name + "\": unknown setting \"" + key + "\" (weights: " + weights + ")";
      return nullptr;
    }
    uint64_t weight = 0;
    if (!parseU64(value, weight) || weight > 1000000) {
      error = badSetting(name, key, value, "is not a weight in 0..1000000");
      return nullptr;
    }
    it->weight = weight;
  }
  uint64_t total = 0;
  for (auto& c : choices) {
    total += c.weight;
    if (c.weight != 0) c.bit = names.bitFor(c.condition);
    if (c.weight != 0 && c.bit == 0) {
      error = "agent \"" + name + "\": condition \"" + c.condition + "\" cannot be given a mask bit";
      return nullptr;
    }
  }
  if (total == 0) {
    error = "agent \"" + name + "\": every weight is 0; give at least one of " + weights + " a weight";
    return nullptr;
  }
  return std::make_unique<KindAgent>(name, std::move(choices), usage, salt);
}

// The choosers' weights by default; a step's settings replace them.
const std::vector<KindAgent::Choice> kWriteKindWeights = {
    {"write", 1, 0}, {"writesame", 0, 0}, {"trim", 0, 0}, {"atomic", 0, 0}};
const std::vector<KindAgent::Choice> kReadKindWeights = {{"read", 1, 0}, {"verify", 1, 0}};

}  // namespace

bool isBuiltinAgent(const std::string& name) {
  return name == kLbaAgentName || name == kWriteKindAgentName || name == kReadKindAgentName ||
         name == kZoneAgentName || name == kInvalidateAgentName || name == kProtectAgentName;
}

std::unique_ptr<FlowAgent> makeBuiltinAgent(const std::string& name, const StepSettings& settings,
                                            ConditionNames& names, std::string& error) {
  if (name == kLbaAgentName) return makeLbaAgent(settings, error);
  if (name == kZoneAgentName) return makeZoneAgent(settings, names, error);
  if (name == kInvalidateAgentName) return makeInvalidateAgent(settings, names, error);
  if (name == kProtectAgentName) return makeProtectAgent(settings, names, error);
  if (name == kWriteKindAgentName)
    return makeKindAgent(name, kWriteKindWeights,
                         "Chooses the kind of the next write by weight and applies the condition of that name.\n"
                         "Settings: write (1), writesame (0), trim (0), atomic (0); the conditions are named the same.",
                         0x574B4E44ULL, settings, names, error);
  if (name == kReadKindAgentName)
    return makeKindAgent(name, kReadKindWeights,
                         "Chooses whether the next read-back is a read or a verify, by weight, and applies the\n"
                         "condition of that name. Settings: read (1), verify (1); the conditions are named the same.",
                         0x524B4E44ULL, settings, names, error);
  error = "unknown built-in agent \"" + name + "\"";
  return nullptr;
}

std::string builtinAgentSettings(const std::string& name) {
  struct Setting {
    const char* name;
    const char* type;  // what it takes and its default
    const char* help;
  };
  static constexpr Setting kLbaSettings[] = {
      {"min_lba", "number 0..the drive's last block, default 0", "The first block the test uses."},
      {"max_lba", "number min_lba..the drive's last block, default the drive's last block",
       "The last block the test uses; the range must hold a transfer of max_xfer blocks."},
      {"min_xfer", "number 1..65535, default 1", "The shortest transfer, in blocks."},
      {"max_xfer", "number min_xfer..65535, default 8",
       "The longest transfer, in blocks; also the length the data agent sizes its buffers for."},
      {"mode", "\"random\" or \"sequential\", default \"random\"",
       "Random LBAs, or one transfer after the other from min_lba, starting over past max_lba."},
      {"atomic_bound", "number 0..65535, default 0",
       "Published as \"AtomicBound\": the blocks an atomic write keeps together; 0 for none."},
  };
  std::string text;
  if (name == kLbaAgentName) {
    for (const Setting& s : kLbaSettings) text += std::string(s.name) + "  (" + s.type + ")\n    " + s.help + "\n";
    return text;
  }
  if (name == kZoneAgentName) return kZoneAgentSettings;
  if (name == kInvalidateAgentName) return kInvalidateAgentSettings;
  if (name == kProtectAgentName) return kProtectAgentSettings;
  const std::vector<KindAgent::Choice>* weights = name == kWriteKindAgentName  ? &kWriteKindWeights
                                                  : name == kReadKindAgentName ? &kReadKindWeights
                                                                               : nullptr;
  if (weights == nullptr) return text;
  for (const KindAgent::Choice& c : *weights) {
    text += c.condition + "  (weight 0..1000000, default " + std::to_string(c.weight) + ")\n    How often the \"" +
            c.condition + "\" condition is applied, relative to the other weights.\n";
  }
  return text;
}

}  // namespace varnox
