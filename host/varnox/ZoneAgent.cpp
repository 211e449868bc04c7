// "zones": drives the data agent's writes on a zoned drive. Every pass it hands the data agent
// ("HostManaged" = 1) the position of the next write, "WriteLBA" and "WriteXferLength", at the
// write pointer of one of its open zones (the length is "XferLength", cut to what the zone has
// left), and counts the position as written once the data agent took it ("WriteCmdUsed" moved).
// A zone that filled up is closed; an empty one opens in its place. Full zones are reset, the
// oldest first: when no empty zone is left, every `reset_every` passes, or with `reset_rate` per
// pass. A reset puts the zone's first LBA in "ZoneResetLBA", applies `condition` (default
// "zonereset") for the step that sends RESET WRITE POINTER, and hands the zone's range to the
// data agent through "CSZoneReset". The agent runs before that step and only when a tag is free
// for it, so that a zone it announces as reset is reset.
//
// It follows the write pointer from the completions ("LastTagID", "LastStatusByte",
// "RecvCDB[TagID]", "LastErrSenseData"): one write per zone is in flight at a time, and a zone's
// pointer moves only when that write completed (GOOD or a recovered error). A write or reset that
// failed (abort, hard or medium error), or was lost at a reset or power loss ("DeviceReset",
// "EPO", or no tag in use while one was in flight), leaves the pointer unknown: that zone is
// reset (and the data agent told) before it takes writes again, and so is a zone whose reset has
// not completed. The agent runs before the data agent, which clears "DeviceReset".
#include <algorithm>
#include <deque>
#include <random>
#include <vector>

#include "BuiltinAgentSupport.h"
#include "SliceRanges.h"
#include "tavik/Cdb.h"
#include "tavik/SenseParser.h"
#include "varnox/Errors.h"

namespace varnox {

const char* const kZoneAgentSettings =
    "open_zones  (number 1..1024, default 2)\n"
    "    How many zones take writes at a time; each write goes to one of them at random.\n"
    "zones  (number 0..the drive's zones, default 0: all of them)\n"
    "    How many zones from LBA 0 the test uses.\n"
    "reset_every  (passes, default 0: only when no empty zone is left)\n"
    "    Resets the oldest full zone every so many passes.\n"
    "reset_rate  (probability above 0 and at most 1, default none)\n"
    "    Resets the oldest full zone with this probability per pass.\n"
    "condition  (a condition name, default \"zonereset\")\n"
    "    The condition applied for the step that sends the reset (command = \"zonereset\").\n";

namespace {

struct ZoneSettings {
  uint64_t openZones = 2;
  uint64_t zones = 0;
  uint64_t resetEvery = 0;
  double resetRate = 0;
  uint64_t bit = 0;
};

class ZoneAgent : public BuiltinAgent {
 public:
  explicit ZoneAgent(ZoneSettings settings) : settings_(settings) {}

  const std::string& name() const override { return name_; }

