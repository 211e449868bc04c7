#include "TestFileSection.h"

#include <sstream>

#include "Messages.h"
#include "Units.h"

namespace varnox::cli::testfile {

std::string quote(std::string_view s) { return quoted(s); }

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

std::optional<std::string> scalarText(const toml::node& node) {
  switch (node.type()) {
    case toml::node_type::string: return node.as_string()->get();
    case toml::node_type::integer: return std::to_string(node.as_integer()->get());
    case toml::node_type::boolean: return std::string(node.as_boolean()->get() ? "true" : "false");
    case toml::node_type::floating_point: return describe(node);
    default: return std::nullopt;
  }
}

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

}  // namespace varnox::cli::testfile
