#pragma once
// The readers of a test file's tables, one per table kind, and the defaults of a file that
// leaves the flow out. Each returns false with `error` set (the table, its number and the key)
// when the table is unusable; parseTestFile (TestFile.h) calls them in file-layout order.
#include <cstddef>
#include <string>
#include <toml++/toml.h>

#include "varnox/TestPlan.h"

namespace varnox::cli::testfile {

// [test]: the run's limit, timeout, tolerated device errors, output base and log file.
bool readTest(const toml::table& root, TestPlan& plan, std::string& error);

// Puts `device` into the file's one [[drive]] (making it where the file has none). False with
// `error` when the file has several drives.
bool replaceDevice(toml::table& root, const std::string& device, std::string& error);

// One [[drive]], the `index`th (from 0).
bool readDrive(const toml::table& table, size_t index, DriveSpec& drive, std::string& error);

// One [[flow]] step, the `index`th (from 0).
bool readStep(const toml::table& table, size_t index, StepSpec& step, std::string& error);

// [cardamor]: the agent's keys, in file order.
bool readAgentKeys(const toml::table& root, TestPlan& plan, std::string& error);

// One [[fault]], the `index`th (from 0), added to the drives it names; needs the drives read.
bool readFault(const toml::table& table, size_t index, TestPlan& plan, std::string& error);

// A plan without steps gets defaultFlow() and the agent's conditions that flow guards with,
// unless the file gave them.
void useDefaultFlow(TestPlan& plan);

}  // namespace varnox::cli::testfile
