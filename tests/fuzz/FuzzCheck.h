#pragma once
// Invariants inside fuzz targets. A broken invariant prints what broke and aborts, which both
// libFuzzer and FuzzDriver treat as a crash: the input is saved and its path printed.
#include <cstdio>
#include <cstdlib>
#include <source_location>
#include <string>

namespace varnox::fuzz {

inline void fuzzCheck(bool holds, const char* what, const std::string& detail = {},
                      std::source_location at = std::source_location::current()) {
  if (holds) return;
  std::fprintf(stderr, "%s:%u: invariant broken: %s%s%s\n", at.file_name(), static_cast<unsigned>(at.line()), what,
               detail.empty() ? "" : ": ", detail.c_str());
  std::abort();
}

}  // namespace varnox::fuzz
