#include "TestFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <set>
#include <sstream>
#include <toml++/toml.h>

#include "Messages.h"
#include "Units.h"
#include "sim/FaultingDevice.h"
#include "sim/RuleFaults.h"
#include "sim/SimConfig.h"

namespace varnox::cli {
namespace {

std::string quote(std::string_view s) { return quoted(s); }

// How a value looked in the file, for "got ..." in messages.
std::string describe(const toml::node& node) {
  switch (node.type()) {
    case toml::node_type::string: return quote(node.as_string()->get());
    case toml::node_type::integer: return std::to_string(node.as_integer()->get());
    case toml::node_type::floating_point: {
      std::ostringstream s;
      s << node.as_floating_point()->get();
      return s.str();
    }
    case toml::node_type::boolean: return node.as_boolean()->get() ? "true" : "false";
    case toml::node_type::table: return "a table";
    case toml::node_type::array: return "an array";
    default: return "a date or time";
  }
}

bool before(const toml::source_position& a, const toml::source_position& b) {
  return a.line != b.line ? a.line < b.line : a.column < b.column;
}

// Reads the keys of one table, remembering which ones were asked for so that a misspelt key
// is reported instead of silently ignored. Every getter leaves the output untouched when the
// key is absent and returns false, with the error set, when the value is unusable.
class Section {
 public:
  Section(const toml::table& table, std::string where, std::string& error)
      : table_(table), where_(std::move(where)), error_(error) {}

  const toml::node* find(std::string_view key) {
    known_.insert(std::string(key));
    return table_.get(key);
  }

  bool fail(std::string_view key, const std::string& expectation, const toml::node* got) {
    error_ = where_ + ": " + quote(key) + " " + expectation;
    if (got != nullptr) error_ += ", got " + describe(*got);
    return false;
  }

  bool integer(std::string_view key, int64_t min, int64_t max, std::optional<int64_t>& out) {
    const toml::node* node = find(key);
    if (node == nullptr) return true;
    const auto* value = node->as_integer();
    if (value == nullptr || value->get() < min || value->get() > max)
      return fail(key, "must be an integer from " + std::to_string(min) + " to " + std::to_string(max), node);
    out = value->get();
    return true;
  }

  bool boolean(std::string_view key, bool& out) {
    const toml::node* node = find(key);
    if (node == nullptr) return true;
    if (!node->is_boolean()) return fail(key, "must be true or false", node);
    out = node->as_boolean()->get();
    return true;
  }

  bool string(std::string_view key, std::optional<std::string>& out) {
    const toml::node* node = find(key);
    if (node == nullptr) return true;
    if (!node->is_string() || node->as_string()->get().empty()) return fail(key, "must be a non-empty string", node);
    out = node->as_string()->get();
    return true;
  }

  bool oneOf(std::string_view key, std::initializer_list<std::string_view> choices, std::optional<std::string>& out) {
    const toml::node* node = find(key);
    if (node == nullptr) return true;
    if (node->is_string()) {
      for (std::string_view c : choices) {
        if (node->as_string()->get() == c) {
          out = std::string(c);
          return true;
        }
      }
    }
    std::string list;
    for (std::string_view c : choices) list += (list.empty() ? "" : ", ") + quote(c);
    return fail(key, "must be one of " + list, node);
  }

  // Every key not asked for is an error; reported in file order.
  bool rejectUnknown() {
    const toml::key* first = nullptr;
    for (auto&& [key, node] : table_) {
      if (known_.count(std::string(key.str())) != 0) continue;
      if (first == nullptr || before(key.source().begin, first->source().begin)) first = &key;
    }
    if (first == nullptr) return true;
    error_ = where_ + ": unknown key " + quote(first->str());
    return false;
  }

  const std::string& where() const { return where_; }

