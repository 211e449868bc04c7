#pragma once
// Reads back the block an agent asked for through "DiagnosisReadLBA" (see DriveThread.h) into
// "DiagnosisReadData", once the drive's last command has completed and before the agents'
// finish: a verify's failing block is compared on the drive, so only a read afterwards shows
// what the drive holds there.
namespace varnox {

class Device;
class DriveThread;

// Does nothing when no agent asked. A device that stopped (a showstop) or fails the read leaves
// the data empty; nothing is counted as one of the test's commands.
void answerDiagnosisRead(DriveThread& thread, Device& device);

}  // namespace varnox
