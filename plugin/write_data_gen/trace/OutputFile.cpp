#include "trace/OutputFile.h"

#include <boost/filesystem.hpp>
#include <boost/system/error_code.hpp>

namespace cardamor {
namespace {

namespace fs = boost::filesystem;

// A status that cannot be read counts as "not there".
bool pathExists(const fs::path& path) {
  boost::system::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  return !ec && st.type() != fs::file_not_found && st.type() != fs::status_error;
}

// The first free name among the path and its ".000" ... ".fff" variants; the path itself
// (with status 5) when every one of them exists.
std::string uniqueName(const std::string& path, int& status) {
  if (!pathExists(fs::path(path))) return path;
  char suffix[8];
  for (unsigned i = 0; i < 4096; ++i) {
    std::snprintf(suffix, sizeof suffix, ".%03x", i);
    std::string candidate = path + suffix;
    if (!pathExists(fs::path(candidate))) return candidate;
  }
  status = kOpenStatusNoUniqueName;
  return path;
}

}  // namespace

FILE* openUniqueFile(std::string& path, std::string mode, int& status, unsigned options) {
  std::string name = (options & OPEN_UNIQUE) ? uniqueName(path, status) : path;

  // The mode keeps its "e" (close-on-exec): glibc's fopen knows 'e' as O_CLOEXEC, while 'N' is
  // another C library's letter for the same thing and glibc would silently ignore it.
  FILE* stream = std::fopen(name.c_str(), mode.c_str());
  if (!stream) {
    fs::path parent = fs::path(path).parent_path();
    if (parent.empty()) parent = ".";  // a bare file name lives in the current directory
    boost::system::error_code ec;
    const fs::file_status st = fs::status(parent, ec);
    if (ec || st.type() == fs::file_not_found || st.type() == fs::status_error) {
      if (options & OPEN_CREATE_DIRS) {
        boost::system::error_code createEc;
        fs::create_directories(parent, createEc);
        if (createEc) status = kOpenStatusCreateFailed;
      } else {
        status = kOpenStatusParentMissing;
      }
    } else if (st.type() == fs::directory_file) {
      status = kOpenStatusOpenFailed;
    } else {
      status = kOpenStatusParentNotDirectory;
    }

    stream = std::fopen(name.c_str(), mode.c_str());
    if (!stream) {
      status = kOpenStatusOpenFailed;
      if (options & OPEN_FALLBACK) {
        boost::system::error_code cwdEc;
        const fs::path cwd = fs::current_path(cwdEc);
        if (!cwdEc) {
          // The fallback must not create directories or fall back again; its own status is
          // not ours: a failed fallback leaves the status of the failed second open.
          std::string fallback = (cwd / fs::path(path).filename()).string();
          int fallbackStatus = kOpenStatusOk;
          stream = openUniqueFile(fallback, mode, fallbackStatus, OPEN_UNIQUE);
          name = fallback;
          if (stream) status = kOpenStatusFallback;
        }
      }
    }
  }
  path = name;
  return stream;
}

}  // namespace cardamor
