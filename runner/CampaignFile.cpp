// Reading and checking a campaign file.
#include "CampaignFile.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <toml++/toml.h>

#include "Messages.h"
#include "TestFileSection.h"
#include "Units.h"

namespace varnox::cli::campaign {
namespace {

namespace fs = std::filesystem;
using testfile::Section;

std::string absoluteFrom(const fs::path& base, const std::string& path) {
  fs::path p(path);
  return (p.is_absolute() ? p : base / p).lexically_normal().string();
}

// Node and file names go into Slurm requests and the batch script unquoted in places, so they
// are held to what names of hosts, gres types and device paths use.
bool plainName(const std::string& text, bool pathAllowed) {
  if (text.empty()) return false;
  for (char c : text) {
    const bool ok = std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' ||
                    (pathAllowed && (c == '/' || c == ':' || c == '+'));
    if (!ok) return false;
  }
  return true;
}

// "NodeName=n1 Name=drive Type=sdb File=/dev/sdb": one drive a line. Node ranges and file
// ranges ("n[1-4]", "/dev/sd[b-e]") stand for many drives whose pairing is Slurm's own, so a
// campaign asks for one drive a line instead of guessing it.
bool drivesFromGres(const std::string& path, const std::string& gresName, std::vector<CampaignDrive>& drives,
                    std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "\"drives_from_gres\": cannot read " + cli::quoted(path) + ": " + std::strerror(errno);
    return false;
  }
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (const size_t hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string word, node, name, type, file;
    while (words >> word) {
      const size_t eq = word.find('=');
      if (eq == std::string::npos) continue;
      std::string key = word.substr(0, eq), value = word.substr(eq + 1);
      for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (key == "nodename") node = value;
      else if (key == "name") name = value;
      else if (key == "type") type = value;
      else if (key == "file") file = value;
    }
    if (name != gresName) continue;
    const std::string where = cli::quoted(path) + " line " + std::to_string(number);
    if (node.empty() || type.empty() || file.empty()) {
      error = "\"drives_from_gres\": " + where + ": a drive needs NodeName, Type and File on its line";
      return false;
    }
    if (node.find_first_of("[,") != std::string::npos || file.find_first_of("[,") != std::string::npos) {
      error = "\"drives_from_gres\": " + where + ": write one drive a line (no ranges or lists), got NodeName=" +
              node + " File=" + file;
      return false;
    }
    drives.push_back(CampaignDrive{node + ":" + file, node, file, type, 0, ""});
  }
  return true;
}

bool readDrive(const toml::table& table, size_t index, const fs::path& base, CampaignDrive& drive, std::string& error) {
  Section s(table, "[[drive]] " + std::to_string(index + 1), error);
  std::optional<std::string> name, host, path, gres, test;
  std::optional<int64_t> seed;
  if (!s.string("name", name) || !s.string("host", host) || !s.string("path", path) || !s.string("gres", gres) || !s.string("test", test) ||
      !s.integer("seed", 1, UINT32_MAX, seed) || !s.rejectUnknown())
    return false;
  if (!host) return s.fail("host", "is required: the Slurm node the drive is attached to", nullptr);
  if (!path) return s.fail("path", "is required: \"sim\", a block device or a file on that node", nullptr);
  if (!gres) return s.fail("gres", "is required: the drive's type of the generic resource in gres.conf", nullptr);
  if (!plainName(*host, false)) return s.fail("host", "must be a node name (letters, digits, '-', '_', '.')", table.get("host"));
  if (!plainName(*path, true)) return s.fail("path", "may hold only letters, digits and - _ . / : +", table.get("path"));
  if (!plainName(*gres, false)) return s.fail("gres", "must be a gres type name (letters, digits, '-', '_', '.')", table.get("gres"));
  drive.host = *host;
  drive.path = *path;
  drive.gresType = *gres;
  drive.id = name.value_or(*host + ":" + *path);
  if (name && !plainName(*name, false))
    return s.fail("name", "may hold only letters, digits, '-', '_' and '.'", table.get("name"));
  drive.seed = seed ? static_cast<uint32_t>(*seed) : 0;
  if (test) drive.testFile = absoluteFrom(base, *test);
  return true;
}

bool readCampaign(const toml::table& root, const fs::path& base, Campaign& c, std::string& error) {
  for (auto&& [key, node] : root) {
    if (key != "campaign" && key != "drive") {
      error = "unknown " + std::string(node.is_table() || node.is_array_of_tables() ? "table [" : "key \"") +
              std::string(key.str()) + (node.is_table() || node.is_array_of_tables() ? "]" : "\"") +
              " (expected [campaign] and [[drive]])";
      return false;
    }
  }
  const toml::table* table = root["campaign"].as_table();
  if (table == nullptr) {
    error = "[campaign] is missing: it names the test file and where the results go";
    return false;
  }
  Section s(*table, "[campaign]", error);
  std::optional<std::string> name, test, results, db, onFailure, partition, timeLimit, varnox, gres, fromGres;
  std::optional<int64_t> seed, passes;
  if (!s.string("name", name) || !s.string("test", test) || !s.string("results", results) || !s.string("db", db) ||
      !s.oneOf("on_failure", {"keep", "rerun"}, onFailure) || !s.string("partition", partition) ||
      !s.string("time_limit", timeLimit) || !s.string("varnox", varnox) || !s.string("gres", gres) ||
      !s.string("drives_from_gres", fromGres) || !s.integer("seed", 1, UINT32_MAX, seed) ||
      !s.integer("passes", 1, INT64_MAX, passes))
    return false;
  // A campaign may soak for days, so its duration has no ceiling but the runner's own.
  if (const toml::node* d = s.find("duration")) {
    std::string why;
    std::optional<double> seconds;
    if (d->is_string()) seconds = parseDuration(d->as_string()->get(), why);
    else if (d->is_integer()) seconds = static_cast<double>(d->as_integer()->get());
    if (!seconds || *seconds <= 0) return s.fail("duration", "must be a duration such as \"8h\" or \"30m\"", d);
    c.duration = d->is_string() ? d->as_string()->get() : std::to_string(d->as_integer()->get()) + "s";
  }
  if (const toml::node* extra = s.find("sbatch")) {
    const toml::array* list = extra->as_array();
    if (list == nullptr) return s.fail("sbatch", "must be a list of sbatch arguments", extra);
    for (const toml::node& item : *list) {
      if (!item.is_string() || item.as_string()->get().rfind("--", 0) != 0)
        return s.fail("sbatch", "must hold only long sbatch options such as \"--qos=qual\"", &item);
      c.sbatchArguments.push_back(item.as_string()->get());
    }
  }
  if (!s.rejectUnknown()) return false;
  if (!test) return s.fail("test", "is required: the test file every drive runs", nullptr);
  if (!results) return s.fail("results", "is required: a folder every host can write", nullptr);
  if (c.duration.empty() == !passes.has_value())
    return s.fail("duration", "or \"passes\" is required, and only one of them", nullptr);
  c.name = name.value_or(fs::path(c.file).stem().string());
  if (!plainName(c.name, false)) return s.fail("name", "may hold only letters, digits, '-', '_' and '.'", table->get("name"));
  c.testFile = absoluteFrom(base, *test);
  c.results = absoluteFrom(base, *results);
  c.database = db ? absoluteFrom(fs::path(c.results), *db) : "";
  c.passes = passes ? static_cast<uint64_t>(*passes) : 0;
  c.onFailure = onFailure.value_or("keep");
  c.partition = partition.value_or("");
  c.timeLimit = timeLimit.value_or("");
  c.varnox = varnox.value_or("");
  c.gresName = gres.value_or("drive");
  if (!plainName(c.gresName, false)) return s.fail("gres", "must be a gres name", table->get("gres"));

  if (fromGres && !drivesFromGres(absoluteFrom(base, *fromGres), c.gresName, c.drives, error)) {
    error = "[campaign]: " + error;
    return false;
  }
  std::vector<const toml::table*> tables;
  if (!testfile::tablesOf(root, "drive", tables, error)) return false;
  for (size_t i = 0; i < tables.size(); ++i) {
    CampaignDrive drive;
    if (!readDrive(*tables[i], i, base, drive, error)) return false;
    c.drives.push_back(std::move(drive));
  }
  if (c.drives.empty()) {
    error = "no drives: list them as [[drive]] tables or name a gres.conf with \"drives_from_gres\"";
    return false;
  }
  std::set<std::string> ids, slots;
  for (CampaignDrive& drive : c.drives) {
    if (!ids.insert(drive.id).second) {
      error = "the drive " + cli::quoted(drive.id) + " is listed twice";
      return false;
    }
    // Two drives holding one resource would be tested one after the other on one device.
    if (!slots.insert(drive.host + " " + drive.gresType).second) {
      error = "the drives of node " + cli::quoted(drive.host) + " share the gres type " + cli::quoted(drive.gresType) +
              ": each drive needs a type of its own";
      return false;
    }
    if (drive.testFile.empty()) drive.testFile = c.testFile;
    if (drive.seed == 0) drive.seed = derivedSeed(seed ? static_cast<uint32_t>(*seed) : 1, drive.id);
  }
  return true;
}

}  // namespace

