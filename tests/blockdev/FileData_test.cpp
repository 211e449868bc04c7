// What a file holds before a test may write it: zeros, holes and the tool's own blocks are the
// tool's; anything else, wherever the samples find it, is the user's.
#include "blockdev/FileData.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "blockdev/Precondition.h"
#include "support/TempDir.h"

namespace varnox::blockdev {
namespace {

using FileDataTest = testing::TempDirTest;

// A block as the data agent writes it: bucket 0x012345, the LBA embedded, a 2-byte identifier.
std::vector<uint8_t> agentBlock(uint32_t bytes, uint64_t lba) {
  std::vector<uint8_t> block(bytes, 0xA5);
  block[0] = 0x01, block[1] = 0x23, block[2] = 0x45, block[3] = 0;
  for (int i = 0; i < 8; ++i) block[8 + i] = static_cast<uint8_t>(lba >> (56 - 8 * i));
  block[16] = 2, block[17] = 0x12, block[18] = 0x34;
  return block;
}

void writeAt(const std::string& path, uint64_t offset, const std::vector<uint8_t>& data) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset)),
            static_cast<ssize_t>(data.size()));
  ::close(fd);
}

TEST_F(FileDataTest, OwnBlocksZerosAndHolesAreTheToolsAndAnythingElseIsTheUsers) {
  using Kind = FileData::Kind;
  std::vector<uint8_t> precondition(4096, 0x3C);
  std::memcpy(precondition.data(), kPreconditionMagic, sizeof kPreconditionMagic);
  const std::vector<uint8_t> text = {'h', 'e', 'l', 'l', 'o', '\n'};
  struct Case {
    const char* name;
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> writes;
    Kind kind;
    uint64_t offset;
  };
  const std::vector<Case> cases = {
      {"empty", {}, Kind::Empty, 0},
      {"zeros", {{0, std::vector<uint8_t>(200000, 0)}}, Kind::ZerosOrOwnBlocks, 0},
      {"a short text", {{0, text}}, Kind::Foreign, 0},
      {"agent blocks of 4 KiB",
       {{0, agentBlock(4096, 0)}, {65536, agentBlock(4096, 16)}},
       Kind::ZerosOrOwnBlocks,
       0},
      {"agent blocks of 64 KiB: data after the header",
       {{0, agentBlock(65536, 0)}, {65536, agentBlock(65536, 1)}},
       Kind::ZerosOrOwnBlocks,
       0},
      {"preconditioned", {{0, precondition}, {65536, precondition}}, Kind::ZerosOrOwnBlocks, 0},
      {"a hole, then text", {{1 << 20, text}}, Kind::Foreign, 1 << 20},
      {"own blocks, then text at a boundary",
       {{0, agentBlock(512, 0)}, {131072, text}},
       Kind::Foreign,
       131072},
      {"a header one bit off",
       {{0,
         [] {
           auto b = agentBlock(512, 0);
           b[3] = 1;
           return b;
         }()}},
       Kind::Foreign,
       0},
      {"an identifier too long",
       {{0,
         [] {
           auto b = agentBlock(512, 0);
           b[16] = 9;
           return b;
         }()}},
       Kind::Foreign,
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = path(std::string(c.name) + ".img");
    std::ofstream(file, std::ios::binary).flush();
    for (const auto& [offset, data] : c.writes) writeAt(file, offset, data);
    const FileData data = inspectFileData(file);
    EXPECT_EQ(data.kind, c.kind);
    if (c.kind == Kind::Foreign) {
      EXPECT_EQ(data.offset, c.offset);
    }
  }
  EXPECT_EQ(inspectFileData(path("missing")).kind, Kind::Unreadable);
}

TEST_F(FileDataTest, HolesAreSkippedToTheEndOfALargeFile) {
  // 1 GiB of holes with a text at its last 64 KiB boundary: the samples spread over the whole file.
  const std::string file = path("big.img");
  writeAt(file, 0, agentBlock(512, 0));
  ASSERT_EQ(::truncate(file.c_str(), 1ll << 30), 0);
  writeAt(file, (1ull << 30) - 65536, {'d', 'a', 't', 'a'});
  const FileData data = inspectFileData(file);
  EXPECT_EQ(data.kind, FileData::Kind::Foreign);
  EXPECT_EQ(data.offset, (1ull << 30) - 65536);
}

}  // namespace
}  // namespace varnox::blockdev