  int registerDriveVariables(DriveEnv& env, std::string& error) override {
    DriveThread& t = *env.thread;
    const std::string who = "agent \"zones\" on drive " + t.driveName() + ": ";
    const uint64_t zoneBlocks = env.geometry.zoneBlocks;
    if (zoneBlocks == 0) {
      error = who + "the drive is not zoned (give it a zone_size)";
      return VARNOX_ERR_BAD_VALUE;
    }
    if (env.lbaStride != 1) {
      error = who + "writes at a write pointer cover consecutive blocks; \"Use Skip Commands\" must be off";
      return VARNOX_ERR_BAD_VALUE;
    }
    const uint64_t driveZones = (env.geometry.capacityBlocks + zoneBlocks - 1) / zoneBlocks;
    const uint64_t zones = settings_.zones == 0 ? driveZones : settings_.zones;
    if (zones > driveZones || zones < 2) {
      error = who + "\"zones\" " + std::to_string(zones) + " must be from 2 to the drive's " +
              std::to_string(driveZones) + " zones: one must be free to reset while another takes writes";
      return VARNOX_ERR_BAD_VALUE;
    }
    t.setMapper(name_);
    int err = 0;
    State& s = states_.make(&t);
    s.random.seed(env.seed ^ 0x5A4F4E45ULL);
    // A slice of the drive takes its share of the zones, split as the "lba" agent splits the range.
    uint64_t firstZone = 0, endZone = zones;
    if (env.sliceCount > 1) {
      std::string why;
      const uint64_t end = std::min(zones * zoneBlocks, env.geometry.capacityBlocks);
      const std::vector<LbaRange> parts =
          splitLbaRange({0, end - 1}, env.sliceCount, zoneBlocks, 2 * zoneBlocks, why);
      if (parts.empty()) {
        error = who + why + " (two zones: one must be free to reset while another takes writes)";
        return VARNOX_ERR_BAD_VALUE;
      }
      firstZone = parts[env.slice].first / zoneBlocks;
      endZone = (parts[env.slice].last + zoneBlocks) / zoneBlocks;
    }
    for (uint64_t z = firstZone; z < endZone; ++z) {
      const uint64_t start = z * zoneBlocks;
      s.zones.push_back(Zone{start, std::min(zoneBlocks, env.geometry.capacityBlocks - start), 0});
      s.empty.push_back(z - firstZone);
    }
    s.hostManaged = t.mapU32("HostManaged", kVarWrite, &err, 0);
    s.writeLba = t.mapU64("WriteLBA", kVarWrite, &err, 0);
    s.writeXfer = t.mapU32("WriteXferLength", kVarWrite, &err, 0);
    s.writeUsed = t.mapU32("WriteCmdUsed", kVarRead, &err, 0);
    s.xfer = t.mapU32("XferLength", kVarRead, &err, 1);
    s.resetLba = t.mapU64("ZoneResetLBA", kVarWrite, &err, 0);
    s.resets = t.mapLBARangeQueue("CSZoneReset", kVarWrite, &err);
    s.lastTag = t.mapU32("LastTagID", kVarRead, &err, 255);
    s.lastStatus = t.mapU32("LastStatusByte", kVarRead, &err, kNoStatus);
    s.recvCdb = t.mapTaggedBuffer("RecvCDB[TagID]", kVarRead, &err);
    s.lastSense = t.mapBuffer("LastErrSenseData", kVarRead, &err);
    s.deviceReset = t.mapBool("DeviceReset", kVarRead, &err, false);
    s.epo = t.mapU32("EPO", kVarRead, &err, 0);
    if (err != 0) error = who + "a drive variable has another type";
    return err;
  }

  int setup(DriveEnv& env) override {
    State* s = states_.find(env.thread);
    if (s == nullptr) return VARNOX_ERR_NO_RECORD;
    *s->hostManaged = 1;
    s->usedSeen = *s->writeUsed;
    return VARNOX_OK;
  }

  int execute(DriveEnv& env) override {
    State* s = states_.find(env.thread);
    if (s == nullptr) return VARNOX_ERR_NO_RECORD;
    ++s->passes;
    if (*s->writeUsed != s->usedSeen) {
      s->usedSeen = *s->writeUsed;
      took(*s);
    }
    completed(*s, env.geometry.zoneBlocks);
    FreeTagQueue& tags = env.thread->freeTagQueue();
    // Commands lost with the device's reset or power: nothing in flight completes any more.
    if (*s->deviceReset || *s->epo != 0 || tags.getNotFreeTag(0, false) == kNoTag) {
      for (uint64_t z = 0; z < s->zones.size(); ++z)
        if (s->zones[z].writing || s->zones[z].resetting) broken(*s, z);
    }
    // After a device reset the data agent frees every tag in use later in this pass, a reset
    // sent now among them: the zone waits a pass.
    const bool tagFree = tags.peekNextFreeTag() != kNoTag && !*s->deviceReset;
    if (tagFree && !s->broken.empty()) {
      reset(env, *s, true);
    } else if (tagFree && !s->full.empty() && resetDue(*s)) {
      reset(env, *s, false);
    }
    while (s->open.size() < settings_.openZones && !s->empty.empty()) {
      s->open.push_back(s->empty.front());
      s->empty.pop_front();
    }
    if (s->open.empty()) {
      // Every zone is full and no tag was free for a reset: nothing can be written this pass.
      *s->writeLba = 0;
      *s->writeXfer = 0;
      s->handedOut = kNone;
      return VARNOX_OK;
    }
    // Only a zone with nothing in flight takes the next write: its pointer is then known.
    std::vector<uint64_t> ready;
    for (uint64_t z : s->open)
      if (!s->zones[z].writing && !s->zones[z].resetting) ready.push_back(z);
    if (ready.empty()) {
      *s->writeLba = 0;
      *s->writeXfer = 0;
      s->handedOut = kNone;
      return VARNOX_OK;
    }
    const uint64_t pick = std::uniform_int_distribution<uint64_t>(0, ready.size() - 1)(s->random);
    const Zone& zone = s->zones[ready[pick]];
    const uint64_t room = zone.length - zone.filled;
    *s->writeLba = zone.start + zone.filled;
    *s->writeXfer = static_cast<uint32_t>(std::min<uint64_t>(std::max<uint32_t>(*s->xfer, 1), room));
    s->handedOut = ready[pick];
    return VARNOX_OK;
  }

