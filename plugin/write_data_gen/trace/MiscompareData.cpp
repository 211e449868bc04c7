#include "trace/MiscompareData.h"

#include <cstdio>
#include <utility>

#include "trace/OutputFile.h"
#include "varnox/DriveThread.h"

namespace cardamor {

void dumpMiscompareData(varnox::DriveThread* thread, const uint8_t* bytes, uint64_t count, std::string path) {
  writeMiscompareData(thread, bytes, count, std::move(path));
}

std::string writeMiscompareData(varnox::DriveThread* thread, const uint8_t* bytes, uint64_t count,
                                std::string path) {
  int status = 0;  // which work-around was needed does not matter for a data file
  FILE* out = openUniqueFile(path, "wb", status, OPEN_FALLBACK | OPEN_UNIQUE | OPEN_CREATE_DIRS);
  if (out == nullptr) {
    thread->eventLog().logf(2, "dumpMiscompareData(): could not open '%s' for writing", path.c_str());
    return {};
  }
  if (bytes != nullptr && count != 0) std::fwrite(bytes, 1, static_cast<size_t>(count), out);
  std::fflush(out);
  std::fclose(out);
  thread->eventLog().logf(2, "Miscompare Data Written To '%s'", path.c_str());
  return path;
}

}  // namespace cardamor
