#include "TestFile.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <toml++/toml.h>
#include <utility>
#include <vector>

#include "Messages.h"
#include "TestFileSection.h"
#include "TestFileTables.h"

namespace varnox::cli {
namespace testfile {
namespace {

// Every table the file may hold, read in the order a table may depend on: the faults need the
// drives they name.
bool readDocument(const toml::table& root, TestPlan& plan, std::string& error) {
  for (auto&& [key, node] : root) {
    // [expect] holds what a fault-proof case expects of the run; running the case ignores it.
    if (key != "test" && key != "drive" && key != "flow" && key != "cardamor" && key != "fault" && key != "expect") {
      error = (node.is_table() || node.is_array_of_tables() ? "unknown table [" + std::string(key.str()) + "]"
                                                            : "unknown key " + quote(key.str()));
      error += " (expected [test], [[drive]], [[flow]], [cardamor] or [[fault]])";
      return false;
    }
  }
  if (!readTest(root, plan, error)) return false;

  std::vector<const toml::table*> tables;
  if (!tablesOf(root, "drive", tables, error)) return false;
  for (size_t i = 0; i < tables.size(); ++i) {
    DriveSpec drive;
    if (!readDrive(*tables[i], i, drive, error)) return false;
    for (const DriveSpec& other : plan.drives) {
      if (other.name == drive.name) {
        error = "[[drive]] " + std::to_string(i + 1) + ": \"name\" " + quote(drive.name) + " is used by two drives";
        return false;
      }
    }
    plan.drives.push_back(std::move(drive));
  }
  if (plan.drives.empty()) plan.drives.push_back(DriveSpec{"D0", DeviceSpec{}, 1, {}});

  tables.clear();
  if (!tablesOf(root, "flow", tables, error)) return false;
  for (size_t i = 0; i < tables.size(); ++i) {
    StepSpec step;
    if (!readStep(*tables[i], i, step, error)) return false;
    plan.flow.push_back(std::move(step));
  }
  if (!readAgentKeys(root, plan, error)) return false;
  if (plan.flow.empty()) useDefaultFlow(plan);

  tables.clear();
  if (!tablesOf(root, "fault", tables, error)) return false;
  for (size_t i = 0; i < tables.size(); ++i)
    if (!readFault(*tables[i], i, plan, error)) return false;
  return true;
}

}  // namespace

bool replaceDevice(toml::table& root, const std::string& device, std::string& error) {
  toml::node* drives = root.get("drive");
  toml::table* drive = drives == nullptr ? nullptr : drives->as_table();
  if (toml::array* list = drives == nullptr ? nullptr : drives->as_array(); list != nullptr && list->size() == 1)
    drive = (*list)[0].as_table();
  if (drives == nullptr) {
    root.insert("drive", toml::table{{"device", device}});
    return true;
  }
  if (drive == nullptr) {
    error = "--device replaces the device of a test file with one [[drive]]; this one has " +
            std::to_string(drives->is_array() ? drives->as_array()->size() : 0);
    return false;
  }
  drive->insert_or_assign("device", device);
  return true;
}
}  // namespace testfile

bool parseTestFile(std::string_view text, const std::string& sourceName, TestPlan& plan, std::string& error,
                   const std::string& device) {
  plan = TestPlan{};
  plan.sourceFile = sourceName;
  try {
    toml::table root = toml::parse(text, sourceName);
    if (!device.empty() && !testfile::replaceDevice(root, device, error)) {
      error = sourceName + ": " + escapeControl(error);
      return false;
    }
    if (testfile::readDocument(root, plan, error)) return true;
    // Values quoted from the file are escaped where they are described; this catches any a
    // message quotes raw, so a refusal stays one line whatever the file holds.
    error = sourceName + ": " + escapeControl(error);
  } catch (const toml::parse_error& e) {
    error = sourceName + ":" + std::to_string(e.source().begin.line) + ":" + std::to_string(e.source().begin.column) +
            ": " + escapeControl(e.description());
  }
  plan = TestPlan{};
  return false;
}

bool loadTestFile(const std::string& path, TestPlan& plan, std::string& error, const std::string& device) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": cannot open the test file: " + std::strerror(errno);
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    error = path + ": cannot read the test file";
    return false;
  }
  return parseTestFile(text.str(), path, plan, error, device);
}

}  // namespace varnox::cli
