#pragma once
// CompletionHarness: an AgentFixture that issues commands through the agent's own issue
// operations, keeps the blocks each write built, and completes commands the way the host reports
// them, so that a test says only what the drive returned.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "completion/Compare.h"
#include "completion/Dispatch.h"
#include "issue/AtomicWriteIssue.h"
#include "entry/Execute.h"
#include "issue/ReadIssue.h"
#include "issue/WriteIssue.h"
#include "support/AgentFixture.h"
#include "tavik/SenseBuilder.h"

namespace varnox::testing {

using Bytes = std::vector<uint8_t>;

class CompletionHarness : public AgentFixture {
 public:
  static constexpr uint32_t kGood = 0x00;
  static constexpr uint32_t kCheckCondition = 0x02;
  static constexpr uint32_t kTaskAborted = 0x40;

  // `configure` sets keys beyond the basic write and read conditions before setup.
  explicit CompletionHarness(const std::function<void(AgentFixture&)>& configure = {}) {
    setBasicConditions();
    set({{"Random Seed", "11"}, {"Bucket Count", "1024"}});
    if (configure) configure(*this);
    setTestMaxXferLength(16);
    EXPECT_EQ(setup(), 0);
    // The per-tag write buffers the first pass would make.
    if (auto step = std::move(drive().deferredSetup)) {
      EXPECT_EQ((*step)(&thread(), &drive(), &config()), 0);
    }
  }

  uint32_t sectorSize() { return thread().sectorSize(); }

  // A write of `length` blocks at `lba` on `tag`: its command id. written(): completed GOOD.
  uint64_t write(uint32_t tag, uint64_t lba, uint32_t length) {
    *drive().lba = lba;
    *drive().xferLength = length;
    EXPECT_EQ(cardamor::doAWrite(thread(), drive(), config(), tag, {}), 0);
    return keepWritten(lba, length);
  }
  uint64_t written(uint32_t tag, uint64_t lba, uint32_t length) {
    const uint64_t cmdId = write(tag, lba, length);
    EXPECT_EQ(complete(tag, kGood), 0);
    return cmdId;
  }

  // An atomic write of `length` blocks at `lba` in units of `bound` blocks. The range must be
  // known to the history (written before, with the LBA after it), so no pre-read is needed.
  uint64_t writeAtomic(uint32_t tag, uint64_t lba, uint32_t length, uint32_t bound) {
    *drive().lba = lba;
    *drive().xferLength = length;
    *drive().atomicBound = bound;
    EXPECT_EQ(cardamor::doAWriteAtomic(thread(), drive(), config(), tag, {}), 0);
    EXPECT_TRUE(!drive().outstandingWrites.empty() && drive().outstandingWrites.back().atomic)
        << "no atomic write";
    return keepWritten(lba, length);
  }

  // The next read (or verify) the issue side picks, oldest read-back first: its command id.
  uint64_t read(uint32_t tag) { return readOrVerify(tag, false); }
  uint64_t verify(uint32_t tag) { return readOrVerify(tag, true); }

  // The block that write `cmdId` built for `lba`.
  Bytes block(uint64_t cmdId, uint64_t lba) {
    auto it = written_.find({cmdId, lba});
    EXPECT_NE(it, written_.end()) << "write " << cmdId << " did not write LBA " << lba;
    return it == written_.end() ? Bytes(sectorSize(), 0) : it->second;
  }
  // Blocks of write `cmdId` for `count` LBAs `step` apart, as a read returns them.
  Bytes blocks(uint64_t cmdId, uint64_t lba, uint32_t count, uint64_t step = 1) {
    Bytes out;
    for (uint32_t i = 0; i < count; ++i) append(out, block(cmdId, lba + i * step));
    return out;
  }
  static void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