 private:
  const toml::table& table_;
  std::string where_;
  std::string& error_;
  std::set<std::string> known_;
};

// A table of tables written as [[name]]; a single [name] is accepted too.
bool tablesOf(const toml::table& root, std::string_view name, std::vector<const toml::table*>& out, std::string& error) {
  const toml::node* node = root.get(name);
  if (node == nullptr) return true;
  if (const auto* t = node->as_table()) {
    out.push_back(t);
    return true;
  }
  if (const auto* a = node->as_array(); a != nullptr && a->is_array_of_tables()) {
    for (const toml::node& n : *a) out.push_back(n.as_table());
    return true;
  }
  error = "[[" + std::string(name) + "]] must be a table, got " + describe(*node);
  return false;
}

// Scalars of step settings and agent keys become text; the receiver parses them.
std::optional<std::string> scalarText(const toml::node& node) {
  switch (node.type()) {
    case toml::node_type::string: return node.as_string()->get();
    case toml::node_type::integer: return std::to_string(node.as_integer()->get());
    case toml::node_type::boolean: return std::string(node.as_boolean()->get() ? "true" : "false");
    case toml::node_type::floating_point: return describe(node);
    default: return std::nullopt;
  }
}

// A duration key: "30s", "500ms", or whole seconds. `zeroAllowed`: 0 is a value of its own.
bool durationValue(Section& s, std::string_view key, bool zeroAllowed, double& out) {
  const toml::node* node = s.find(key);
  if (node == nullptr) return true;
  std::optional<double> seconds;
  if (const auto* i = node->as_integer(); i != nullptr && i->get() >= 0) {
    seconds = static_cast<double>(i->get());
  } else if (node->is_string()) {
    std::string why;
    seconds = parseDuration(node->as_string()->get(), why);
    if (!seconds) return s.fail(key, "is not a duration: " + why, nullptr);
  }
  if (!seconds) return s.fail(key, "must be a duration such as \"30s\" or \"500ms\"", node);
  if (*seconds < 0 || (*seconds == 0 && !zeroAllowed)) return s.fail(key, "must be longer than 0 s", node);
  // Beyond a day a timeout or a delay is a typo, and would not fit the clocks' arithmetic.
  if (*seconds > 86400) return s.fail(key, "must be at most 24h", node);
  out = *seconds;
  return true;
}

bool readTest(const toml::table& root, TestPlan& plan, std::string& error) {
  const toml::node* node = root.get("test");
  if (node == nullptr) return true;
  if (!node->is_table()) {
    error = "[test] must be a table, got " + describe(*node);
    return false;
  }
  Section s(*node->as_table(), "[test]", error);
  if (const toml::node* d = s.find("duration")) {
    if (const auto* i = d->as_integer(); i != nullptr && i->get() > 0) {
      plan.durationSeconds = static_cast<double>(i->get());
    } else if (d->is_string()) {
      std::string why;
      auto seconds = parseDuration(d->as_string()->get(), why);
      if (!seconds) return s.fail("duration", "is not a duration: " + why, nullptr);
      if (*seconds <= 0) return s.fail("duration", "must be longer than 0 s", d);
      plan.durationSeconds = *seconds;
    } else {
      return s.fail("duration", "must be a duration such as \"30s\", \"5m\" or \"1h\"", d);
    }
  }
  if (!durationValue(s, "command_timeout", true, plan.commandTimeoutSeconds)) return false;
  std::optional<int64_t> passes;
  if (!s.integer("passes", 1, INT64_MAX, passes)) return false;
  // One limit, as on the command line: which of the two would end the run is not obvious.
  if (passes && plan.durationSeconds > 0) return s.fail("duration", "and \"passes\" cannot both be given", nullptr);
  if (passes) plan.passes = static_cast<uint64_t>(*passes);
  std::optional<int64_t> maxDeviceErrors;
  if (!s.integer("max_device_errors", 0, INT64_MAX, maxDeviceErrors)) return false;
  if (maxDeviceErrors) plan.maxDeviceErrors = static_cast<uint64_t>(*maxDeviceErrors);
  std::optional<std::string> output, log;
  if (!s.string("output", output) || !s.string("log", log)) return false;
  if (output) plan.outputBase = *output;
  if (log) plan.logFile = *log;
  return s.rejectUnknown();
}

bool readDrive(const toml::table& table, size_t index, DriveSpec& drive, std::string& error) {
  Section s(table, "[[drive]] " + std::to_string(index + 1), error);
  DeviceSpec& dev = drive.device;
  std::optional<std::string> name, device;
  if (!s.string("name", name) || !s.string("device", device)) return false;
  drive.name = name.value_or("D" + std::to_string(index));
  // The name becomes part of output file names.
  if (drive.name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-.") !=
      std::string::npos)
    return s.fail("name", "may hold only letters, digits, '_', '-' and '.'", table.get("name"));
  if (device) dev.kind = *device;

  if (const toml::node* b = s.find("block_size")) {
    const auto* i = b->as_integer();
    if (i == nullptr || !sim::isUsableBlockSize(static_cast<uint64_t>(i->get())))
      return s.fail("block_size", "must be a power of two from 512 to 65536", b);
    dev.logicalBlockSize = static_cast<uint32_t>(i->get());
  }
  if (const toml::node* c = s.find("capacity")) {
    if (const auto* i = c->as_integer(); i != nullptr && i->get() > 0) {
      dev.capacityBlocks = static_cast<uint64_t>(i->get());
    } else if (c->is_string()) {
      std::string why;
      auto bytes = parseSize(c->as_string()->get(), why);
      if (!bytes) return s.fail("capacity", "is not a size: " + why, nullptr);
      if (*bytes == 0 || *bytes % dev.logicalBlockSize != 0)
        return s.fail("capacity", "must be a positive multiple of the block size " + std::to_string(dev.logicalBlockSize), c);
      dev.capacityBlocks = *bytes / dev.logicalBlockSize;
    } else {
      return s.fail("capacity", "must be a size such as \"1GiB\" or a number of blocks", c);
    }
  }
  std::optional<int64_t> exponent, depth, atomic, seed;
  if (!s.integer("physical_exponent", 0, 7, exponent) || !s.integer("queue_depth", 1, 1024, depth) ||
      !s.integer("atomic_unit", 0, 65536, atomic) || !s.integer("seed", 0, INT64_MAX, seed))
    return false;
  if (exponent) dev.log2LogicalPerPhysical = static_cast<uint32_t>(*exponent);
  if (depth) dev.queueDepth = static_cast<uint32_t>(*depth);
  if (atomic) dev.atomicUnitBlocks = static_cast<uint32_t>(*atomic);
  if (seed) dev.seed = static_cast<uint64_t>(*seed);
  if (dev.atomicUnitBlocks > dev.capacityBlocks)
    return s.fail("atomic_unit", "must not exceed the capacity of " + std::to_string(dev.capacityBlocks) + " blocks",
                  table.get("atomic_unit"));

  std::optional<std::string> completions, cache;
  if (!s.oneOf("completions", {"shuffled", "in-order"}, completions) ||
      !s.oneOf("write_cache", {"write-through", "protected", "volatile"}, cache))
    return false;
  if (completions) dev.shuffleCompletions = *completions == "shuffled";
  if (cache) dev.writeCache = *cache;
  if (!s.boolean("protection_info", dev.protectionInfo) || !s.boolean("direct_io", dev.directIo) ||
      !s.boolean("destroy_data", dev.destroyData) || !s.boolean("precondition", dev.precondition))
    return false;
  std::optional<int64_t> zoneSize;
  std::optional<std::string> zoneModel;
  if (!s.integer("zone_size", 1, INT64_MAX, zoneSize) || !s.oneOf("zone_model", {"host-managed", "host-aware"}, zoneModel))
    return false;
  if (zoneSize || zoneModel) {
    if (dev.kind != "sim") return s.fail(zoneSize ? "zone_size" : "zone_model", "needs device = \"sim\"", nullptr);
    if (!zoneSize) return s.fail("zone_model", "needs a \"zone_size\" in blocks", table.get("zone_model"));
    if (static_cast<uint64_t>(*zoneSize) > dev.capacityBlocks)
      return s.fail("zone_size", "must not exceed the capacity of " + std::to_string(dev.capacityBlocks) + " blocks",
                    table.get("zone_size"));
    dev.zoneBlocks = static_cast<uint64_t>(*zoneSize);
    dev.zoneModel = zoneModel.value_or("host-managed");
  }
  return s.rejectUnknown();
}

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

bool readFault(const toml::table& table, size_t index, TestPlan& plan, std::string& error) {
  Section s(table, "[[fault]] " + std::to_string(index + 1), error);
  FaultRule rule;
  std::optional<std::string> drive, kind;
  if (!s.string("drive", drive)) return false;
  const toml::node* k = s.find("kind");
  if (k == nullptr) return s.fail("kind", "must be given", nullptr);
  const auto& kinds = faultKinds();
  if (!k->is_string() || std::find(kinds.begin(), kinds.end(), k->as_string()->get()) == kinds.end()) {
    std::string list;
    for (const std::string& n : kinds) list += (list.empty() ? "" : ", ") + quote(n);
    return s.fail("kind", "must be one of " + list, k);
  }
  rule.kind = k->as_string()->get();
  std::optional<int64_t> lba, after, count;
  if (!s.integer("lba", 0, INT64_MAX, lba) || !s.integer("after", 0, INT64_MAX, after) ||
      !s.integer("count", 0, UINT32_MAX, count))
    return false;
  if (lba) rule.lba = static_cast<uint64_t>(*lba);
  if (after) rule.after = static_cast<uint64_t>(*after);
  if (count) rule.count = static_cast<uint32_t>(*count);
  if (const toml::node* r = s.find("rate")) {
    double rate = -1;
    if (const auto* f = r->as_floating_point()) rate = f->get();
    else if (const auto* i = r->as_integer()) rate = static_cast<double>(i->get());
    if (!(rate > 0 && rate <= 1)) return s.fail("rate", "must be a probability above 0 and at most 1", r);
    rule.rate = rate;
  }
  if (!durationValue(s, "delay", false, rule.delaySeconds)) return false;
  if (rule.kind == "slow" && rule.delaySeconds == 0) return s.fail("delay", "must be given for kind \"slow\"", nullptr);
  if (rule.kind != "slow" && rule.delaySeconds != 0)
    return s.fail("delay", "applies only to kind \"slow\"", table.get("delay"));
  if (!s.rejectUnknown()) return false;

  // A rule without a drive applies to every drive.
  bool matched = false;
  for (DriveSpec& d : plan.drives) {
    if (drive && d.name != *drive) continue;
    if (d.device.kind != "sim" && !sim::faultKindWorksOnRealDevices(rule.kind))
      return s.fail("kind", "needs a simulated drive, and drive " + d.name + " is " + quote(d.device.kind) +
                                " (files and block devices take corrupt, abort, medium-error, hard-error and "
                                "recovered-error)", k);
    if (lba && *lba >= 0 && static_cast<uint64_t>(*lba) >= d.device.capacityBlocks)
      return s.fail("lba", "must lie below the capacity of drive " + d.name + " (" +
                               std::to_string(d.device.capacityBlocks) + " blocks)", table.get("lba"));
    d.device.faults.push_back(rule);
    matched = true;
  }
  if (!matched) return s.fail("drive", "does not name a drive of this file", table.get("drive"));
  return true;
}

bool hasKey(const TestPlan& plan, std::string_view key) {
  return std::any_of(plan.keys.begin(), plan.keys.end(), [&](const auto& kv) { return kv.first == key; });
}

bool readDocument(const toml::table& root, TestPlan& plan, std::string& error) {
  for (auto&& [key, node] : root) {
    // [expect] holds what a fault-proof case expects of the run; running the case ignores it.
    if (key != "test" && key != "drive" && key != "flow" && key != "cardamor" && key != "fault" && key != "expect") {
      error = (node.is_table() || node.is_array_of_tables() ? "unknown table [" + std::string(key.str()) + "]"
                                                            : "unknown key " + quote(key.str()));
      error += " (expected [test], [[drive]], [[flow]], [cardamor] or [[fault]])";
      return false;
    }
  }
  if (!readTest(root, plan, error)) return false;

  std::vector<const toml::table*> tables;
  if (!tablesOf(root, "drive", tables, error)) return false;
  for (size_t i = 0; i < tables.size(); ++i) {
    DriveSpec drive;
    if (!readDrive(*tables[i], i, drive, error)) return false;
    for (const DriveSpec& other : plan.drives) {
      if (other.name == drive.name) {
        error = "[[drive]] " + std::to_string(i + 1) + ": \"name\" " + quote(drive.name) + " is used by two drives";
        return false;
      }
    }
    plan.drives.push_back(std::move(drive));
  }
  if (plan.drives.empty()) plan.drives.push_back(DriveSpec{"D0", DeviceSpec{}});

  tables.clear();
  if (!tablesOf(root, "flow", tables, error)) return false;
  for (size_t i = 0; i < tables.size(); ++i) {
    StepSpec step;
    if (!readStep(*tables[i], i, step, error)) return false;
    plan.flow.push_back(std::move(step));
  }
  if (!readAgentKeys(root, plan, error)) return false;
  if (plan.flow.empty()) {
    plan.flow = defaultFlow();
    // The default flow guards its commands with these names; the agent has to apply the same.
    if (!hasKey(plan, "Write Condition")) plan.keys.emplace_back("Write Condition", "write");
    if (!hasKey(plan, "Read Condition")) plan.keys.emplace_back("Read Condition", "read");
  }

  tables.clear();
  if (!tablesOf(root, "fault", tables, error)) return false;
  for (size_t i = 0; i < tables.size(); ++i)
    if (!readFault(*tables[i], i, plan, error)) return false;
  return true;
}

}  // namespace

std::vector<StepSpec> defaultFlow() {
  return {
      {StepSpec::Kind::Agent, "lba", "", {}},
      {StepSpec::Kind::Agent, "cardamor", "", {}},
      {StepSpec::Kind::Write, "Write", "write", {}},
      {StepSpec::Kind::Read, "Read", "read", {}},
      {StepSpec::Kind::GetStatus, "GetStatus", "", {}},
  };
}

const std::vector<std::string>& faultKinds() {
  static const std::vector<std::string> kKinds(sim::kFaultKindNames.begin(), sim::kFaultKindNames.end());
  return kKinds;
}

bool parseTestFile(std::string_view text, const std::string& sourceName, TestPlan& plan, std::string& error) {
  plan = TestPlan{};
  plan.sourceFile = sourceName;
  try {
    toml::table root = toml::parse(text, sourceName);
    if (readDocument(root, plan, error)) return true;
    error = sourceName + ": " + error;
  } catch (const toml::parse_error& e) {
    error = sourceName + ":" + std::to_string(e.source().begin.line) + ":" + std::to_string(e.source().begin.column) +
            ": " + escapeControl(e.description());
  }
  plan = TestPlan{};
  return false;
}

bool loadTestFile(const std::string& path, TestPlan& plan, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": cannot open the test file: " + std::strerror(errno);
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    error = path + ": cannot read the test file";
    return false;
  }
  return parseTestFile(text.str(), path, plan, error);
}

}  // namespace varnox::cli
