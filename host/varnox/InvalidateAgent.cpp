// "invalidate": overwrites, behind the data agent's back, ranges it has just written. It runs
// after the data agent, its command steps and GetStatus (which frees the tag its step takes): on
// a pass where the mask holds the data agent's write condition (`write`, default "write") it
// takes the write's range ("LBA", "XferLength"), with
// probability `rate`, puts foreign data for it in "InvalidateLBA", "InvalidateXferLength" and
// "InvalidateData", applies `condition` (default "invalidate") for the step that writes it
// (command = "invalidate"), and hands the range to the data agent through
// "CardamorInvalidateRanges": the old data must not come back from then on.
//
// A read or verify in flight on the range, the read GetStatus has just handed back, or a read
// whose compare still waits for a write to complete, would be judged against the invalidation
// although the drive read the range before it; such ranges are left alone. Tags in use are told
// apart by their CDB ("CDB[TagID]"), the completion by "RecvCDB[TagID]".
//
// The foreign write may fail as any command may (aborted, an error, lost at a reset or power
// loss) and then land per block or not at all: the range is handed over a second time when its
// completion comes back, as it was when the write landed (GOOD or a recovered error), turned
// round as {last + 1, first} (so first > last, also for one block) when it did not or when its
// tag came free without a completion. Until then
// the data agent takes the range's content as open. Foreign writes in flight never overlap.
#include <algorithm>
#include <random>
#include <vector>

#include "BuiltinAgentSupport.h"
#include "tavik/Cdb.h"
#include "tavik/SenseParser.h"
#include "varnox/Errors.h"

namespace varnox {

const char* const kInvalidateAgentSettings =
    "rate  (probability above 0 and at most 1, default 0.1)\n"
    "    The share of the data agent's writes whose range is then overwritten.\n"
    "write  (a condition name, default \"write\")\n"
    "    The data agent's write condition: a pass on which the mask holds it sent a write.\n"
    "condition  (a condition name, default \"invalidate\")\n"
    "    The condition applied for the step that writes the foreign data (command = \"invalidate\").\n";

namespace {

constexpr uint32_t kNoStatus = 0xFFFFFFFF;

struct Range {
  uint64_t first = 0, end = 0;  // [first, end)
  bool overlaps(const Range& o) const { return first < o.end && o.first < end; }
};

class InvalidateAgent : public BuiltinAgent {
 public:
  InvalidateAgent(double rate, uint64_t writeBit, uint64_t bit) : rate_(rate), writeBit_(writeBit), bit_(bit) {}

  const std::string& name() const override { return name_; }

  int registerDriveVariables(DriveEnv& env, std::string& error) override {
    DriveThread& t = *env.thread;
    t.setMapper(name_);
    int err = 0;
    State& s = states_.make(&t);
    s.random.seed(env.seed ^ 0x494E5641ULL);
    s.lba = t.mapU64("LBA", kVarRead, &err, 0);
    s.xfer = t.mapU32("XferLength", kVarRead, &err, 0);
    s.testMax = t.mapU32("TestMaxXferLength", kVarRead, &err, 0);
    s.lastTag = t.mapU32("LastTagID", kVarRead, &err, 255);
    s.lastStatus = t.mapU32("LastStatusByte", kVarRead, &err, kNoStatus);
    s.lastSense = t.mapBuffer("LastErrSenseData", kVarRead, &err);
    s.cdb = t.mapTaggedBuffer("CDB[TagID]", kVarRead, &err);
    s.recvCdb = t.mapTaggedBuffer("RecvCDB[TagID]", kVarRead, &err);
    s.outLba = t.mapU64("InvalidateLBA", kVarWrite, &err, 0);
    s.outXfer = t.mapU32("InvalidateXferLength", kVarWrite, &err, 0);
    s.outData = t.mapBuffer("InvalidateData", kVarWrite, &err);
    s.ranges = t.mapLBARangeQueue("CardamorInvalidateRanges", kVarWrite, &err);
    if (err != 0) error = "agent \"invalidate\" on drive " + t.driveName() + ": a drive variable has another type";
    return err;
  }