  // The completion of the command on `tag` as GetStatus reports it.
  void report(uint32_t tag, uint32_t status, const Bytes& readData = {}, const Bytes& sense = {},
              const Bytes& cdb = cdb16()) {
    *drive().lastTagId = tag;
    *drive().lastStatusByte = status;
    *drive().readDataIsValid = 1;
    drive().lastErrSenseData->assign(sense.data(), sense.size());
    drive().lastErrSenseData->size = sense.size();
    if (tag >= drive().readDataPtr->tagCount()) return;  // "no tag": no buffers to fill
    if (readData.empty()) {
      drive().readDataPtr->buffer(tag)->release();
    } else {
      drive().readDataPtr->buffer(tag)->assign(readData.data(), readData.size());
    }
    drive().recvCdb->buffer(tag)->assign(cdb.data(), cdb.size());
  }

  int dispatch() { return cardamor::dispatchCompletion(thread(), drive(), config()); }
  // The completion half of a pass: dispatch, then the compares that are due; a read still
  // waiting for its compare then takes its own copy of the data, as at the end of every pass.
  int complete(uint32_t tag, uint32_t status, const Bytes& readData = {}, const Bytes& sense = {},
               const Bytes& cdb = cdb16()) {
    report(tag, status, readData, sense, cdb);
    int rc = dispatch();
    if (rc == 0) rc = cardamor::doCompares(thread(), drive(), config());
    const int kept = cardamor::keepReadData(drive());
    return rc != 0 ? rc : kept;
  }

  // A whole agent pass handling the completion: its result is what reaches the host.
  int executePass(uint32_t tag, uint32_t status, const Bytes& readData = {}, const Bytes& sense = {},
                  const Bytes& cdb = cdb16()) {
    report(tag, status, readData, sense, cdb);
    return execute();
  }

  // A READ(16) CDB of LBA 0x20, 1 block.
  static Bytes cdb16() { return {0x88, 0, 0, 0, 0, 0, 0, 0, 0, 0x20, 0, 0, 0, 1, 0, 0}; }

  static Bytes sense(uint8_t key, uint8_t code, uint8_t qual, uint16_t uec = 0, bool valid = false,
                     uint32_t information = 0) {
    return fixedSense(SenseFields{key, code, qual, valid, information, uec});
  }
  // Sense from a case table: "KEY/CODE/QUALIFIER" in hex, then optionally " uec UEC" and
  // " info INFORMATION" (hex, with the valid bit); "-" for none.
  static Bytes sense(const std::string& text) {
    if (text == "-") return {};
    auto hex = [&](size_t at) { return static_cast<uint32_t>(std::stoul(text.substr(at), nullptr, 16)); };
    const size_t uec = text.find(" uec "), info = text.find(" info ");
    return sense(hex(0), hex(3), hex(6), uec == std::string::npos ? 0 : hex(uec + 5), info != std::string::npos,
                 info == std::string::npos ? 0 : hex(info + 6));
  }

 private:
  uint64_t readOrVerify(uint32_t tag, bool verify) {
    cardamor::readSelectionFlags sel;
    (verify ? sel.verify : sel.read) = true;
    EXPECT_EQ(cardamor::doAReadOrVerify(thread(), drive(), config(), tag, sel), 0);
    auto last = [](const auto& records) {
      EXPECT_FALSE(records.empty());
      return records.empty() ? uint64_t{0} : records.back().cmdId;
    };
    return verify ? last(drive().outstandingVerifies) : last(drive().outstandingReads);
  }

  uint64_t keepWritten(uint64_t lba, uint32_t length) {
    const Buffer* data = drive().writeData;
    const uint64_t stride = length == 0 ? data->size : data->size / length;
    const uint64_t cmdId = drive().nextCmdId - 1;
    const uint64_t step = config().useSkipCommands ? 2 : 1;
    for (uint32_t i = 0; i < length; ++i) {
      const uint8_t* from = data->data + i * stride;
      written_[{cmdId, lba + i * step}] = Bytes(from, from + sectorSize());
    }
    return cmdId;
  }

  std::map<std::pair<uint64_t, uint64_t>, Bytes> written_;
};

}  // namespace varnox::testing