  void deleteDriveData(DriveEnv& env) override { states_.erase(env.thread); }
  const char* usage() const override {
    return "Hands the data agent its write positions at the write pointers of a zoned drive's open zones\n"
           "and resets full zones. Settings: open_zones (2), zones (all), reset_every (0), reset_rate,\n"
           "condition (\"zonereset\"). Sets HostManaged, WriteLBA, WriteXferLength, ZoneResetLBA, CSZoneReset.";
  }

 private:
  static constexpr uint64_t kNone = UINT64_MAX;
  static constexpr uint32_t kNoStatus = 0xFFFFFFFF;
  struct Zone {
    uint64_t start = 0;
    uint64_t length = 0;
    uint64_t filled = 0;  // blocks below the write pointer
    bool writing = false;    // a write at the pointer is in flight
    uint64_t blocks = 0;     // its length
    bool resetting = false;  // its RESET WRITE POINTER is in flight
  };
  struct State {
    std::mt19937_64 random;
    std::vector<Zone> zones;
    std::vector<uint64_t> open;
    std::deque<uint64_t> empty, full;  // full: oldest first
    std::deque<uint64_t> broken;       // write pointer unknown: to be reset first
    uint64_t handedOut = kNone;        // the zone of the position handed out last pass
    uint32_t usedSeen = 0;
    uint64_t passes = 0, lastReset = 0;
    uint32_t* hostManaged = nullptr;
    uint64_t* writeLba = nullptr;
    uint32_t* writeXfer = nullptr;
    uint32_t* writeUsed = nullptr;
    uint32_t* xfer = nullptr;
    uint64_t* resetLba = nullptr;
    LBARangeQueue* resets = nullptr;
    uint32_t* lastTag = nullptr;
    uint32_t* lastStatus = nullptr;
    TaggedBuffer* recvCdb = nullptr;
    Buffer* lastSense = nullptr;
    bool* deviceReset = nullptr;
    uint32_t* epo = nullptr;
  };

  // The data agent sent a write at the position handed out last pass.
  void took(State& s) {
    if (s.handedOut == kNone) return;
    Zone& zone = s.zones[s.handedOut];
    zone.writing = true;
    zone.blocks = *s.writeXfer;
    s.handedOut = kNone;
  }

