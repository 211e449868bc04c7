// The journal's records: what a drive journal writes reads back the same, and a journal cut or
// damaged anywhere in a record yields exactly the records before it.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "journal/DriveJournal.h"
#include "journal/Journal.h"
#include "journal/JournalFormat.h"
#include "support/TempDir.h"

namespace varnox::journal {
namespace {

class JournalFormat : public varnox::testing::TempDirTest {};

// Intents of every kind and their completions, as the command steps record them.
std::vector<uint8_t> sampleData() {
  std::vector<uint8_t> data(4 * 520);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
  return data;
}

void recordSample(CommandJournal& journal, const std::vector<uint8_t>& data) {
  JournalIntent write{JournalKind::Write, 3, 100, 4, 2, 0, data.data(), 520, 512};
  JournalIntent same{JournalKind::WriteSame, 4, 300, 9, 1, 0, data.data(), 520, 512};
  JournalIntent atomic{JournalKind::Atomic, 5, 400, 4, 1, 2, data.data(), 520, 512};
  JournalIntent trim{JournalKind::Trim, 6, 500, 16, 1, 0, nullptr, 0, 512};
  JournalIntent sync{JournalKind::SyncCache, 7, 0, 0, 1, 0, nullptr, 0, 512};
  const uint64_t w = journal.recordIntent(write);
  journal.recordCompletion(w, JournalOutcome::Done);
  const uint64_t s = journal.recordIntent(same);
  const uint64_t a = journal.recordIntent(atomic);
  journal.recordCompletion(s, JournalOutcome::Failed);
  journal.recordIntent(trim);
  journal.recordCompletion(a, JournalOutcome::Lost);
  journal.recordIntent(sync);
  journal.recordPowerLoss();
}

TEST_F(JournalFormat, WhatADriveJournalWritesReadsBackAndACutRecordEndsIt) {
  const std::vector<uint8_t> data = sampleData();
  for (const bool host : {false, true}) {
    const std::string path = this->path(host ? "host.journal" : "process.journal");
    {
      std::string error;
      auto journal = DriveJournal::create(path, host, error);
      ASSERT_NE(journal, nullptr) << error;
      recordSample(*journal, data);
      // Host: nothing counts as durable before a sync; process: at once.
      EXPECT_EQ(journal->durable(1), !host);
      journal->sync();
      EXPECT_TRUE(journal->durable(9));
    }
    JournalContents contents;
    std::string error;
    ASSERT_TRUE(readJournalFile(path, contents, error)) << error;
    ASSERT_EQ(contents.records.size(), 9u);
    EXPECT_FALSE(contents.tornTail);
    const JournalRecord& w = contents.records[0];
    EXPECT_EQ(w.kind, JournalKind::Write);
    EXPECT_EQ(w.lba, 100u);
    EXPECT_EQ(w.lbaStride, 2u);
    EXPECT_EQ(w.tag, 3u);
    ASSERT_EQ(w.hashes.size(), 4u);
    // Each block's hash is of its 512 data bytes, the stride's other 8 bytes left out.
    for (uint32_t k = 0; k < 4; ++k) EXPECT_EQ(w.hashes[k], blockHash(data.data() + k * 520, 512)) << k;
    EXPECT_EQ(contents.records[1].type, kCompletionRecord);
    EXPECT_EQ(contents.records[1].identity, w.identity);
    EXPECT_EQ(contents.records[1].outcome, JournalOutcome::Done);
    EXPECT_EQ(contents.records[2].hashes.size(), 1u);  // write same: its one block
    EXPECT_EQ(contents.records[3].atomicUnit, 2u);
    EXPECT_EQ(contents.records[4].outcome, JournalOutcome::Failed);
    EXPECT_TRUE(contents.records[5].hashes.empty());
    EXPECT_EQ(contents.records[5].blocks, 16u);
    EXPECT_EQ(contents.records[6].outcome, JournalOutcome::Lost);
    EXPECT_EQ(contents.records[7].kind, JournalKind::SyncCache);
    EXPECT_EQ(contents.records[8].kind, JournalKind::PowerLoss);
    for (size_t i = 0; i < 9; ++i) EXPECT_EQ(contents.records[i].sequence, i + 1);
  }
}

TEST_F(JournalFormat, ACutOrDamagedRecordEndsTheJournalThere) {
  const std::vector<uint8_t> data = sampleData();
  std::vector<uint8_t> bytes(4096);
  size_t end = 0;
  std::vector<size_t> ends;
  JournalIntent write{JournalKind::Write, 1, 8, 4, 1, 0, data.data(), 520, 512};
  for (uint64_t seq = 1; seq <= 3; ++seq) {
    end += encodeIntent(bytes.data() + end, seq, seq, write);
    ends.push_back(end);
  }
  end += encodeCompletion(bytes.data() + end, 4, 1, JournalOutcome::Done);
  ends.push_back(end);
  // Cut anywhere: the records wholly before the cut, and a torn tail unless it fell between records.
  for (size_t cut = 0; cut <= end; ++cut) {
    std::vector<uint8_t> cutBytes(bytes.begin(), bytes.begin() + cut);
    cutBytes.resize(cut + 64, 0);  // the file's zeroed room
    const JournalContents contents = decodeJournal(cutBytes.data(), cutBytes.size());
    size_t whole = 0;
    while (whole < ends.size() && ends[whole] <= cut) ++whole;
    EXPECT_EQ(contents.records.size(), whole) << "cut at " << cut;
    const bool between = cut == 0 || (whole > 0 && ends[whole - 1] == cut);
    EXPECT_EQ(contents.tornTail, !between) << "cut at " << cut;
  }
  // A flipped byte anywhere in the second record ends the journal after the first.
  for (size_t at = ends[0]; at < ends[1]; ++at) {
    std::vector<uint8_t> damaged(bytes.begin(), bytes.begin() + end);
    damaged[at] ^= 0x10;
    const JournalContents contents = decodeJournal(damaged.data(), damaged.size());
    EXPECT_EQ(contents.records.size(), 1u) << "byte " << at;
    EXPECT_TRUE(contents.tornTail);
  }
  // A length reaching past the end (a damaged length field) ends it too, without reading beyond.
  std::vector<uint8_t> overlong(bytes.begin(), bytes.begin() + end);
  const uint32_t huge = 0x7FFFFFF8;
  std::memcpy(overlong.data() + ends[2] + 4, &huge, sizeof(huge));
  EXPECT_EQ(decodeJournal(overlong.data(), overlong.size()).records.size(), 3u);
  // A record out of sequence (a stale one from an earlier journal) is no record of this one.
  std::vector<uint8_t> skipped(4096);
  size_t n = encodeIntent(skipped.data(), 1, 1, write);
  encodeIntent(skipped.data() + n, 3, 3, write);
  EXPECT_EQ(decodeJournal(skipped.data(), skipped.size()).records.size(), 1u);
}

TEST_F(JournalFormat, HostJournalSyncsOnItsWriterThreadAndWaitersWake) {
  JournalManifest manifest;
  manifest.journalSync = "host";
  manifest.drives.resize(2);
  manifest.drives[0].name = "D0";
  manifest.drives[1].name = "D1";
  std::string error;
  auto journal = Journal::create(path("j"), manifest, error);
  ASSERT_NE(journal, nullptr) << error;
  const std::vector<uint8_t> data = sampleData();
  JournalIntent write{JournalKind::Write, 1, 8, 4, 1, 0, data.data(), 520, 512};
  for (int i = 0; i < 200; ++i) {
    for (size_t d = 0; d < 2; ++d) {
      const uint64_t id = journal->drive(d)->recordIntent(write);
      journal->drive(d)->waitDurable(id);
      EXPECT_TRUE(journal->drive(d)->durable(id));
      journal->drive(d)->recordCompletion(id, JournalOutcome::Done);
    }
  }
  journal.reset();
  JournalManifest read;
  ASSERT_TRUE(readManifest(path("j"), read, error)) << error;
  ASSERT_EQ(read.drives.size(), 2u);
  for (const JournalDrive& d : read.drives) {
    JournalContents contents;
    ASSERT_TRUE(readJournalFile(path("j") + "/" + d.file, contents, error)) << error;
    EXPECT_EQ(contents.records.size(), 400u) << d.name;
  }
}

}  // namespace
}  // namespace varnox::journal
