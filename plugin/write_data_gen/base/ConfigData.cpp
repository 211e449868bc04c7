#include "base/ConfigData.h"

#include <new>

#include "varnox/ConfigManager.h"
#include "varnox/Errors.h"

namespace cardamor {
namespace {

// The four write-kind conditions share one text; only the command name differs. The host's
// "write-kind" agent is the one that leaves a single write kind's bits in the mask.
#define CARDAMOR_WRITE_KIND_HELP(command)                                                                     \
  "The condition to apply when a " command                                                                    \
  " needs to be executed. This is a write command, if multiple write commands are setup, Cardamor will "     \
  "check which condition is set to choose which write command to use. The host's 'write-kind' agent can be " \
  "placed before Cardamor to choose which of the write commands runs. At least one write command Condition "  \
  "must be setup."

constexpr const char* kHelpMinQueueSize = "The minimum number of outstanding writes before issuing a read command";
constexpr const char* kHelpMaxQueueSize =
    "The maximum number of outstanding writes before a read command must be issued. supporting more operations "
    "consumes additional memory at the rate of a dozen or so bytes per operation";
constexpr const char* kHelpRandomSeed =
    "Random seed to use. If set to zero, uses the current system time for a seed";
constexpr const char* kHelpBucketCount =
    "The number of data buckets to pre-generate.  More buckets allow larger transfers and increases the "
    "randomness of transfer data.  Memory consumed is one sector of data per bucket, usually Bucket_Count * 512 "
    "bytes";
constexpr const char* kHelpTraceDepth =
    "If non-zero set the number of traced commands to the given number.  If zero, automatically choose a size "
    "based on MaxQueueSize";
constexpr const char* kHelpRandomSelection =
    "If true, read and write commands are chosen at random, keeping the distance between MinQueueSize and "
    "MaxQueueSize.  If false, reads and writes will alternate at MaxQueueSize-MinQueueSize operations per command";
constexpr const char* kHelpWriteSpliceDetection =
    "If true, write splice detection will be enabled. This will issue extra reads to areas where writes were "
    "previously issued, but were aborted or returned a non-medium hard error. This will also cause VARNOX to stop "
    "with a VARNOX_ERR_WRITE_SPLICE_DETECTED error if the read returns a hard error. Splice check reads are "
    "retried once if aborted.";
constexpr const char* kHelpSlideReads =
    "If true, reads will not always be at the same LBA as the write. Also, with variable transfer lengths, read "
    "xferlen may not match write xferlen";
constexpr const char* kHelpShowstop =
    "If true, this plugin will attempt to showstop the drive immediately after detecting a miscompare. By "
    "default, this is disabled. The showstop is performed by entering special mode and then a self-init POR. This "
    "may not work on all drives.";
constexpr const char* kHelpUserDefinedData =
    "If true, the user has specified that they wish to use defined data. If false, which is default, the program "
    "will use random data.";
constexpr const char* kHelpUseSkipCommands =
    "If true, Cardamor will consider all commands as skip commands with an alternating skip mask";
constexpr const char* kHelpAlwaysDumpSequence =
    "If true, always dump the command sequence at the end of a test, even if no miscompare error occurred";
constexpr const char* kHelpPowerToggleFreq = "The frequency in seconds of how often power will be cut from the drive.";
constexpr const char* kHelpReadCondition =
    "The condition to apply when a Read needs to be executed. This is a read command, if multile read commands "
    "are setup, Cardamor will check which condition is set to chose which command to use.At least one write "
    "command Condition must be setup.";
constexpr const char* kHelpVerifyCondition =
    "The condition to apply when a Verify needs to be executed. This is a read command, if multile read commands "
    "are setup, Cardamor will check which condition is set to chose which command to use.At least one write "
    "command Condition must be setup.";
constexpr const char* kHelpWriteCondition = CARDAMOR_WRITE_KIND_HELP("Write");
constexpr const char* kHelpWriteAtomicCondition = CARDAMOR_WRITE_KIND_HELP("WriteAtomic");
constexpr const char* kHelpWriteSameCondition = CARDAMOR_WRITE_KIND_HELP("WriteSame");
constexpr const char* kHelpTrimCondition = CARDAMOR_WRITE_KIND_HELP("Trim");
constexpr const char* kHelpE2eCondition =
    "The condition to signal that Cardamor needs to generate write data for a WRPROTECT enabled write command. "
    "This should be set before Cardamor executes, then a write with WRPROTECT should be available after Cardamor.";
constexpr const char* kHelpPowerToggleCondition =
    "The condition to apply to perform a PowerToggle. This variable must be setup by the test.";
constexpr const char* kHelpSyncCacheCondition =
    "The condition to apply to perform a SyncCache. If this is set, a SyncCache will be performed before each "
    "power toggle. This variable must be setup by the test.";
constexpr const char* kHelpMiscompareOutputPath =
    "The start of a path where miscompare data should be dumped.  This variable forms the base-name for two "
    "paths.  For the drive data, '_drive.bin' is appended to the path.  For the reference data, '_reference.bin "
    "is appended to the path.  By default, the plugin will use ./miscompare as the output path";
constexpr const char* kHelpDataBuffer = "The user data.";
constexpr const char* kHelpEmbedData =
    "Cardamor embeds certain data into the write data. On by default, this can be disabled by setting this to "
    "false.Some test features require this to be enabled.";
constexpr const char* kHelpEmbedLba = "Bool used to determine if write data should have the LBA embedded.";
// Zone resets reach the agent through "CSZoneReset", which only the host's zone-reset agent fills.
constexpr const char* kHelpColdStorage =
    "Cold Storage mode. It must be true exactly when the test runs the host's zone-reset (cold storage) "
    "workload, which hands its reset ranges to Cardamor through 'CSZoneReset'.";

constexpr const char* kDeprecateEmbedLba =
    "Cardamor - Embed LBA - This option is deprecated and ignored if True. If False, 'Embed Data' will be set to "
    "False. Use 'Embed Data' instead.";
constexpr const char* kDeprecateColdStorage =
    "Cardamor - Cold Storage - This option is deprecated and ignored. This option is no longer needed as it is "
    "handled internally.";

#undef CARDAMOR_WRITE_KIND_HELP

int registerKeys(varnox::ConfigManager& m, ConfigData& c) {
  int status = 0;
  // Each registration runs only while every earlier one succeeded.
  auto step = [&status](auto&& call) {
    if (status == 0) status = call();
  };
  step([&] { return m.addU32("Min Queue Size", &c.minQueueSize, 1, 1000000, kHelpMinQueueSize); });
  step([&] { return m.addU32("Max Queue Size", &c.maxQueueSize, 1, 1000000, kHelpMaxQueueSize); });
  step([&] { return m.addU32("Random Seed", &c.randomSeed, 0, 0xFFFFFFFFu, kHelpRandomSeed); });
  // Bucket numbers must stay below 0x80000, the first invalid bucket number.
  step([&] { return m.addU32("Bucket Count", &c.bucketCount, 1, 0x80000, kHelpBucketCount); });
  step([&] { return m.addU32("Trace Depth", &c.traceDepth, 0, 16000000, kHelpTraceDepth); });
  step([&] { return m.addBool("Random Selection", &c.randomSelection, kHelpRandomSelection); });
  step([&] { return m.addBool("Write Splice Detection", &c.writeSpliceDetection, kHelpWriteSpliceDetection); });
  step([&] { return m.addBool("Slide Reads", &c.slideReads, kHelpSlideReads); });
  step([&] { return m.addBool("Showstop on Miscompare", &c.showstopOnMiscompare, kHelpShowstop); });
  step([&] { return m.addBool("User Defined Data", &c.userDefinedData, kHelpUserDefinedData); });
  step([&] { return m.addBool("Use Skip Commands", &c.useSkipCommands, kHelpUseSkipCommands); });
  step([&] { return m.addBool("Always Dump Sequence", &c.alwaysDumpSequence, kHelpAlwaysDumpSequence); });
  step([&] { return m.addU32("PowerToggle Freq", &c.powerToggleFreq, 0, 1000000, kHelpPowerToggleFreq); });
  step([&] { return m.addCondition("Read Condition", &c.readCondition, kHelpReadCondition); });
  step([&] { return m.addCondition("Verify Condition", &c.verifyCondition, kHelpVerifyCondition); });
  step([&] { return m.addCondition("Write Condition", &c.writeCondition, kHelpWriteCondition); });
  step([&] { return m.addCondition("WriteAtomic Condition", &c.writeAtomicCondition, kHelpWriteAtomicCondition); });
  step([&] { return m.addCondition("WriteSame Condition", &c.writeSameCondition, kHelpWriteSameCondition); });
  step([&] { return m.addCondition("Trim Condition", &c.trimCondition, kHelpTrimCondition); });
  step([&] { return m.addCondition("E2E Condition", &c.e2eCondition, kHelpE2eCondition); });
  step([&] { return m.addCondition("PowerToggle Condition", &c.powerToggleCondition, kHelpPowerToggleCondition); });
  step([&] { return m.addCondition("SyncCache Condition", &c.syncCacheCondition, kHelpSyncCacheCondition); });
  step([&] { return m.addString("Miscompare Output Path", &c.miscompareOutputPath, kHelpMiscompareOutputPath); });
  step([&] { return m.addBuffer("Data Buffer", &c.dataBuffer, kHelpDataBuffer); });
  step([&] { return m.addBool("Embed Data", &c.embedData, kHelpEmbedData); });
  step([&] { return m.addBool("Embed LBA", &c.embedLba, kHelpEmbedLba); });
  step([&] { return m.deprecate("Embed LBA", kDeprecateEmbedLba); });
  step([&] { return m.addBool("Cold Storage", &c.coldStorage, kHelpColdStorage); });
  step([&] { return m.deprecate("Cold Storage", kDeprecateColdStorage); });
  return status;
}

}  // namespace

int registerConfig(varnox::ConfigManager* manager) {
  auto* record = new (std::nothrow) ConfigData();
  if (record == nullptr) return varnox::VARNOX_ERR_NO_MEMORY;
  int status = manager->registerConfigData(record, sizeof(ConfigData));
  if (status != 0) {
    delete record;
    return status;
  }
  // From here on the host owns the record and releases it through deleteConfigData.
  return registerKeys(*manager, *record);
}

void deleteConfigData(ConfigData* record) {
  // The members' destructors release the path, the mutex and the pattern bytes the buffer owns.
  delete record;
}

}  // namespace cardamor
