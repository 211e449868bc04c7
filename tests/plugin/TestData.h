#pragma once
// Test data kept in files next to the tests, under tests/plugin/:
// - case tables: one case a line, fields separated by " | ", blank lines and lines starting with
//   '#' skipped; a field may be a list of its own (split() it) or "-" for none;
// - golden files: the exact text a formatter must produce.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace varnox::testing {

inline std::string testDataPath(const std::string& file) {
  return std::string(VARNOX_SOURCE_DIR) + "/tests/plugin/" + file;
}

// The parts of `text` between separators `sep`; none for "-", which marks an empty field.
inline std::vector<std::string> split(const std::string& text, const std::string& sep) {
  std::vector<std::string> parts;
  for (size_t from = 0, at = 0; text != "-" && at != std::string::npos; from = at + sep.size()) {
    at = text.find(sep, from);
    parts.push_back(text.substr(from, at - from));
  }
  return parts;
}

inline std::vector<std::vector<std::string>> caseRows(const std::string& file) {
  const std::string path = testDataPath(file);
  std::ifstream in(path);
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#') rows.push_back(split(line, " | "));
  }
  EXPECT_FALSE(rows.empty()) << "no cases in " << path;
  return rows;
}

// Compares `actual` with the golden file; CARDAMOR_UPDATE_GOLDEN=1 rewrites the file instead
// (review the diff by hand).
inline void expectGolden(const std::string& actual, const std::string& golden) {
  const std::string path = testDataPath(golden);
  if (std::getenv("CARDAMOR_UPDATE_GOLDEN")) {
    std::ofstream(path, std::ios::binary) << actual;
    return;
  }
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(actual, std::string(std::istreambuf_iterator<char>(in), {})) << "golden file " << path;
}

}  // namespace varnox::testing
