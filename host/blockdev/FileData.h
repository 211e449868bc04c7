#pragma once
// What an existing regular file holds before a test writes it: nothing but zeros (or holes),
// blocks a run of this tool wrote, or somebody's data, which no test may overwrite unasked.
#include <cstdint>
#include <string>

namespace varnox::blockdev {

struct FileData {
  enum class Kind { Empty, ZerosOrOwnBlocks, Foreign, Unreadable };
  Kind kind = Kind::Empty;
  uint64_t offset = 0;  // Foreign: the byte offset of the first sample that is neither
  std::string error;    // Unreadable: why
};

// True when the 512 bytes (or fewer, `bytes`) at a block's start are the tool's own: zeros, the
// precondition's header, or the data agent's block header (bucket number below 0x80000 with byte
// 3 zero, an embedded LBA below 2^48 and an identifier of at most 8 bytes).
bool isOwnBlockStart(const uint8_t* block, size_t bytes);

// Samples the file's data (holes skipped): the first 512 bytes at every 64 KiB boundary inside
// its data, spread over at most 4096 samples. A 64 KiB boundary is the start of a block for every
// block size a run may have used, so a file only runs wrote shows a header or zeros at each one.
FileData inspectFileData(const std::string& path);

}  // namespace varnox::blockdev
