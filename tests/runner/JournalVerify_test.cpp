// `varnox run --journal` then `varnox verify --journal` on a file drive: a run's blocks verify,
// and one journaled block changed afterwards (corrupted, zeroed, or put back to an older write
// that had completed) fails verify at that block, on every seed.
#include "varnox/JournalVerify.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "journal/JournalDiagnosis.h"
#include "journal/JournalFormat.h"
#include "journal/JournalJudge.h"
#include "journal/JournalManifest.h"
#include "support/RunVarnox.h"
#include "support/TempDir.h"

namespace varnox::journal {
namespace {

using varnox::testing::readAll;
using varnox::testing::runCli;

constexpr uint32_t kBlock = 4096;

class JournalVerifyTest : public varnox::testing::TempDirTest {
 protected:
  std::string testFile(const std::string& sync) {
    return file("t.toml", "[test]\njournal_sync = \"" + sync + "\"\n[[drive]]\ndevice = \"" + path("d.img") +
                              "\"\ncapacity = \"1MiB\"\nblock_size = 4096\n");
  }
  std::vector<uint8_t> readImage() {
    std::vector<uint8_t> image(std::filesystem::file_size(path("d.img")));
    const int fd = ::open(path("d.img").c_str(), O_RDONLY);
    EXPECT_EQ(::pread(fd, image.data(), image.size(), 0), static_cast<ssize_t>(image.size()));
    ::close(fd);
    return image;
  }
  void writeBlock(uint64_t lba, const uint8_t* data) {
    const int fd = ::open(path("d.img").c_str(), O_WRONLY);
    EXPECT_EQ(::pwrite(fd, data, kBlock, static_cast<off_t>(lba * kBlock)), static_cast<ssize_t>(kBlock));
    ::close(fd);
  }
  JournalJudge loadJudge() {
    JournalManifest manifest;
    std::string error;
    EXPECT_TRUE(readManifest(path("j"), manifest, error)) << error;
    JournalContents contents;
    EXPECT_TRUE(readJournalFile(path("j") + "/" + manifest.drives.at(0).file, contents, error)) << error;
    return JournalJudge(contents.records, false, kBlock);
  }
};

TEST_F(JournalVerifyTest, ARunsJournalVerifiesAndACutJournalVerifiesWhatItHolds) {
  for (const std::string sync : {"host", "process"}) {
    const auto run =
        runCli({"run", testFile(sync), "--journal", path("j"), "--passes", "3000", "--seed", "11"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const auto verify = runCli({"verify", "--journal", path("j"), "--json", path("v.json")});
    EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
    EXPECT_NE(verify.out.find(" 0 wrong"), std::string::npos) << verify.out;
    EXPECT_NE(readAll(path("v.json")).find("\"result\": \"passed\""), std::string::npos);
    // Cut in the middle of its last record, as a power cut may leave it: the records before it are
    // judged, the cut one ignored (its command counts as still in flight).
    const std::string journalFile = path("j") + "/drive-0.journal";
    JournalContents whole;
    std::string error;
    ASSERT_TRUE(readJournalFile(journalFile, whole, error));
    std::filesystem::resize_file(journalFile, whole.validBytes - kCompletionRecordBytes / 2);
    const JournalVerifyResult cut = verifyJournal(path("j"), "");
    EXPECT_EQ(cut.report.exitStatus, 0) << cut.report.drives.at(0).failureText;
    EXPECT_TRUE(cut.drives.at(0).tornTail);
    EXPECT_GT(cut.drives.at(0).records, 0u);
    EXPECT_EQ(cut.drives.at(0).records, whole.records.size() - 1);
  }
  // Another file of the same size and content at the drive's path is not the drive the run wrote to.
  std::filesystem::copy_file(path("d.img"), path("copy.img"));
  std::filesystem::rename(path("copy.img"), path("d.img"));
  const auto other = runCli({"verify", "--journal", path("j")});
  EXPECT_EQ(other.status, 3);
  EXPECT_NE(other.err.find("not the device the journal's run wrote to"), std::string::npos) << other.err;
}

TEST_F(JournalVerifyTest, AChangedBlockFailsVerifyAtThatBlockOnEverySeed) {
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    // A copy of the drive taken during the run holds writes that later ones replaced.
    std::vector<std::vector<uint8_t>> snapshots;
    std::atomic<bool> done{false};
    std::thread copier([&] {
      while (!done.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        if (std::filesystem::exists(path("d.img"))) snapshots.push_back(readImage());
      }
    });
    const auto run = runCli({"run", testFile("process"), "--journal", path("j"), "--duration", "1s", "--seed",
                             std::to_string(seed)});
    done.store(true);
    copier.join();
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const JournalJudge judge = loadJudge();
    const std::vector<uint8_t> image = readImage();
    // Blocks with a durable write (nothing older may be there), and among them those whose copy
    // holds a write the journal rules out.
    std::vector<uint64_t> durable;
    std::vector<std::pair<uint64_t, const uint8_t*>> older;  // a block and an older write's data of it
    for (uint64_t lba : judge.lbas()) {
      if (judge.newestDurable(lba) < 0) continue;
      durable.push_back(lba);
      for (const auto& snapshot : snapshots) {
        if (lba * kBlock >= snapshot.size()) continue;
        const uint64_t was = blockHash(snapshot.data() + lba * kBlock, kBlock);
        for (int c : judge.ruledOut(lba)) {
          const JournaledCommand& w = judge.commands()[c];
          for (uint32_t k = 0; k < w.blocks; ++k)
            if (w.lbaOf(k) == lba && w.hashOf(k, judge.zeroHash()) == was)
              older.emplace_back(lba, snapshot.data() + lba * kBlock);
        }
      }
    }
    ASSERT_FALSE(durable.empty()) << "seed " << seed;
    ASSERT_FALSE(older.empty()) << "seed " << seed << ": the copy holds no replaced write";
    std::mt19937 pick(seed);
    for (const std::string change : {"corrupted", "lost", "stale"}) {
      const size_t choice = pick() % (change == "stale" ? older.size() : durable.size());
      const uint64_t lba = change == "stale" ? older[choice].first : durable[choice];
      std::vector<uint8_t> block(image.begin() + lba * kBlock, image.begin() + (lba + 1) * kBlock);
      if (change == "corrupted") block[100 + pick() % 3000] ^= 0x5A;
      if (change == "lost") std::fill(block.begin(), block.end(), 0);
      if (change == "stale") std::copy_n(older[choice].second, kBlock, block.begin());
      writeBlock(lba, block.data());
      const JournalVerifyResult result = verifyJournal(path("j"), path("out_"));
      EXPECT_EQ(result.report.exitStatus, 1) << "seed " << seed << " " << change;
      EXPECT_EQ(result.drives.at(0).wrong, 1u) << "seed " << seed << " " << change;
      const auto& diagnosis = result.report.drives.at(0).diagnosis;
      EXPECT_EQ(diagnosis.count("lba") ? diagnosis.at("lba") : "", std::to_string(lba))
          << "seed " << seed << " " << change;
      EXPECT_EQ(diagnosis.count("class") ? diagnosis.at("class") : "", change) << "seed " << seed;
      EXPECT_TRUE(std::filesystem::exists(path("out_verify_D0_lba_" + std::to_string(lba) + "_drive.bin")));
      writeBlock(lba, image.data() + lba * kBlock);
    }
    // Put back, every block verifies again; and through the command line the exit status is the run's.
    EXPECT_EQ(runCli({"verify", "--journal", path("j")}).status, 0) << "seed " << seed;
  }
}

TEST_F(JournalVerifyTest, AJournalOnTheDriveUnderTestIsRefused) {
  const std::string drive = path("j/d.img");
  const std::string test =
      file("in.toml", "[test]\npasses = 10\n[[drive]]\ndevice = \"" + drive + "\"\ncapacity = \"1MiB\"\n");
  std::filesystem::create_directories(path("j"));
  const auto run = runCli({"run", test, "--journal", path("j")});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find(drive), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(path("j")), std::string::npos) << run.err;
  EXPECT_FALSE(std::filesystem::exists(drive));  // refused before the drive was touched
  const auto sync = runCli(
      {"check", file("s.toml", "[test]\npasses = 1\njournal_sync = \"disk\"\n"), "--journal", path("k")});
  EXPECT_EQ(sync.status, 2);
  EXPECT_NE(sync.err.find("journal_sync"), std::string::npos) << sync.err;
}

}  // namespace
}  // namespace varnox::journal