uint32_t derivedSeed(uint32_t campaignSeed, const std::string& driveId) {
  // FNV-1a over the seed and the id: stable across hosts, builds and versions, unlike std::hash.
  uint64_t h = 14695981039346656037ull;
  auto mix = [&h](unsigned char byte) {
    h ^= byte;
    h *= 1099511628211ull;
  };
  for (int i = 0; i < 4; ++i) mix(static_cast<unsigned char>(campaignSeed >> (8 * i)));
  for (char c : driveId) mix(static_cast<unsigned char>(c));
  const uint32_t folded = static_cast<uint32_t>(h ^ (h >> 32));
  return folded == 0 ? 1 : folded;
}

std::string folderName(const std::string& driveId) {
  std::string out;
  for (char c : driveId) {
    const bool keep = std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.';
    if (keep) out += c;
    else if (out.empty() || out.back() != '_') out += '_';
  }
  return out;
}

bool loadCampaign(const std::string& path, Campaign& campaign, std::string& error) {
  campaign = Campaign{};
  std::error_code ec;
  const fs::path absolute = fs::absolute(path, ec);
  campaign.file = absolute.lexically_normal().string();
  std::ifstream in(path, std::ios::binary);
  if (!in || fs::is_directory(path, ec)) {
    error = path + ": cannot read the campaign file: " + (in ? "it is a directory" : std::strerror(errno));
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  try {
    const toml::table root = toml::parse(text.str(), path);
    if (readCampaign(root, absolute.parent_path(), campaign, error)) return true;
    error = path + ": " + error;
  } catch (const toml::parse_error& e) {
    error = path + ":" + std::to_string(e.source().begin.line) + ":" + std::to_string(e.source().begin.column) + ": " +
            escapeControl(e.description());
  }
  return false;
}

}  // namespace varnox::cli::campaign
