// Reads a [[drive]]: which device, its geometry, queue, cache, protection, zones and kept medium, each
// checked against what the device kinds accept.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <optional>

#include "Messages.h"
#include "TestFileSection.h"
#include "TestFileTables.h"
#include "Units.h"
#include "sim/SimConfig.h"

namespace varnox::cli::testfile {

namespace {

// power_off, power_on (both or neither), power_settle and power_timeout: how a file or block
// device's power is switched. The programs are looked for when the device is opened.
bool readPowerControl(Section& s, const toml::table& table, DeviceSpec& dev) {
  if (!s.stringList("power_off", dev.powerOff) || !s.stringList("power_on", dev.powerOn) ||
      !durationValue(s, "power_settle", true, dev.powerSettleSeconds) ||
      !durationValue(s, "power_timeout", false, dev.powerTimeoutSeconds))
    return false;
  const bool off = table.contains("power_off"), on = table.contains("power_on");
  if ((off || on) && dev.kind == "sim")
    return s.fail(off ? "power_off" : "power_on",
                  "needs a file or block device: the simulated drive switches its own power", nullptr);
  if (off != on)
    return s.fail(
        off ? "power_on" : "power_off",
        std::string(
            "is missing: a power toggle runs power_off and then power_on ([\"true\"] for a step with ") +
            "nothing to do)",
        nullptr);
  for (const char* key : {"power_settle", "power_timeout"})
    if (!off && table.contains(key)) return s.fail(key, "needs power_off and power_on", nullptr);
  return true;
}

// slices: a number of drive threads on the device, or "cores" for one per CPU this process may
// use; cpus: the CPUs their threads are pinned to (checked against the machine when the run starts).
bool readSlices(Section& s, DriveSpec& drive) {
  if (const toml::node* node = s.find("slices")) {
    const auto* number = node->as_integer();
    const bool cores = node->is_string() && node->as_string()->get() == "cores";
    if (!cores && (number == nullptr || number->get() < 1 || number->get() > 1024))
      return s.fail("slices", "must be an integer from 1 to 1024 or \"cores\"", node);
    drive.slices = cores ? kSlicesPerCore : static_cast<uint32_t>(number->get());
  }
  if (const toml::node* node = s.find("cpus")) {
    const toml::array* list = node->as_array();
    std::vector<uint32_t> cpus;
    for (size_t i = 0; list != nullptr && i < list->size(); ++i) {
      const auto* cpu = (*list)[i].as_integer();
      if (cpu == nullptr || cpu->get() < 0 || cpu->get() >= 1024) break;
      cpus.push_back(static_cast<uint32_t>(cpu->get()));
    }
    if (list == nullptr || list->empty() || cpus.size() != list->size())
      return s.fail("cpus", "must be a non-empty list of CPU numbers from 0 to 1023, such as [0, 1]", node);
    drive.cpus = std::move(cpus);
  }
  return true;
}

}  // namespace

bool readDrive(const toml::table& table, size_t index, DriveSpec& drive, std::string& error) {
  Section s(table, "[[drive]] " + std::to_string(index + 1), error);
  DeviceSpec& dev = drive.device;
  std::optional<std::string> name, device;
  if (!s.string("name", name) || !s.string("device", device)) return false;
  drive.name = name.value_or("D" + std::to_string(index));
  // The name becomes part of output file names.
  if (drive.name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-.") !=
      std::string::npos)
    return s.fail("name", "may hold only letters, digits, '_', '-' and '.'", table.get("name"));
  if (device) dev.kind = *device;
  // "SIM" would otherwise become a file of that name in the working directory.
  if (device && *device != "sim" && device->size() == 3 && (*device)[0] != '/' &&
      std::equal(device->begin(), device->end(), "sim",
                 [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; }))
    return s.fail("device",
                  "names the simulated drive in lower case: \"sim\" (for a file of that name write \"./" +
                      *device + "\")",
                  table.get("device"));

  if (const toml::node* b = s.find("block_size")) {
    const auto* i = b->as_integer();
    if (i == nullptr || !sim::isUsableBlockSize(static_cast<uint64_t>(i->get())))
      return s.fail("block_size", "must be a power of two from 512 to 65536", b);
    dev.logicalBlockSize = static_cast<uint32_t>(i->get());
  }
  if (const toml::node* c = s.find("capacity")) {
    if (const auto* i = c->as_integer(); i != nullptr && i->get() > 0) {
      dev.capacityBlocks = static_cast<uint64_t>(i->get());
    } else if (c->is_string()) {
      // A number in quotes would be bytes here and blocks without them: neither is guessed.
      const std::string& text = c->as_string()->get();
      if (!text.empty() && text.find_last_not_of(" \t") != std::string::npos &&
          std::isdigit(static_cast<unsigned char>(text[text.find_last_not_of(" \t")])))
        return s.fail("capacity",
                      "needs a unit in quotes (\"" + escapeControl(text) +
                          "B\", \"32MiB\"); a number of blocks is written without quotes",
                      c);
      std::string why;
      auto bytes = parseSize(c->as_string()->get(), why);
      if (!bytes) return s.fail("capacity", "is not a size: " + why, nullptr);
      if (*bytes == 0 || *bytes % dev.logicalBlockSize != 0)
        return s.fail("capacity", "must be a positive multiple of the block size " + std::to_string(dev.logicalBlockSize), c);
      dev.capacityBlocks = *bytes / dev.logicalBlockSize;
    } else {
      return s.fail("capacity", "must be a size such as \"1GiB\" or a number of blocks", c);
    }
  }
  std::optional<int64_t> exponent, depth, atomic, seed;
  if (!s.integer("physical_exponent", 0, 7, exponent) || !s.integer("queue_depth", 1, 1024, depth) ||
      !s.integer("atomic_unit", 0, 65536, atomic) || !s.integer("seed", 0, INT64_MAX, seed))
    return false;
  if (exponent) dev.log2LogicalPerPhysical = static_cast<uint32_t>(*exponent);
  if (depth) dev.queueDepth = static_cast<uint32_t>(*depth);
  if (atomic) dev.atomicUnitBlocks = static_cast<uint32_t>(*atomic);
  if (seed) dev.seed = static_cast<uint64_t>(*seed);
  if (dev.atomicUnitBlocks > dev.capacityBlocks)
    return s.fail("atomic_unit", "must not exceed the capacity of " + std::to_string(dev.capacityBlocks) + " blocks",
                  table.get("atomic_unit"));

  std::optional<std::string> completions, cache;
  if (!s.oneOf("completions", {"shuffled", "in-order"}, completions) ||
      !s.oneOf("write_cache", {"write-through", "protected", "volatile"}, cache))
    return false;
  if (completions) dev.shuffleCompletions = *completions == "shuffled";
  if (cache) dev.writeCache = *cache;
  if (!s.boolean("protection_info", dev.protectionInfo) || !s.boolean("direct_io", dev.directIo) ||
      !s.boolean("destroy_data", dev.destroyData) || !s.boolean("precondition", dev.precondition))
    return false;
  std::optional<int64_t> zoneSize;
  std::optional<std::string> zoneModel;
  if (!s.integer("zone_size", 1, INT64_MAX, zoneSize) || !s.oneOf("zone_model", {"host-managed", "host-aware"}, zoneModel))
    return false;
  if (zoneSize || zoneModel) {
    if (dev.kind != "sim") return s.fail(zoneSize ? "zone_size" : "zone_model", "needs device = \"sim\"", nullptr);
    if (!zoneSize) return s.fail("zone_model", "needs a \"zone_size\" in blocks", table.get("zone_model"));
    if (static_cast<uint64_t>(*zoneSize) > dev.capacityBlocks)
      return s.fail("zone_size", "must not exceed the capacity of " + std::to_string(dev.capacityBlocks) + " blocks",
                    table.get("zone_size"));
    dev.zoneBlocks = static_cast<uint64_t>(*zoneSize);
    dev.zoneModel = zoneModel.value_or("host-managed");
  }
  std::optional<std::string> medium;
  if (!s.string("medium", medium)) return false;
  if (medium) {
    if (dev.kind != "sim") return s.fail("medium", "needs device = \"sim\" (a file or block device is its own medium)", nullptr);
    dev.medium = *medium;
  }
  return readPowerControl(s, table, dev) && readSlices(s, drive) && s.rejectUnknown();
}

}  // namespace varnox::cli::testfile
