// The crash harness's hand on the medium (scripts/crash-harness): after a killed journaled run it
// changes one block that the journal says is judged, so that verify must fail exactly there.
//
//   journal_tamper DIR corrupt|zero|older SEED [SNAPSHOT]
//
// Picks, by SEED, a block of the journal's first drive whose newest durable write is known (so
// the content from before the journal is no longer legal) and changes it in the drive's file (a
// file drive, or a simulated drive's medium file):
//   corrupt  one byte of its data inverted
//   zero     zeros, where no legal content of the block is zeros
//   older    its content in SNAPSHOT (a copy of the drive's file taken during the run) where that
//            is an older write that completed and was then replaced by a durable one
// Prints "LBA <hex> <kind>" and exits 0; exits 4 when no block qualifies (the run was too short,
// or the snapshot holds nothing older), 2 on bad arguments or an unreadable journal.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "journal/JournalFormat.h"
#include "journal/JournalJudge.h"
#include "journal/JournalManifest.h"
#include "sim/PersistentMedium.h"

namespace {

using namespace varnox::journal;

uint64_t splitmix(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

bool readAt(int fd, uint8_t* into, size_t bytes, uint64_t offset) {
  return ::pread(fd, into, bytes, static_cast<off_t>(offset)) == static_cast<ssize_t>(bytes);
}

int fail(const std::string& why) {
  std::fprintf(stderr, "journal_tamper: %s\n", why.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || argc > 5) return fail("usage: journal_tamper DIR corrupt|zero|older SEED [SNAPSHOT]");
  const std::string dir = argv[1], kind = argv[2];
  uint64_t seed = std::strtoull(argv[3], nullptr, 10);
  if (kind != "corrupt" && kind != "zero" && kind != "older") return fail("unknown change " + kind);
  if (kind == "older" && argc != 5) return fail("older needs a snapshot of the drive's file");

  JournalManifest manifest;
  std::string error;
  if (!readManifest(dir, manifest, error) || manifest.drives.empty())
    return fail(error.empty() ? "no drive" : error);
  const JournalDrive& drive = manifest.drives.front();
  JournalContents contents;
  if (!readJournalFile(dir + "/" + drive.file, contents, error)) return fail(error);

  const bool sim = drive.device.kind == "sim";
  const std::string path = sim ? drive.device.medium : drive.device.kind;
  const uint32_t bs = drive.logicalBlockSize;
  const uint64_t stored = bs + (sim && drive.device.protectionInfo ? 8 : 0);
  const uint64_t base = sim ? varnox::sim::kMediumHeaderBytes : 0;
  // A flush the kill left staged is finished first, so that the change is not undone by it.
  if (sim && !varnox::sim::PersistentMedium::finishStagedFlush(path, error)) return fail(error);
  const int fd = ::open(path.c_str(), O_RDWR);
  if (fd < 0) return fail(path + ": " + std::strerror(errno));
  int snapshot = -1;
  if (argc == 5 && (snapshot = ::open(argv[4], O_RDONLY)) < 0)
    return fail(std::string(argv[4]) + ": " + std::strerror(errno));

  // The cache as verify takes it: completed writes wait for a sync on a volatile cache, and on a
  // file reached through the page cache when the journal survives the host's power loss.
  const bool volatileCache = drive.device.writeCache == "volatile" ||
                             (manifest.journalSync != "process" && !sim && !drive.device.directIo);
  const JournalJudge judge(contents.records, volatileCache, bs);
  const std::vector<uint64_t> lbas = judge.lbas();
  std::vector<uint8_t> block(stored), older(stored);
  const uint64_t start = lbas.empty() ? 0 : splitmix(seed) % lbas.size();
  for (size_t n = 0; n < lbas.size(); ++n) {
    const uint64_t lba = lbas[(start + n) % lbas.size()];
    if (judge.newestDurable(lba) < 0 || judge.earlierLegal(lba)) continue;
    std::vector<uint64_t> legal;
    for (int c : judge.legal(lba)) {
      const JournaledCommand& command = judge.commands()[c];
      for (uint32_t k = 0; k < command.blocks; ++k)
        if (command.lbaOf(k) == lba) legal.push_back(command.hashOf(k, judge.zeroHash()));
    }
    auto isLegal = [&](uint64_t hash) { return std::find(legal.begin(), legal.end(), hash) != legal.end(); };
    const uint64_t offset = base + lba * stored;
    if (!readAt(fd, block.data(), stored, offset))
      return fail(path + ": cannot read LBA " + std::to_string(lba));
    if (kind == "corrupt") {
      block[splitmix(seed) % bs] ^= 0xFF;
    } else if (kind == "zero") {
      if (isLegal(judge.zeroHash())) continue;
      std::fill(block.begin(), block.begin() + bs, 0);
    } else {
      if (!readAt(snapshot, older.data(), stored, offset)) continue;
      const uint64_t hash = blockHash(older.data(), bs);
      bool replaced = false;  // an older write that completed and was ruled out by a durable one
      for (int c : judge.ruledOut(lba)) {
        const JournaledCommand& command = judge.commands()[c];
        for (uint32_t k = 0; k < command.blocks; ++k)
          if (command.lbaOf(k) == lba && command.durable && command.hashOf(k, judge.zeroHash()) == hash)
            replaced = true;
      }
      if (!replaced || isLegal(hash)) continue;
      std::memcpy(block.data(), older.data(), bs);
    }
    if (::pwrite(fd, block.data(), stored, static_cast<off_t>(offset)) != static_cast<ssize_t>(stored))
      return fail(path + ": cannot write LBA " + std::to_string(lba));
    std::printf("LBA 0x%016" PRIX64 " %s\n", lba, kind.c_str());
    return 0;
  }
  std::printf("no block to change (%s)\n", kind.c_str());
  return 4;
}