namespace varnox::journal {
namespace {

TEST_F(JournalVerifyTest, ASimulatedDriveVerifiesOnItsMediumFileAndWithoutOneCannotBe) {
  const std::string drive = "[[drive]]\ndevice = \"sim\"\ncapacity = \"4MiB\"\nblock_size = 4096\n";
  const std::string kept = file(
      "m.toml", "[test]\njournal_sync = \"process\"\n" + drive + "medium = \"" + path("m.medium") + "\"\n");
  ASSERT_EQ(runCli({"run", kept, "--journal", path("j"), "--duration", "1s"}).status, 0);
  const auto verify = runCli({"verify", "--journal", path("j")});
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
  EXPECT_NE(verify.out.find(" 0 wrong"), std::string::npos) << verify.out;

  // A run killed in the middle of a flush leaves it staged past the medium's end. Not committed,
  // it is nothing; committed, it is what the drive holds, though verify never writes the file.
  const std::string medium = readAll(path("m.medium"));
  const std::string uncommitted = medium + std::string(4096 + 24, '\0');
  std::ofstream(path("m.medium"), std::ios::binary | std::ios::trunc) << uncommitted;
  const auto grown = runCli({"verify", "--journal", path("j")});
  EXPECT_EQ(grown.status, 0) << grown.out << grown.err;
  const JournalJudge judge = loadJudge();
  uint64_t lba = 0;
  for (uint64_t l : judge.lbas())
    if (judge.newestDurable(l) >= 0 && !judge.earlierLegal(l)) lba = l;
  ASSERT_NE(lba, 0u);
  std::string staged = "VXSTAGED" + std::string(24, '\0') + std::string(4096, 'g');
  staged[8] = 1;
  for (int i = 0; i < 8; ++i) {
    staged[16 + i] = static_cast<char>(lba >> (8 * i));
    staged[24 + i] = static_cast<char>((lba + 1) >> (8 * i));
  }
  std::ofstream(path("m.medium"), std::ios::binary | std::ios::trunc) << medium + staged;
  const auto changed = runCli({"verify", "--journal", path("j")});
  EXPECT_EQ(changed.status, 1) << changed.out << changed.err;
  char at[32];
  std::snprintf(at, sizeof at, "LBA 0x%016llX", static_cast<unsigned long long>(lba));
  EXPECT_NE((changed.out + changed.err).find(at), std::string::npos) << changed.out << changed.err;
  EXPECT_EQ(readAll(path("m.medium")), medium + staged);

  const std::string gone = file("g.toml", "[test]\njournal_sync = \"process\"\n" + drive);
  ASSERT_EQ(runCli({"run", gone, "--journal", path("k"), "--duration", "300ms"}).status, 0);
  const auto nothing = runCli({"verify", "--journal", path("k")});
  EXPECT_EQ(nothing.status, 4);
  EXPECT_NE(nothing.err.find("without a medium file"), std::string::npos) << nothing.err;
}

}  // namespace
}  // namespace varnox::journal