  // The completion GetStatus handed back last pass, if it was a write or reset in a zone.
  void completed(State& s, uint64_t zoneBlocks) {
    if (*s.lastStatus == kNoStatus) return;
    uint64_t bytes = 0;
    const uint8_t* cdb = s.recvCdb->getData(*s.lastTag, &bytes);
    ParsedCdb c;
    if (cdb == nullptr || bytes == 0 || parseCdb(cdb, bytes, c) != 0 || !c.known) return;
    if (s.zones.empty() || c.lba < s.zones.front().start) return;
    const uint64_t z = (c.lba - s.zones.front().start) / zoneBlocks;
    if (z >= s.zones.size()) return;
    Zone& zone = s.zones[z];
    bool good = *s.lastStatus == 0;
    Kcq kcq;
    if (*s.lastStatus == 2 && s.lastSense->data != nullptr &&
        SenseParser::getKey(s.lastSense->data, s.lastSense->size, kcq) == 0)
      good = kcq.key == 1;  // RECOVERED ERROR: the command did its work
    if (c.opcode == kOpZbcOut && zone.resetting && c.lba == zone.start) {
      zone.resetting = false;
      if (!good) broken(s, z);
      return;
    }
    const bool write = c.opcode == kOpWrite16 || c.opcode == kOpWriteAtomic16 || c.opcode == kOpWriteSame16;
    if (!write || !zone.writing || c.lba != zone.start + zone.filled) return;
    zone.writing = false;
    if (!good) {
      broken(s, z);
      return;
    }
    zone.filled += zone.blocks;
    if (zone.filled < zone.length) return;
    std::erase(s.open, z);
    s.full.push_back(z);
  }

  // The zone's write pointer is unknown: it takes no write until it has been reset.
  void broken(State& s, uint64_t z) {
    Zone& zone = s.zones[z];
    zone.writing = false;
    zone.resetting = false;
    if (std::find(s.broken.begin(), s.broken.end(), z) != s.broken.end()) return;
    std::erase(s.open, z);
    std::erase(s.empty, z);
    std::erase(s.full, z);
    s.broken.push_back(z);
    if (s.handedOut == z) s.handedOut = kNone;
  }

  bool resetDue(State& s) const {
    if (s.empty.empty() && s.open.empty()) return true;
    if (settings_.resetEvery != 0 && s.passes - s.lastReset >= settings_.resetEvery) return true;
    return settings_.resetRate > 0 && std::uniform_real_distribution<double>(0, 1)(s.random) < settings_.resetRate;
  }

  void reset(DriveEnv& env, State& s, bool brokenZone) {
    std::deque<uint64_t>& from = brokenZone ? s.broken : s.full;
    const uint64_t index = from.front();
    from.pop_front();
    Zone& zone = s.zones[index];
    zone.filled = 0;
    zone.resetting = true;
    s.empty.push_back(index);
    if (!brokenZone) s.lastReset = s.passes;
    *s.resetLba = zone.start;
    s.resets->push(LBARange{zone.start, zone.start + zone.length - 1});
    Condition c;
    c.anyBits = settings_.bit;
    applyCondition(c, env.thread->conditionMask());
  }

  std::string name_ = kZoneAgentName;
  ZoneSettings settings_;
  PerDrive<State> states_;
};

}  // namespace

std::unique_ptr<FlowAgent> makeZoneAgent(const StepSettings& settings, ConditionNames& names, std::string& error) {
  ZoneSettings z;
  std::string condition = "zonereset";
  for (const auto& [key, value] : settings) {
    uint64_t number = 0;
    if (key == "condition") {
      condition = value;
    } else if (key == "reset_rate") {
      if (!parseRate(value, z.resetRate)) {
        error = badSetting("zones", key, value, "is not a probability above 0 and at most 1");
        return nullptr;
      }
    } else if (key == "open_zones" || key == "zones" || key == "reset_every") {
      if (!parseU64(value, number) || (key == "open_zones" && (number < 1 || number > 1024))) {
        error = badSetting("zones", key, value, key == "open_zones" ? "is not a number from 1 to 1024" : "is not a number");
        return nullptr;
      }
      (key == "open_zones" ? z.openZones : key == "zones" ? z.zones : z.resetEvery) = number;
    } else {
      error = "agent \"zones\": unknown setting \"" + key +
              "\" (settings: open_zones, zones, reset_every, reset_rate, condition)";
      return nullptr;
    }
  }
  z.bit = conditionBit("zones", condition, names, error);
  if (z.bit == 0) return nullptr;
  return std::make_unique<ZoneAgent>(z);
}

}  // namespace varnox
