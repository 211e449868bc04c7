// Reads the [[flow]] steps (an agent or a drive command each, with its settings) and the
// agent's keys in [cardamor]; the host checks the settings and the keys by name.
#include "TestFileTables.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "TestFileSection.h"

namespace varnox::cli::testfile {
namespace {

struct CommandName {
  std::string_view text;
  StepSpec::Kind kind;
  std::string_view display;
};
constexpr CommandName kCommands[] = {
    {"write", StepSpec::Kind::Write, "Write"},
    {"writesame", StepSpec::Kind::WriteSame, "WriteSame"},
    {"trim", StepSpec::Kind::Trim, "Trim"},
    {"atomic", StepSpec::Kind::WriteAtomic, "WriteAtomic"},
    {"read", StepSpec::Kind::Read, "Read"},
    {"verify", StepSpec::Kind::Verify, "Verify"},
    {"synccache", StepSpec::Kind::SyncCache, "SyncCache"},
    {"powertoggle", StepSpec::Kind::PowerToggle, "PowerToggle"},
    {"zonereset", StepSpec::Kind::ZoneReset, "ZoneReset"},
    {"invalidate", StepSpec::Kind::Invalidate, "Invalidate"},
    {"getstatus", StepSpec::Kind::GetStatus, "GetStatus"},
};

bool isLibraryPath(std::string_view s) {
  return s.find('/') != std::string_view::npos || (s.size() > 3 && s.substr(s.size() - 3) == ".so");
}

}  // namespace

bool readStep(const toml::table& table, size_t index, StepSpec& step, std::string& error) {
  Section s(table, "[[flow]] " + std::to_string(index + 1), error);
  std::optional<std::string> agent, command, condition, name;
  if (!s.string("agent", agent) || !s.string("command", command) || !s.string("condition", condition) ||
      !s.string("name", name))
    return false;
  if (agent && command) return s.fail("agent", "and \"command\" cannot both be given in one step", nullptr);
  if (!agent && !command) return s.fail("agent", "or \"command\" must be given", nullptr);
  if (agent) {
    if (*agent != "lba" && *agent != "write-kind" && *agent != "read-kind" && *agent != "zones" &&
        *agent != "invalidate" && *agent != "protect" && *agent != "cardamor" && !isLibraryPath(*agent))
      return s.fail("agent",
                    "must be \"lba\", \"write-kind\", \"read-kind\", \"zones\", \"invalidate\", \"protect\", "
                    "\"cardamor\" or the path of an agent library",
                    table.get("agent"));
    step.kind = StepSpec::Kind::Agent;
    step.name = *agent;
  } else {
    const CommandName* found = nullptr;
    for (const CommandName& c : kCommands)
      if (c.text == *command) found = &c;
    if (found == nullptr) {
      std::string list;
      for (const CommandName& c : kCommands) list += (list.empty() ? "" : ", ") + quote(c.text);
      return s.fail("command", "must be one of " + list, table.get("command"));
    }
    step.kind = found->kind;
    step.name = std::string(found->display);
  }
  if (name) step.name = *name;
  step.condition = condition.value_or("");

  // Everything else belongs to the step (the LBA agent's "min_lba", the write-kind chooser's
  // weights, ...); the host knows which settings each step takes. File order is kept.
  std::vector<std::pair<const toml::key*, const toml::node*>> rest;
  for (auto&& [key, node] : table) {
    if (key == "agent" || key == "command" || key == "condition" || key == "name") continue;
    rest.emplace_back(&key, &node);
  }
  std::sort(rest.begin(), rest.end(),
            [](const auto& a, const auto& b) { return before(a.first->source().begin, b.first->source().begin); });
  for (const auto& [key, node] : rest) {
    auto text = scalarText(*node);
    if (!text) return s.fail(key->str(), "must be a string, number or true/false", node);
    step.settings.emplace_back(std::string(key->str()), *text);
  }
  return true;
}

bool readAgentKeys(const toml::table& root, TestPlan& plan, std::string& error) {
  const toml::node* node = root.get("cardamor");
  if (node == nullptr) return true;
  if (!node->is_table()) {
    error = "[cardamor] must be a table, got " + describe(*node);
    return false;
  }
  std::vector<std::pair<const toml::key*, const toml::node*>> keys;
  for (auto&& [key, value] : *node->as_table()) keys.emplace_back(&key, &value);
  std::sort(keys.begin(), keys.end(),
            [](const auto& a, const auto& b) { return before(a.first->source().begin, b.first->source().begin); });
  for (const auto& [key, value] : keys) {
    auto text = scalarText(*value);
    if (!text) {
      error = "[cardamor]: " + quote(key->str()) + " must be a string, number or true/false, got " + describe(*value);
      return false;
    }
    plan.keys.emplace_back(std::string(key->str()), *text);
  }
  return true;
}

}  // namespace varnox::cli::testfile
