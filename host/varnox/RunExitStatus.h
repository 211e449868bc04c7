#pragma once
// From the agents' statuses to the program's exit status (kExit* in TestRun.h), and which of
// two drives' exit statuses the run reports.
namespace varnox {

// A miscompare, a write splice or a torn atomic write.
bool isIntegrityStatus(int status);

int exitStatusFor(int status);

// An integrity failure matters most, then a failed device, then a refusal, then a drive that
// proved nothing.
int worseExit(int a, int b);

}  // namespace varnox
