#pragma once
// Error messages are one line each: values quoted in them from test files and options may hold
// control characters (a "\n" in a TOML string, a pasted tab), which are written escaped.
#include <string>
#include <string_view>

namespace varnox::cli {

// `text` with newline, tab and carriage return as \n, \t, \r and other control characters as
// \xNN; everything else, UTF-8 included, unchanged.
std::string escapeControl(std::string_view text);

// `text` in double quotes, escaped as above: "value".
std::string quoted(std::string_view text);

// `text` as one word of a POSIX shell command: unchanged when it needs no quotes, else in single
// quotes.
std::string shellWord(const std::string& text);

}  // namespace varnox::cli