  int setup(DriveEnv& env) override {
    State* s = states_.find(env.thread);
    if (s == nullptr) return VARNOX_ERR_NO_RECORD;
    // A skip write of n blocks spans 2n - 1 LBAs, all of which the foreign data covers.
    const uint64_t blocks = uint64_t{std::max<uint32_t>(*s->testMax, 1)} * env.lbaStride;
    s->foreign.resize(blocks * env.thread->sectorSize());
    std::uniform_int_distribution<int> byte(0, 255);
    for (uint8_t& b : s->foreign) b = static_cast<uint8_t>(byte(s->random));
    s->outData->pointAt(s->foreign.data(), s->foreign.size());
    return VARNOX_OK;
  }

  int execute(DriveEnv& env) override {
    State* s = states_.find(env.thread);
    if (s == nullptr) return VARNOX_ERR_NO_RECORD;
    DriveThread& t = *env.thread;
    FreeTagQueue& tags = t.freeTagQueue();
    std::vector<Range> writes;  // in flight
    std::vector<Range> reads;   // in flight: reads and verifies
    for (uint32_t tag = tags.getNotFreeTag(0, false); tag != kNoTag; tag = tags.getNotFreeTag(tag + 1, false)) {
      ParsedCdb c;
      if (!commandOf(*s->cdb, tag, c)) continue;
      const Range r{c.lba, c.lba + strideSpan(c.blocks, takesLbaStride(c.opcode) ? env.lbaStride : 1)};
      if (c.opcode == kOpRead16 || c.opcode == kOpVerify16) reads.push_back(r);
      if (c.opcode == kOpWrite16 || c.opcode == kOpWriteAtomic16 || c.opcode == kOpWriteSame16) writes.push_back(r);
    }
    // Reads handed back in earlier passes have been compared by now, unless their compare waits
    // for a write they raced, which is then still in flight. The read handed back in this pass
    // is compared in the next one, after the data agent has taken in the invalidation.
    std::erase_if(s->waiting, [&](const Range& r) {
      return std::none_of(writes.begin(), writes.end(), [&](const Range& w) { return w.overlaps(r); });
    });
    ParsedCdb done;
    const bool completed = *s->lastStatus != kNoStatus && commandOf(*s->recvCdb, *s->lastTag, done);
    if (completed && done.opcode == kOpRead16)
      s->waiting.push_back(Range{done.lba, done.lba + strideSpan(done.blocks, env.lbaStride)});
    std::erase_if(s->foreignWrites, [&](const ForeignWrite& w) {
      return settle(*s, w, tags,
                    completed && *s->lastTag == w.tag && done.opcode == kOpWrite16 && done.lba == w.range.first);
    });

    if ((t.conditionMask() & writeBit_) == 0 || tags.peekNextFreeTag() == kNoTag) return VARNOX_OK;
    if (rate_ < 1 && std::uniform_real_distribution<double>(0, 1)(s->random) >= rate_) return VARNOX_OK;
    const uint64_t span = strideSpan(*s->xfer, env.lbaStride);
    const Range target{*s->lba, *s->lba + span};
    if (span == 0 || span * t.sectorSize() > s->foreign.size()) return VARNOX_OK;
    auto hit = [&](const Range& r) { return r.overlaps(target); };
    if (std::any_of(reads.begin(), reads.end(), hit) || std::any_of(s->waiting.begin(), s->waiting.end(), hit) ||
        std::any_of(s->foreignWrites.begin(), s->foreignWrites.end(), [&](const ForeignWrite& w) { return hit(w.range); }))
      return VARNOX_OK;
    *s->outLba = target.first;
    *s->outXfer = static_cast<uint32_t>(span);
    s->ranges->push(LBARange{target.first, target.end - 1});
    // The step after this agent takes the next free tag for the foreign write.
    s->foreignWrites.push_back(ForeignWrite{tags.peekNextFreeTag(), target});
    Condition c;
    c.anyBits = bit_;
    applyCondition(c, t.conditionMask());
    return VARNOX_OK;
  }

