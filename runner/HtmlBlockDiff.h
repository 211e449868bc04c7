#pragma once
// The failing block in the HTML report: the drive's and the reference bytes side by side as hex,
// every differing byte marked (class="diff"), and the embedded header of both decoded.
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace varnox::cli::html {

std::vector<uint8_t> fromHex(const std::string& hex);

// The decoded headers ("Embedded header") and the hex of both blocks.
void blockDiff(std::ostringstream& out, const std::vector<uint8_t>& drive,
               const std::vector<uint8_t>& reference);

}  // namespace varnox::cli::html
