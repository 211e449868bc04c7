#include "OutputDirectory.h"

#include <filesystem>

namespace varnox::cli {

bool makeOutputDirectory(const std::string& base, std::string& created, std::string& error) {
  namespace fs = std::filesystem;
  created.clear();
  const fs::path directory = fs::path(base).parent_path();
  std::error_code ec;
  if (directory.empty() || fs::exists(directory, ec)) return true;
  if (!fs::create_directories(directory, ec) && ec) {
    error = "cannot create the output directory " + directory.string() + ": " + ec.message();
    return false;
  }
  created = directory.string();
  return true;
}

}  // namespace varnox::cli
