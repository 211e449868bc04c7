#pragma once
// A campaign: one test file run on many drives of many hosts through Slurm. The campaign file
// (TOML) names the test, the drives, the seeds, the limit and where the results go; every
// command of `varnox campaign` reads it.
//
//   [campaign]  name, test, results, db, duration | passes, seed, on_failure ("keep" | "rerun"),
//               partition, time_limit, varnox, gres, sbatch (extra sbatch arguments),
//               drives_from_gres (a gres.conf whose lines name the drives)
//   [[drive]]   host, path ("sim" or a device or file), gres (the drive's type in gres.conf),
//               name (default "host:path"; two simulated drives of one host need names), seed,
//               test (a test file of its own)
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace varnox::cli::campaign {

struct CampaignDrive {
  std::string id;        // "host:path" or the name given, unique; names the drive's result folder
  std::string host;      // the Slurm node the drive is attached to
  std::string path;      // "sim", a block device or a file, as the node sees it
  std::string gresType;  // the drive's type of the campaign's generic resource on that node
  uint32_t seed = 0;     // given, or derived from the campaign's seed and the drive's id
  std::string testFile;  // absolute
};

struct Campaign {
  std::string file;        // the campaign file, absolute
  std::string name;
  std::string testFile;    // absolute
  std::string results;     // absolute; a folder every host can write
  std::string database;    // absolute; the history database `campaign report` fills
  std::string duration;    // as written ("10m"), or empty
  uint64_t passes = 0;     // or 0
  std::string onFailure = "keep";
  std::string partition;
  std::string timeLimit;   // Slurm's --time, as written
  std::string varnox;      // the program the tasks run; default: this one
  std::string gresName = "drive";
  std::vector<std::string> sbatchArguments;
  std::vector<CampaignDrive> drives;
};

// Reads and checks the campaign file. False with `error` naming the file, the table and the key.
bool loadCampaign(const std::string& path, Campaign& campaign, std::string& error);

// The seed a drive gets from the campaign's seed: the same drive always gets the same one, so
// a rerun repeats the run; 1 to 4294967295.
uint32_t derivedSeed(uint32_t campaignSeed, const std::string& driveId);

// A drive id as one path component: "node01:/dev/sdb" -> "node01_dev_sdb".
std::string folderName(const std::string& driveId);

}  // namespace varnox::cli::campaign
