#include "FlowCheck.h"

#include <filesystem>
#include <map>
#include <set>
#include <vector>

namespace varnox::cli {
namespace {

// The names a condition text requires ("write&e2e" -> write, e2e); "!name" excludes, so it
// does not count.
std::vector<std::string> requiredNames(const std::string& text) {
  std::vector<std::string> names;
  std::string name;
  auto flush = [&] {
    const size_t first = name.find_first_not_of(" \t");
    const size_t last = name.find_last_not_of(" \t");
    if (first != std::string::npos && name[first] != '!') names.push_back(name.substr(first, last - first + 1));
    name.clear();
  };
  for (char c : text) {
    if (c == '|' || c == '&') {
      flush();
    } else {
      name += c;
    }
  }
  flush();
  return names;
}

constexpr const char* kEndToEndKey = "E2E Condition";

bool isAgent(const StepSpec& step, const std::string& agent) {
  if (step.kind != StepSpec::Kind::Agent) return false;
  return step.name == agent || std::filesystem::path(step.name).filename() == "lib" + agent + ".so";
}


// The conditions a built-in chooser applies: those with a non-zero weight; the zones, invalidate
// and protect agents apply their "condition" setting.
void chooserConditions(const StepSpec& step, std::map<std::string, std::string>& applied) {
  const std::map<std::string, std::string> single = {
      {"zones", "zonereset"}, {"invalidate", "invalidate"}, {"protect", "e2e"}};
  if (auto it = single.find(step.name); it != single.end()) {
    std::string condition = it->second;
    for (const auto& [key, value] : step.settings)
      if (key == "condition") condition = value;
    applied.emplace(condition, "agent \"" + step.name + "\"");
    return;
  }
  std::map<std::string, std::string> weights;
  if (step.name == "write-kind") weights = {{"write", "1"}, {"writesame", "0"}, {"trim", "0"}, {"atomic", "0"}};
  if (step.name == "read-kind") weights = {{"read", "1"}, {"verify", "1"}};
  for (const auto& [key, value] : step.settings)
    if (weights.count(key)) weights[key] = value;
  for (const auto& [name, weight] : weights)
    if (weight.find_first_not_of("0 ") != std::string::npos) applied.emplace(name, "agent \"" + step.name + "\"");
}

}  // namespace

const char* stepKeyword(StepSpec::Kind kind) {
  switch (kind) {
    case StepSpec::Kind::Write: return "write";
    case StepSpec::Kind::WriteSame: return "writesame";
    case StepSpec::Kind::Trim: return "trim";
    case StepSpec::Kind::WriteAtomic: return "atomic";
    case StepSpec::Kind::Read: return "read";
    case StepSpec::Kind::Verify: return "verify";
    case StepSpec::Kind::SyncCache: return "synccache";
    case StepSpec::Kind::PowerToggle: return "powertoggle";
    case StepSpec::Kind::ZoneReset: return "zonereset";
    case StepSpec::Kind::Invalidate: return "invalidate";
    case StepSpec::Kind::GetStatus: return "getstatus";
    default: return "";
  }
}

bool checkFlow(const TestPlan& plan, std::string& error) {
  const std::string file = plan.sourceFile.empty() ? "test" : plan.sourceFile;
  std::vector<size_t> cardamorSteps;
  bool lba = false;
  for (size_t i = 0; i < plan.flow.size(); ++i) {
    if (isAgent(plan.flow[i], "cardamor")) cardamorSteps.push_back(i + 1);
    lba |= isAgent(plan.flow[i], "lba");
  }
  if (cardamorSteps.empty()) {
    error = file + ": the flow has no \"cardamor\" agent: nothing would write data that can be checked";
    return false;
  }
  if (cardamorSteps.size() > 1) {
    error = file + ": the flow names the \"cardamor\" agent twice (steps " + std::to_string(cardamorSteps[0]) +
            " and " + std::to_string(cardamorSteps[1]) + "); one agent judges a drive's data";
    return false;
  }
  if (!lba) {
    error = file + ": the flow has no \"lba\" agent to choose each command's LBA and transfer length";
    return false;
  }

  // With skip commands a write covers every other block and a verify consecutive ones, so only
  // reads can read writes back: a flow without them could check nothing.
  bool skip = false;
  bool reads = false;
  for (const auto& [key, value] : plan.keys) {
    if (key == "Use Skip Commands") skip = value == "true";
    if (key == "Read Condition") reads = value.find_first_not_of(" \t") != std::string::npos;
  }
  if (skip && !reads) {
    error = file + ": \"Use Skip Commands\" = true needs reads: a write then covers every other block and a " +
            "verify consecutive ones, so no verify can read a write back; set \"Read Condition\" and add a read step";
    return false;
  }

  // What the agents apply: the agent's "... Condition" keys and the choosers' weighted names.
  std::map<std::string, std::string> applied;  // name -> who applies it
  std::map<std::string, std::string> keyValues;
  for (const auto& [key, value] : plan.keys) {
    if (key.size() > 10 && key.compare(key.size() - 10, 10, " Condition") == 0) keyValues[key] = value;
  }
  for (const StepSpec& step : plan.flow)
    if (step.kind == StepSpec::Kind::Agent) chooserConditions(step, applied);
  // The E2E Condition guards no step: an agent before "cardamor" applies it and the command
  // steps follow it.
  if (auto e2e = keyValues.find(kEndToEndKey); e2e != keyValues.end()) {
    for (const std::string& name : requiredNames(e2e->second)) {
      if (applied.count(name)) continue;
      error = file + ": \"" + e2e->first + "\" = \"" + e2e->second + "\" is applied by no agent: add a [[flow]] " +
              "agent = \"protect\" with condition = \"" + name + "\" before \"cardamor\"";
      return false;
    }
    keyValues.erase(e2e);
  }
  for (const auto& [key, value] : keyValues)
    for (const std::string& name : requiredNames(value)) applied.emplace(name, "\"" + key + "\"");

  std::set<std::string> guarding;
  for (const StepSpec& step : plan.flow) {
    if (step.kind == StepSpec::Kind::Agent || step.kind == StepSpec::Kind::GetStatus) continue;
    const std::vector<std::string> names = requiredNames(step.condition);
    guarding.insert(names.begin(), names.end());
  }
  // A key whose condition guards nothing is named first: it is what the user typed, and with the
  // default flow the step it leaves without an agent is not in the file at all.
  for (const auto& [key, value] : keyValues) {
    for (const std::string& name : requiredNames(value)) {
      if (guarding.count(name)) continue;
      error = file + ": " + "\"" + key + "\" = \"" + value + "\" guards no step of the flow: add a [[flow]] step with condition = \"" +
              name + "\", or remove the key";
      return false;
    }
  }
  for (const StepSpec& step : plan.flow) {
    if (step.kind == StepSpec::Kind::Agent || step.kind == StepSpec::Kind::GetStatus) continue;
    const std::vector<std::string> names = requiredNames(step.condition);
    bool reachable = names.empty();
    for (const std::string& name : names) reachable |= applied.count(name) != 0;
    if (!reachable) {
      error = file + ": step \"" + (step.name.empty() ? stepKeyword(step.kind) : step.name) +
              "\" runs on condition \"" + step.condition +
              "\", which no agent applies: it would never send a command";
      return false;
    }
  }
  return true;
}

}  // namespace varnox::cli