  void deleteDriveData(DriveEnv& env) override {
    if (State* s = states_.find(env.thread); s != nullptr && s->outData != nullptr) s->outData->release();
    states_.erase(env.thread);
  }
  const char* usage() const override {
    return "Overwrites ranges the data agent has just written with foreign data and hands each range to\n"
           "CardamorInvalidateRanges. Settings: rate (0.1), write (\"write\"), condition (\"invalidate\").";
  }

 private:
  struct ForeignWrite {
    uint32_t tag = 0;
    Range range;
  };
  struct State {
    std::mt19937_64 random;
    std::vector<uint8_t> foreign;
    std::vector<Range> waiting;
    std::vector<ForeignWrite> foreignWrites;  // sent, not yet settled
    Buffer* lastSense = nullptr;
    uint64_t* lba = nullptr;
    uint32_t* xfer = nullptr;
    uint32_t* testMax = nullptr;
    uint32_t* lastTag = nullptr;
    uint32_t* lastStatus = nullptr;
    TaggedBuffer* cdb = nullptr;
    TaggedBuffer* recvCdb = nullptr;
    uint64_t* outLba = nullptr;
    uint32_t* outXfer = nullptr;
    Buffer* outData = nullptr;
    LBARangeQueue* ranges = nullptr;
  };

  // Hands a foreign write's range over again once its outcome is known (true): its completion
  // came back this pass (`completedNow`), or its tag came free without one (lost at a reset or
  // power loss), or holds another command.
  static bool settle(State& s, const ForeignWrite& w, FreeTagQueue& tags, bool completedNow) {
    bool landed = false;
    if (completedNow) {
      landed = *s.lastStatus == 0;
      Kcq kcq;
      if (*s.lastStatus == 2 && s.lastSense->data != nullptr &&
          SenseParser::getKey(s.lastSense->data, s.lastSense->size, kcq) == 0)
        landed = kcq.key == 1;  // RECOVERED ERROR: the write did its work
    } else {
      bool busy = false;
      for (uint32_t tag = tags.getNotFreeTag(0, false); tag != kNoTag; tag = tags.getNotFreeTag(tag + 1, false))
        busy |= tag == w.tag;
      ParsedCdb c;
      if (busy && commandOf(*s.cdb, w.tag, c) && c.opcode == kOpWrite16 && c.lba == w.range.first) return false;
    }
    s.ranges->push(landed ? LBARange{w.range.first, w.range.end - 1} : LBARange{w.range.end, w.range.first});
    return true;
  }

  static bool commandOf(TaggedBuffer& buffers, uint32_t tag, ParsedCdb& parsed) {
    uint64_t bytes = 0;
    const uint8_t* cdb = buffers.getData(tag, &bytes);
    return cdb != nullptr && bytes != 0 && parseCdb(cdb, bytes, parsed) == 0 && parsed.known;
  }

  std::string name_ = kInvalidateAgentName;
  double rate_;
  uint64_t writeBit_;
  uint64_t bit_;
  PerDrive<State> states_;
};

}  // namespace

std::unique_ptr<FlowAgent> makeInvalidateAgent(const StepSettings& settings, ConditionNames& names,
                                               std::string& error) {
  double rate = 0.1;
  std::string write = "write", condition = "invalidate";
  for (const auto& [key, value] : settings) {
    if (key == "rate") {
      if (!parseRate(value, rate)) {
        error = badSetting("invalidate", key, value, "is not a probability above 0 and at most 1");
        return nullptr;
      }
    } else if (key == "write" || key == "condition") {
      (key == "write" ? write : condition) = value;
    } else {
      error = "agent \"invalidate\": unknown setting \"" + key + "\" (settings: rate, write, condition)";
      return nullptr;
    }
  }
  const uint64_t writeBit = conditionBit("invalidate", write, names, error);
  const uint64_t bit = writeBit == 0 ? 0 : conditionBit("invalidate", condition, names, error);
  if (bit == 0) return nullptr;
  return std::make_unique<InvalidateAgent>(rate, writeBit, bit);
}

}  // namespace varnox
