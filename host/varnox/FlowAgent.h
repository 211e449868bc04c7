#pragma once
// An agent of a flow as the engine drives it: a loaded library, a table a test supplies, or one
// of the host's built-in agents. Per-drive calls name the drive by its thread; an agent keeps
// its per-drive state keyed by it. Registration and deletion run on the preparing thread, the
// other per-drive calls on that drive's own thread.
#include <cstdint>
#include <string>

#include "tavik/Device.h"
#include "varnox/ConfigManager.h"
#include "varnox/DriveThread.h"

namespace varnox {

// What an agent may know about the drive besides its thread.
struct DriveEnv {
  DriveThread* thread = nullptr;
  uint64_t seed = 0;  // the drive's run seed; built-in agents derive their randomness from it
  DeviceGeometry geometry;
  // 2 with skip commands: a command of n blocks then reaches LBA + 2(n - 1) (see SkipCommands.h).
  uint32_t lbaStride = 1;
  // A drive split into slices (DriveSlices.h): this thread is slice `slice` of `sliceCount` and
  // the agents that choose LBAs keep to that part of the tested range (SliceRanges.h).
  uint32_t slice = 0;
  uint32_t sliceCount = 1;
};

class FlowAgent {
 public:
  virtual ~FlowAgent() = default;
  virtual const std::string& name() const = 0;
  // The agent's key registry, null for agents without keys.
  virtual ConfigManager* config() { return nullptr; }

  // Once per test. Non-zero with `error` naming the agent when it cannot run.
  virtual int registerConfig(std::string& error) = 0;
  virtual int registerDriveVariables(DriveEnv& env, std::string& error) = 0;
  virtual int setup(DriveEnv& env) = 0;
  virtual int execute(DriveEnv& env) = 0;
  virtual int handleReset(DriveEnv& env) = 0;
  virtual void finish(DriveEnv& env) = 0;
  virtual void deleteDriveData(DriveEnv& env) = 0;
  virtual void deleteConfig() = 0;
  virtual const char* usage() const = 0;
};

}  // namespace varnox
