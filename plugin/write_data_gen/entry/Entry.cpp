#include "entry/Entry.h"

#include "base/ConfigData.h"
#include "drive/DriveData.h"
#include "entry/Execute.h"
#include "entry/FinishTest.h"
#include "entry/SetupTest.h"
#include "issue/ResetRecovery.h"
#include "varnox/AgentTable.h"

namespace cardamor {
namespace {

// The host hands back exactly the records that slots 4 and 6 registered.
ConfigData* configOf(void* config) { return static_cast<ConfigData*>(config); }
DriveData* driveOf(void* drive) { return static_cast<DriveData*>(drive); }

int setupSlot(varnox::DriveThread* thread, void* config, void* drive) {
  return setupTest(thread, configOf(config), driveOf(drive));
}
void finishSlot(varnox::DriveThread* thread, void* config, void* drive) {
  finishTest(thread, configOf(config), driveOf(drive));
}
int executeSlot(varnox::DriveThread* thread, void* config, void* drive) {
  return execute(*thread, *configOf(config), *driveOf(drive));
}
int resetSlot(varnox::DriveThread* thread, void* config, void* drive) {
  return handleReset(*thread, *configOf(config), *driveOf(drive));
}
int registerConfigSlot(varnox::ConfigManager* manager) {
  return registerConfig(manager);
}
void deleteConfigSlot(void* config) { deleteConfigData(configOf(config)); }
int registerDriveSlot(varnox::DriveThread* thread) {
  return registerDriveVariables(thread);
}
void deleteDriveSlot(void* drive) { deleteDriveData(driveOf(drive)); }

// The two example agents of line 1 are the host's built-in LBA chooser in its two modes.
constexpr const char kUsage[] =
    "Usage:\n\nA method of data compare that uses precaculated random 'sector-buckets' for write data and read "
    "data compare.  The use of ths plugin in a test dictates much of the structure of the rest of the test.  The "
    "basic structure of a correct test is as follows (order is important)\n\n"
    "  1) A LBA/XferLength agent, such as lba (mode random) or lba (mode sequential)\n"
    "  2) The Cardamor plugin\n  3) A write command, conditioned on 'write'\n  4) A read command, conditioned "
    "on 'read'\n  5) GetStatus\n\nDuring the test flow, the Cardamor agent will first create some read-write "
    "command distance by issuing a number of writes and no reads After this, read and writes will be chosen "
    "based on the configured workload model with the goal of keeping a minimum distance between reads and "
    "writes enforced.\n\nAthough every attempt is made to make this plugin fast, its use will have a negative "
    "impact on performance.";

}  // namespace

const char* usageText() { return kUsage; }

int initAgent(varnox::AgentTable* table) {
  table->setupTest = setupSlot;
  table->finishTest = finishSlot;
  table->execute = executeSlot;
  table->handleReset = resetSlot;
  table->registerConfig = registerConfigSlot;
  table->deleteConfigData = deleteConfigSlot;
  table->registerDriveVariables = registerDriveSlot;
  table->deleteDriveData = deleteDriveSlot;
  table->usageText = usageText;
  return 0;
}

}  // namespace cardamor
