// "protect": applies a condition (default "e2e") on a share of passes, before the data agent, so
// that the data agent leaves room for protection bytes and the command steps send them (the
// agent's "E2E Condition" names the same condition).
#include <random>

#include "BuiltinAgentSupport.h"
#include "varnox/Errors.h"

namespace varnox {

const char* const kProtectAgentSettings =
    "condition  (a condition name, default \"e2e\")\n"
    "    The condition applied; give the data agent's \"E2E Condition\" the same name.\n"
    "rate  (probability above 0 and at most 1, default 1)\n"
    "    The share of passes on which it is applied; the others send data without protection bytes.\n";

namespace {

class ProtectAgent : public BuiltinAgent {
 public:
  ProtectAgent(uint64_t bit, double rate) : bit_(bit), rate_(rate) {}

  const std::string& name() const override { return name_; }
  int registerDriveVariables(DriveEnv& env, std::string& error) override {
    if (!env.geometry.protectionInfoEnabled) {
      error = "agent \"protect\" on drive " + env.thread->driveName() +
              ": the drive has no protection information (set protection_info = true)";
      return VARNOX_ERR_BAD_VALUE;
    }
    states_.make(env.thread).random.seed(env.seed ^ 0x50524F54ULL);
    return VARNOX_OK;
  }
  int setup(DriveEnv&) override { return VARNOX_OK; }
  int execute(DriveEnv& env) override {
    State* s = states_.find(env.thread);
    if (s == nullptr) return VARNOX_ERR_NO_RECORD;
    if (rate_ < 1 && std::uniform_real_distribution<double>(0, 1)(s->random) >= rate_) return VARNOX_OK;
    Condition c;
    c.anyBits = bit_;
    applyCondition(c, env.thread->conditionMask());
    return VARNOX_OK;
  }
  void deleteDriveData(DriveEnv& env) override { states_.erase(env.thread); }
  const char* usage() const override {
    return "Applies a condition (\"e2e\") so that the next writes, verifies and reads carry protection\n"
           "information end to end. Settings: condition (\"e2e\"), rate (1).";
  }

 private:
  struct State {
    std::mt19937_64 random;
  };
  std::string name_ = kProtectAgentName;
  uint64_t bit_;
  double rate_;
  PerDrive<State> states_;
};

}  // namespace

std::unique_ptr<FlowAgent> makeProtectAgent(const StepSettings& settings, ConditionNames& names, std::string& error) {
  std::string condition = "e2e";
  double rate = 1;
  for (const auto& [key, value] : settings) {
    if (key == "condition") {
      condition = value;
    } else if (key == "rate") {
      if (!parseRate(value, rate)) {
        error = badSetting("protect", key, value, "is not a probability above 0 and at most 1");
        return nullptr;
      }
    } else {
      error = "agent \"protect\": unknown setting \"" + key + "\" (settings: condition, rate)";
      return nullptr;
    }
  }
  const uint64_t bit = conditionBit("protect", condition, names, error);
  if (bit == 0) return nullptr;
  return std::make_unique<ProtectAgent>(bit, rate);
}

}  // namespace varnox
