#pragma once
// Reads a table of cases kept as data next to its test: one case a line, fields separated by
// " | ", blank lines and lines starting with '#' skipped. A missing or empty file fails the test.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace varnox::testing {

// `file` is relative to tests/plugin/.
inline std::vector<std::vector<std::string>> caseRows(const std::string& file) {
  const std::string path = std::string(VARNOX_SOURCE_DIR) + "/tests/plugin/" + file;
  std::ifstream in(path);
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string>& row = rows.emplace_back();
    for (size_t from = 0, bar = 0; bar != std::string::npos; from = bar + 3) {
      bar = line.find(" | ", from);
      row.push_back(line.substr(from, bar - from));
    }
  }
  EXPECT_FALSE(rows.empty()) << "no cases in " << path;
  return rows;
}

}  // namespace varnox::testing
