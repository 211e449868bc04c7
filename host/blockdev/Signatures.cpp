#include "blockdev/Signatures.h"

#include <blkid.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace varnox::blockdev {

int openForInspection(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOATIME);
  // O_NOATIME is only for the owner of the file (or a privileged process).
  if (fd < 0 && errno == EPERM) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  return fd;
}

bool probeSignatures(int fd, std::vector<std::string>& types, std::string& error) {
  types.clear();
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    error = std::strerror(errno);
    return false;
  }
  if (S_ISREG(st.st_mode) && st.st_size == 0) return true;  // blkid refuses an empty file; nothing to lose there
  std::unique_ptr<blkid_struct_probe, decltype(&blkid_free_probe)> probe(blkid_new_probe(), &blkid_free_probe);
  if (!probe || blkid_probe_set_device(probe.get(), fd, 0, 0) != 0) {
    error = "blkid cannot probe it";
    return false;
  }
  blkid_probe_enable_superblocks(probe.get(), 1);
  blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_TYPE | BLKID_SUBLKS_BADCSUM);
  blkid_probe_enable_partitions(probe.get(), 1);
  blkid_probe_set_partitions_flags(probe.get(), BLKID_PARTS_MAGIC);
  // Each call reports the next signature, as wipefs lists them, rather than stopping at the first.
  int status = 0;
  while ((status = blkid_do_probe(probe.get())) == 0) {
    const char* type = nullptr;
    if (blkid_probe_lookup_value(probe.get(), "TYPE", &type, nullptr) == 0 ||
        blkid_probe_lookup_value(probe.get(), "PTTYPE", &type, nullptr) == 0)
      types.emplace_back(type);
  }
  if (status < 0) {
    error = "blkid failed to read it";
    return false;
  }
  return true;
}

}  // namespace varnox::blockdev
