#pragma once
// Opening of every file written at test finish: never overwrites an earlier dump when a free
// name exists, creates a missing output directory, and falls back to the current directory
// when the configured location cannot be used. Logs nothing and throws nothing; the outcome is
// the returned stream, the path reported back and the status.

#include <cstdio>
#include <string>

namespace cardamor {

// Option bits.
inline constexpr unsigned OPEN_FALLBACK = 1;     // try the file name in the current directory
inline constexpr unsigned OPEN_UNIQUE = 2;       // append ".000" ... ".fff" while the name exists
inline constexpr unsigned OPEN_CREATE_DIRS = 4;  // create the missing parent directory

// Status values; openUniqueFile only ever assigns the status, so callers set it to 0 first.
inline constexpr int kOpenStatusOk = 0;
inline constexpr int kOpenStatusParentNotDirectory = 1;  // first open failed, parent is a file
inline constexpr int kOpenStatusParentMissing = 2;       // first open failed, no parent, no creation asked
inline constexpr int kOpenStatusOpenFailed = 3;          // open failed although the parent is there, or second open failed
inline constexpr int kOpenStatusCreateFailed = 4;        // the missing parent could not be created
inline constexpr int kOpenStatusNoUniqueName = 5;        // the path and all 4096 suffixed names exist
inline constexpr int kOpenStatusFallback = 6;            // opened in the current directory

// Opens `path` with the C stream `mode`. On return `path` holds the name opened, or the last
// name tried when nothing could be opened (then the result is null).
FILE* openUniqueFile(std::string& path, std::string mode, int& status, unsigned options);

}  // namespace cardamor
