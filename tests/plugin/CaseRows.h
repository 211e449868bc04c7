#pragma once
// Reads a table of cases kept as data next to its test: one case a line, fields separated by
// " | ", blank lines and lines starting with '#' skipped; a field may be a list of its own
// (split() it) or "-" for none. A missing or empty file fails the test.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace varnox::testing {

// The parts of `text` between separators `sep`; none for "-", which marks an empty field.
inline std::vector<std::string> split(const std::string& text, const std::string& sep) {
  std::vector<std::string> parts;
  for (size_t from = 0, at = 0; text != "-" && at != std::string::npos; from = at + sep.size()) {
    at = text.find(sep, from);
    parts.push_back(text.substr(from, at - from));
  }
  return parts;
}

// `file` is relative to tests/plugin/.
inline std::vector<std::vector<std::string>> caseRows(const std::string& file) {
  const std::string path = std::string(VARNOX_SOURCE_DIR) + "/tests/plugin/" + file;
  std::ifstream in(path);
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#') rows.push_back(split(line, " | "));
  }
  EXPECT_FALSE(rows.empty()) << "no cases in " << path;
  return rows;
}

}  // namespace varnox::testing
