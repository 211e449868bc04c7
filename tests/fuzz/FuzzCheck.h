#pragma once
// Invariants inside fuzz targets. A broken invariant prints what broke and aborts, which
// libFuzzer treats as a crash: the input is saved and its path printed. Each invariant's text is
// unique within its target, so it leads to the line.
#include <cstdio>
#include <cstdlib>
#include <string>

namespace varnox::fuzz {

inline void fuzzCheck(bool holds, const char* what, const std::string& detail = {}) {
  if (holds) return;
  std::fprintf(stderr, "invariant broken: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
  std::abort();
}

}  // namespace varnox::fuzz
