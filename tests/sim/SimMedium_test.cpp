// The simulated drive's kept medium: what a killed process leaves in the file, what a later drive
// reads back, and the files a drive refuses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "SimDriveHarness.h"
#include "sim/PersistentMedium.h"
#include "sim/SimulatedDrive.h"
#include "support/TempDir.h"
#include "tavik/Tavik.h"

namespace varnox::sim {
namespace {

using namespace testing;  // the harness, patterns and configurations
using varnox::testing::readAll;

class SimMedium : public varnox::testing::TempDirTest {
 protected:
  SimConfig config(WriteCacheMode mode, bool protection = false) {
    SimConfig c = smallConfig();
    c.capacityBlocks = 1024;
    c.writeCache = mode;
    c.protectionInfo = protection;
    c.atomicUnitBlocks = 8;
    c.medium = path("drive.medium");
    return c;
  }
  // Every block of the first `blocks`, data and protection bytes as stored.
  static std::vector<uint8_t> everything(Harness& h, uint32_t blocks, bool protection) {
    return h.read(0, blocks, protection ? 3 : 0);
  }
};

// Runs `prepare` on a drive in a child process, then `flush` with a kill planned once `bytes`
// bytes have gone to the file (negative: none). The child dies of SIGKILL either way: no
// destructor, no exit handler, nothing left to flush, as when the harness kills a run. Gives the
// bytes `flush` wrote when it ran to its end, or -1 when the planned kill came first.
int64_t flushUntilKilled(const SimConfig& config, void (*prepare)(Harness&), void (*flush)(Harness&),
                         int64_t bytes) {
  constexpr int64_t kLots = int64_t{1} << 40;
  int said[2];
  EXPECT_EQ(::pipe(said), 0);
  const pid_t child = ::fork();
  EXPECT_GE(child, 0);
  if (child == 0) {
    ::close(said[0]);
    Harness h(config);
    if (!h.drive) ::_exit(2);
    prepare(h);
    PersistentMedium::killAfterBytes(bytes < 0 ? kLots : bytes);
    flush(h);
    const int64_t written = kLots - PersistentMedium::killAfterBytes(-1);
    if (::testing::Test::HasFailure() || ::write(said[1], &written, sizeof(written)) != sizeof(written))
      ::_exit(3);
    ::raise(SIGKILL);
  }
  ::close(said[1]);
  int64_t written = -1;
  if (::read(said[0], &written, sizeof(written)) != sizeof(written)) written = -1;
  ::close(said[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the child's drive work failed";
  return written;
}

void completedSyncedAndInFlight(Harness& h) {
  auto good = [](const DeviceCompletion& c) {
    if (c.status != kStatusGood) ::_exit(4);
  };
  good(h.write(0, pattern(0, 8, 512, 1)));
  good(h.sync());
  good(h.write(4, pattern(4, 8, 512, 2)));                            // completed, never synced
  if (h.submitWrite(5, 16, pattern(16, 4, 512, 3)) != 0) ::_exit(5);  // in flight at the kill
}

TEST_F(SimMedium, AKilledProcessLeavesWhatItsWriteCachePromises) {
  for (WriteCacheMode mode :
       {WriteCacheMode::WriteThrough, WriteCacheMode::Protected, WriteCacheMode::Volatile}) {
    for (bool protection : {false, true}) {
      SCOPED_TRACE(std::string(writeCacheModeName(mode)) + (protection ? " with protection" : ""));
      std::filesystem::remove(path("drive.medium"));
      const SimConfig c = config(mode, protection);
      ASSERT_GE(flushUntilKilled(
                    c, completedSyncedAndInFlight, [](Harness&) {}, -1),
                0);

      Harness h(c);
      ASSERT_TRUE(h.drive);
      std::vector<uint8_t> expect = pattern(0, 8, 512, 1);
      if (mode == WriteCacheMode::Volatile) {
        expect.resize(12 * 512, 0);  // the unsynced write was in the cache the kill lost
      } else {
        expect.resize(4 * 512);
        const auto completed = pattern(4, 8, 512, 2);
        expect.insert(expect.end(), completed.begin(), completed.end());
      }
      EXPECT_EQ(h.read(0, 12), expect);
      // The write in flight: each block old or new, never anything else; a volatile cache never synced it.
      const auto inFlight = h.read(16, 4), sent = pattern(16, 4, 512, 3);
      for (size_t b = 0; b < 4; ++b) {
        const bool landed = std::equal(&sent[b * 512], &sent[(b + 1) * 512], &inFlight[b * 512]);
        const bool zero =
            std::all_of(&inFlight[b * 512], &inFlight[(b + 1) * 512], [](uint8_t v) { return v == 0; });
        EXPECT_TRUE(mode == WriteCacheMode::Volatile ? zero : landed || zero) << "block " << 16 + b;
      }
      if (protection) {
        // The drive's own protection bytes were kept with the data: a checked read accepts them.
        std::vector<uint8_t> checked(8 * 520);
        EXPECT_EQ(h.readInto(0, checked, 1).status, kStatusGood);
        EXPECT_NE(std::vector<uint8_t>(checked.begin() + 512, checked.begin() + 520),
                  std::vector<uint8_t>(8, 0));
      }
      // The file's layout as documented: a page of header, then each block as stored from LBA 0.
      const std::string file = readAll(path("drive.medium"));
      const uint32_t stored = protection ? 520 : 512;
      ASSERT_EQ(file.size(), kMediumHeaderBytes + 1024 * stored);
      EXPECT_EQ(file.substr(0, 16), "VARNOX-MEDIUM-1\n");
      const auto block1 = h.read(1, 1, protection ? 3 : 0);
      EXPECT_EQ(file.substr(kMediumHeaderBytes + stored, stored), std::string(block1.begin(), block1.end()));
    }
  }
}

// An atomic write of pattern 2 that completes; the child gives up when the drive refuses it.
void atomicWrite(Harness& h, uint64_t lba, uint32_t blocks) {
  if (h.submitAtomic(1, lba, pattern(lba, blocks, 512, 2), 0) != 0) ::_exit(5);
  h.finish(1);
}

TEST_F(SimMedium, AKillInTheMiddleOfAFlushLeavesEveryAtomicUnitAndBlockWhole) {
  struct Range {
    uint64_t lba, blocks;
    bool whole;  // all old or all new; otherwise each block on its own
  };
  struct Case {
    const char* name;
    WriteCacheMode mode;
    bool protection;
    void (*prepare)(Harness&);
    void (*flush)(Harness&);
    std::vector<Range> changed;  // from pattern 1 to pattern 2
    bool bothWays;               // the sweep must see the change both lost and made
  };
  const std::vector<Case> cases = {
      {"write-through, an atomic write over two pages of the file",
       WriteCacheMode::WriteThrough,
       false,
       [](Harness& h) { h.write(0, pattern(0, 32, 512, 1)); },
       [](Harness& h) { atomicWrite(h, 5, 5); },
       {{5, 5, true}},
       true},
      {"volatile, the sync of two atomic writes and a plain one",
       WriteCacheMode::Volatile,
       false,
       [](Harness& h) {
         h.write(0, pattern(0, 32, 512, 1));
         h.sync();
         atomicWrite(h, 5, 5);
         h.write(24, pattern(24, 4, 512, 2));
         atomicWrite(h, 13, 6);
       },
       [](Harness& h) { h.sync(); },
       {{5, 5, true}, {13, 6, true}, {24, 4, false}},
       true},
      {"protection bytes, blocks that straddle pages",
       WriteCacheMode::WriteThrough,
       true,
       [](Harness& h) { h.write(0, pattern(0, 32, 512, 1)); },
       [](Harness& h) { h.write(2, pattern(2, 10, 512, 2)); },
       {{2, 10, false}},
       true},
      // Each write's fate is the drive's draw: kept, or undone on the medium by the reset.
      {"a reset undoing atomic writes in flight",
       WriteCacheMode::WriteThrough,
       false,
       [](Harness& h) {
         h.write(0, pattern(0, 32, 512, 1));
         for (uint32_t i = 0; i < 4; ++i)
           if (h.submitAtomic(1 + i, 5 + 7 * i, pattern(5 + 7 * i, 5, 512, 2), 0) != 0) ::_exit(5);
       },
       [](Harness& h) { h.drive->reset(); },
       {{5, 5, true}, {12, 5, true}, {19, 5, true}, {26, 5, true}},
       false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    SimConfig c = config(k.mode, k.protection);
    // What the drive holds after the kill: each range as the case allows, and protection bytes
    // that match their data. Gives how many ranges were changed.
    auto check = [&](Harness& h, uint64_t at) -> size_t {
      size_t made = 0;
      for (const Range& r : k.changed) {
        const auto now = h.read(r.lba, r.blocks);
        const auto before = pattern(r.lba, r.blocks, 512, 1), after = pattern(r.lba, r.blocks, 512, 2);
        if (r.whole) {
          EXPECT_TRUE(now == before || now == after) << "LBA " << r.lba << " torn, kill at byte " << at;
          made += now == after;
          continue;
        }
        for (uint64_t b = 0; b < r.blocks; ++b) {
          const auto block = now.begin() + b * 512;
          EXPECT_TRUE(std::equal(block, block + 512, before.begin() + b * 512) ||
                      std::equal(block, block + 512, after.begin() + b * 512))
              << "LBA " << r.lba + b << " torn, kill at byte " << at;
        }
        made += now == after;
      }
      if (k.protection) {
        std::vector<uint8_t> checked(32 * 520);
        EXPECT_EQ(h.readInto(0, checked, 1).status, kStatusGood) << "kill at byte " << at;
      }
      return made;
    };
    std::filesystem::remove(path("drive.medium"));
    const int64_t total = flushUntilKilled(c, k.prepare, k.flush, -1);
    ASSERT_GE(total, k.bothWays ? 1 : 0);
    // Every 128 bytes, and the last step (a staged copy's cut counts as one byte).
    std::vector<int64_t> kills;
    for (int64_t at = 0; at < total - 1; at += 128) kills.push_back(at);
    if (total > 0) kills.push_back(total - 1);
    bool sawLost = false, sawMade = false;
    for (const int64_t at : kills) {
      std::filesystem::remove(path("drive.medium"));
      ASSERT_EQ(flushUntilKilled(c, k.prepare, k.flush, at), -1) << "no kill at byte " << at;
      const std::string left = readAll(path("drive.medium"));
      // A reader finishes a committed flush in memory only; the next drive, or a tool, in the file.
      SimConfig reader = c;
      reader.mediumReadOnly = true;
      {
        Harness h(reader);
        ASSERT_TRUE(h.drive);
        const size_t made = check(h, at);
        sawLost = sawLost || made == 0;
        sawMade = sawMade || made == k.changed.size();
      }
      EXPECT_EQ(readAll(path("drive.medium")), left);
      std::string error;
      if (at % 256 == 0) {
        EXPECT_TRUE(PersistentMedium::finishStagedFlush(path("drive.medium"), error)) << error;
      }
      {
        Harness h(c);
        ASSERT_TRUE(h.drive);
        check(h, at);
      }
      EXPECT_EQ(std::filesystem::file_size(path("drive.medium")),
                kMediumHeaderBytes + 1024 * (k.protection ? 520 : 512))
          << "the staged copy is cut off once finished";
    }
    if (k.bothWays) {
      EXPECT_TRUE(sawLost && sawMade);
    }
  }
}

TEST_F(SimMedium, EveryKindOfChangeIsReadBackByTheNextDrive) {
  struct Case {
    const char* name;
    WriteCacheMode mode;
    bool protection;
    ZoneKind zones;
  };
  for (const Case& k :
       {Case{"write-through", WriteCacheMode::WriteThrough, false, ZoneKind::None},
        Case{"protected, protection bytes", WriteCacheMode::Protected, true, ZoneKind::None},
        Case{"volatile", WriteCacheMode::Volatile, false, ZoneKind::None},
        Case{"host-managed zones", WriteCacheMode::WriteThrough, false, ZoneKind::HostManaged}}) {
    SCOPED_TRACE(k.name);
    std::filesystem::remove(path("drive.medium"));
    SimConfig c = config(k.mode, k.protection);
    c.zones = k.zones;
    c.zoneBlocks = k.zones == ZoneKind::None ? 0 : 64;
    std::vector<uint8_t> before;
    {
      Harness h(c);
      ASSERT_TRUE(h.drive);
      h.write(0, pattern(0, 64, 512, 1));
      if (k.zones == ZoneKind::None) {
        EXPECT_EQ(h.writeSame(10, 20, pattern(10, 1, 512, 2)).status, kStatusGood);
        EXPECT_EQ(h.writeSame(40, 5, pattern(40, 1, 512, 0), true).status, kStatusGood);
        EXPECT_EQ(h.unmap({{50, 3}, {60, 2}}).status, kStatusGood);
        ASSERT_EQ(h.submitAtomic(1, 100, pattern(100, 16, 512, 4), 8), 0);
        h.finish(1);
        // Writes dropped by a reset are undone on the medium (some of them, by the drive's
        // draw), and so in the file.
        for (uint32_t i = 0; i < 8; ++i)
          ASSERT_EQ(h.submitWrite(2 + i, 200 + i * 4, pattern(200 + i * 4, 4, 512, 5)), 0);
        ASSERT_EQ(h.drive->reset(), 0);
        EXPECT_NE(h.read(200, 32), pattern(200, 32, 512, 5));
        h.write(300, pattern(300, 8, 512, 6));
        EXPECT_EQ(h.sync().status, kStatusGood);
        // A power cut loses a volatile cache's unsynced write; the file never sees it.
        h.write(400, pattern(400, 8, 512, 7));
        ASSERT_EQ(h.drive->powerToggle(), 0);
        h.write(500, pattern(500, 8, 512, 8));
        // Thousands of scattered writes before the sync: what the drive notes for the file is
        // merged as it goes, and none is left out.
        for (uint32_t i = 0; i < 5000; ++i)
          h.write(600 + i * 7 % 400, pattern(600 + i * 7 % 400, 1, 512, 10 + i % 7));
      } else {
        h.write(64, pattern(64, 64, 512, 2));
        uint8_t cdb[kCdbMaxBytes];
        EXPECT_EQ(h.runCdb(cdb, buildResetWritePointer(cdb, 64)).status, kStatusGood);
        h.write(128, pattern(128, 16, 512, 3));
      }
      EXPECT_EQ(h.sync().status, kStatusGood);
      before = everything(h, 1024, k.protection);
      EXPECT_NE(before, std::vector<uint8_t>(before.size(), 0));
    }
    Harness h(c);
    ASSERT_TRUE(h.drive);
    EXPECT_EQ(everything(h, 1024, k.protection), before);
    if (k.zones != ZoneKind::None) {
      // The write pointers came back too: zone 0 is full and zone 2 takes its next write at 144.
      EXPECT_SENSE(h.write(0, pattern(0, 1, 512, 9)), kSenseIllegalRequest, 0x21, 0x04);
      EXPECT_SENSE(h.write(128, pattern(128, 1, 512, 9)), kSenseIllegalRequest, 0x21, 0x04);
      EXPECT_EQ(h.write(144, pattern(144, 1, 512, 9)).status, kStatusGood);
    }
  }
}

TEST_F(SimMedium, FilesThatDoNotFitAreRefusedNamingThem) {
  const SimConfig good = config(WriteCacheMode::WriteThrough);
  {
    Harness h(good);
    h.write(0, pattern(0, 4, 512, 1));
  }
  const std::string medium = readAll(path("drive.medium"));
  // Committed, with one range past the drive's 1024 blocks.
  std::string stagedPastTheEnd = std::string("VXSTAGED") + std::string(24, '\0');
  stagedPastTheEnd[8] = 1;
  stagedPastTheEnd[16] = 0x01, stagedPastTheEnd[17] = 0x04;  // LBA 1025
  stagedPastTheEnd[24] = 0x02, stagedPastTheEnd[25] = 0x04;
  stagedPastTheEnd += std::string(512, 'd');
  struct Case {
    const char* name;
    std::string contents;  // written into the file first; "-" leaves the good medium
    void (*change)(SimConfig&);
    bool refused;
    const char* says;
  };
  const std::vector<Case> cases = {
      {"a text file", "precious data\n", nullptr, true, "is not a simulated drive's medium"},
      {"another block size", "-",
       [](SimConfig& c) {
         c.logicalBlockSize = 4096;
         c.capacityBlocks = 128;
       },
       true,
       "holds 1024 blocks of 512 bytes without protection bytes, but the drive has 128 blocks of 4096 bytes"},
      {"another capacity", "-", [](SimConfig& c) { c.capacityBlocks = 2048; }, true,
       "but the drive has 2048 blocks of 512 bytes"},
      {"protection bytes", "-", [](SimConfig& c) { c.protectionInfo = true; }, true,
       "with 8 protection bytes"},
      {"zones", "-",
       [](SimConfig& c) {
         c.zones = ZoneKind::HostAware;
         c.zoneBlocks = 256;
       },
       true, "host-aware zones of 256 blocks"},
      {"cut short", medium.substr(0, medium.size() - 512), nullptr, true,
       "something else cut or extended it"},
      {"extended", medium + std::string(8192, 'x'), nullptr, true, "something else cut or extended it"},
      {"a damaged staged flush",
       medium + std::string((4096 - medium.size() % 4096) % 4096, 0) + stagedPastTheEnd, nullptr, true,
       "the flush staged past its end is damaged"},
      {"a folder", "", [](SimConfig& c) { c.medium = std::filesystem::path(c.medium).parent_path(); }, false,
       "cannot open"},
      {"a missing folder", "", [](SimConfig& c) { c.medium += "/nowhere/m"; }, false, "cannot open"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    std::ofstream(path("drive.medium"), std::ios::binary | std::ios::trunc)
        << (k.contents == "-" ? medium : k.contents);
    const std::string held = readAll(path("drive.medium"));
    SimConfig c = good;
    if (k.change) k.change(c);
    std::string error;
    bool refused = !k.refused;
    EXPECT_EQ(SimulatedDrive::create(c, error, &refused), nullptr);
    EXPECT_EQ(refused, k.refused);
    EXPECT_NE(error.find("medium \"" + c.medium + "\""), std::string::npos) << error;
    EXPECT_NE(error.find(k.says), std::string::npos) << error;
    EXPECT_EQ(readAll(path("drive.medium")), held) << "a refused file is left as it was";
  }

  // Two drives never share a medium, nor does a reader share it with a drive writing it.
  std::ofstream(path("drive.medium"), std::ios::binary | std::ios::trunc) << medium;
  SimConfig reader = good;
  reader.mediumReadOnly = true;
  std::string error;
  {
    Harness first(good);
    for (const SimConfig& second : {good, reader}) {
      bool refused = false;
      EXPECT_EQ(SimulatedDrive::create(second, error, &refused), nullptr);
      EXPECT_TRUE(refused);
      EXPECT_NE(error.find("is in use by another drive or process"), std::string::npos) << error;
    }
  }

  // A reader (varnox check, varnox verify) starts from the file and never writes it; a missing
  // medium is not created, a wrong one is refused all the same.
  {
    Harness h(reader);
    ASSERT_TRUE(h.drive);
    EXPECT_EQ(h.read(0, 4), pattern(0, 4, 512, 1));
    h.write(0, pattern(0, 4, 512, 2));
  }
  EXPECT_EQ(readAll(path("drive.medium")), medium);
  reader.medium = path("new.medium");
  EXPECT_NE(SimulatedDrive::create(reader, error), nullptr) << error;
  EXPECT_FALSE(std::filesystem::exists(reader.medium));
  reader.medium = path("drive.medium");
  reader.capacityBlocks = 2048;
  EXPECT_EQ(SimulatedDrive::create(reader, error), nullptr);
}

}  // namespace
}  // namespace varnox::sim
