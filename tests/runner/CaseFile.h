#pragma once
// Test cases kept as data in tests/runner/cases/, so a new row costs no code. Every file there
// has this shape, and says at its top what its blocks mean:
//   === NAME            starts a case
//   --- KEY ARGUMENT    a block: its body is the lines up to the next "---" or "===" line, each
//                       ending in a newline; trailing blank lines are dropped
//   # ...               a comment line, anywhere
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace varnox::testing {

struct CaseBlock {
  std::string key, arg, body;
};
struct Case {
  std::string name;  // "NAME (FILE:LINE)", for failure messages
  std::vector<CaseBlock> blocks;
};

inline std::string casePath(const std::string& name) {
  return std::string(VARNOX_SOURCE_DIR) + "/tests/runner/cases/" + name;
}

inline std::vector<Case> readCases(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.is_open()) << path;
  std::vector<Case> cases;
  auto endBlock = [&cases] {
    if (cases.empty() || cases.back().blocks.empty()) return;
    std::string& body = cases.back().blocks.back().body;
    while (body.ends_with("\n\n")) body.pop_back();
    if (body == "\n") body.clear();
  };
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (line.starts_with("#")) continue;
    if (line.starts_with("=== ")) {
      endBlock();
      cases.push_back({line.substr(4) + " (" + path + ":" + std::to_string(number) + ")", {}});
    } else if (line.starts_with("--- ") && !cases.empty()) {
      endBlock();
      const size_t space = line.find(' ', 4);
      cases.back().blocks.push_back(
          {line.substr(4, space - 4), space == std::string::npos ? "" : line.substr(space + 1), ""});
    } else if (!cases.empty() && !cases.back().blocks.empty()) {
      cases.back().blocks.back().body += line + "\n";
    } else if (!line.empty()) {
      ADD_FAILURE() << path << ":" << number << ": a line outside any block";
    }
  }
  endBlock();
  return cases;
}

// Words split at spaces; "double quotes" keep spaces, \n stands for a newline.
inline std::vector<std::string> splitArgs(const std::string& line) {
  std::vector<std::string> args;
  std::string arg;
  bool quoted = false, any = false;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == ' ' && !quoted) {
      if (any) args.push_back(arg);
      arg.clear();
      any = false;
      continue;
    }
    any = true;
    if (line[i] == '"') {
      quoted = !quoted;
    } else if (line.compare(i, 2, "\\n") == 0) {
      arg += '\n';
      ++i;
    } else {
      arg += line[i];
    }
  }
  if (any) args.push_back(arg);
  return args;
}

inline std::vector<std::string> bodyLines(const std::string& body) {
  std::vector<std::string> lines;
  std::istringstream in(body);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// `text` with every "{NAME}" of `vars` replaced.
inline std::string expand(std::string text, const std::vector<std::pair<std::string, std::string>>& vars) {
  for (const auto& [name, value] : vars)
    for (size_t at = 0; (at = text.find(name, at)) != std::string::npos; at += value.size())
      text.replace(at, name.size(), value);
  return text;
}

}  // namespace varnox::testing
