#pragma once
// Checked reading of a test file's keys: the typed getters every table reader uses, so that a
// value of the wrong kind or out of range is reported by table, key and value, and a misspelt
// key is reported instead of silently ignored.
#include <toml++/toml.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace varnox::cli::testfile {

std::string quote(std::string_view s);

// How a value looked in the file, for "got ..." in messages.
std::string describe(const toml::node& node);

// Whether `a` comes before `b` in the file.
bool before(const toml::source_position& a, const toml::source_position& b);

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
    if (!node->is_string() || node->as_string()->get().empty())
      return fail(key, "must be a non-empty string", node);
    out = node->as_string()->get();
    return true;
  }

  bool oneOf(std::string_view key, std::initializer_list<std::string_view> choices,
             std::optional<std::string>& out) {
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

  // A non-empty array of strings whose first (the program of a command) is not empty.
  bool stringList(std::string_view key, std::vector<std::string>& out) {
    const toml::node* node = find(key);
    if (node == nullptr) return true;
    const toml::array* list = node->as_array();
    std::vector<std::string> values;
    for (size_t i = 0; list != nullptr && i < list->size(); ++i) {
      if (!(*list)[i].is_string()) break;
      values.push_back((*list)[i].as_string()->get());
    }
    if (list == nullptr || list->empty() || values.size() != list->size())
      return fail(
          key, "must be a list of strings, the program first, such as [\"losetup\", \"-d\", \"/dev/loop3\"]",
          node);
    if (values.front().empty()) return fail(key, "must name a program first, not an empty string", node);
    out = std::move(values);
    return true;
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
bool tablesOf(const toml::table& root, std::string_view name, std::vector<const toml::table*>& out,
              std::string& error);

// Scalars of step settings and agent keys become text; the receiver parses them.
std::optional<std::string> scalarText(const toml::node& node);

// A duration key: "30s", "500ms", or whole seconds. `zeroAllowed`: 0 is a value of its own.
bool durationValue(Section& s, std::string_view key, bool zeroAllowed, double& out);

}  // namespace varnox::cli::testfile
