// Turning the drives' JSON records into history rows.
#include "CampaignHistory.h"

#include <algorithm>

#include "HistoryDatabase.h"

namespace varnox::cli::campaign {
namespace {

std::string text(const nlohmann::json& object, const char* key) {
  return object.contains(key) && object[key].is_string() ? object[key].get<std::string>() : "";
}

uint64_t count(const nlohmann::json& object, const char* key) {
  return object.contains(key) && object[key].is_number_unsigned() ? object[key].get<uint64_t>() : 0;
}

HistoryDrive driveRow(const nlohmann::json& d) {
  HistoryDrive row;
  row.name = text(d, "name");
  const nlohmann::json identity = d.value("identity", nlohmann::json::object());
  row.path = text(identity, "path");
  row.model = text(identity, "model");
  row.serial = text(identity, "serial");
  row.firmware = text(identity, "firmware");
  row.wwid = text(identity, "wwid");
  row.passes = count(d, "passes");
  row.bytesWritten = count(d, "bytesWritten");
  row.bytesVerified = count(d, "bytesVerified");
  row.failures = count(d, "failures");
  row.deviceErrors = count(d, "deviceErrors");
  const nlohmann::json stats = d.value("deviceStats", nlohmann::json::object());
  row.commands = count(stats, "commands");
  row.powerCycles = count(stats, "powerCycles");
  row.resets = count(stats, "resets");
  if (d.contains("diagnosis") && d["diagnosis"].is_object()) {
    const nlohmann::json& g = d["diagnosis"];
    HistoryFailure f;
    if (g.contains("lba") && g["lba"].is_number_unsigned()) f.lba = g["lba"].get<uint64_t>();
    f.failureClass = text(g, "class");
    f.kind = text(g, "failure");
    f.message = text(d, "failureText");
    const nlohmann::json files = g.value("dataFiles", nlohmann::json::object());
    f.driveFile = text(files, "drive");
    f.referenceFile = text(files, "reference");
    row.failure = f;
  }
  return row;
}

}  // namespace

bool gatherIntoHistory(const std::string& database, const std::vector<DriveStatus>& drives,
                       std::vector<std::string>& gathered, std::string& error) {
  std::unique_ptr<HistoryDatabase> db;
  for (const DriveStatus& d : drives) {
    if (d.folder.empty() || !d.result.is_object() ||
        std::find(gathered.begin(), gathered.end(), d.folder) != gathered.end())
      continue;
    if (!db && !(db = HistoryDatabase::openForWriting(database, error))) return false;
    const nlohmann::json& r = d.result;
    HistoryRun run;
    run.startTime = text(r, "startTime");
    run.endTime = text(r, "endTime");
    run.result = text(r, "result");
    run.exitStatus = r.value("exitStatus", -1);
    run.host = r.contains("host") && r["host"].is_object() ? text(r["host"], "name") : "";
    if (run.host.empty()) run.host = d.drive->host;
    run.testFile = r.contains("testFile") && r["testFile"].is_object() ? text(r["testFile"], "path") : text(r, "file");
    run.commandLine = text(r, "commandLine");
    run.version = text(r, "version");
    if (r.contains("seed") && r["seed"].is_number_unsigned()) run.seed = r["seed"].get<uint64_t>();
    run.seconds = r.value("seconds", 0.0);
    run.error = text(r, "error");
    run.document = r.dump();
    if (r.contains("drives") && r["drives"].is_array())
      for (const nlohmann::json& drive : r["drives"]) run.drives.push_back(driveRow(drive));
    try {
      db->appendRun(run);
    } catch (const std::exception& e) {
      error = database + ": cannot record " + d.folder + ": " + e.what();
      return false;
    }
    gathered.push_back(d.folder);
  }
  return true;
}

}  // namespace varnox::cli::campaign
