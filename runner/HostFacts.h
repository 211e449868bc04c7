#pragma once
// Facts about the machine a run ran on and the files it read, for the run's record: the kernel,
// the CPU model and its cores, and a file's SHA-256.
#include <string>

namespace varnox::cli {

// "Linux 6.1.0-18-amd64 #1 SMP PREEMPT_DYNAMIC Debian 6.1.76-1 (2024-02-01) x86_64".
std::string kernelText();
// The first "model name" of /proc/cpuinfo; empty when the kernel does not say.
std::string cpuModel();
// Online CPUs.
unsigned cpuCores();
// Lower-case hex of the file's SHA-256; empty when it cannot be read.
std::string fileSha256(const std::string& path);

}  // namespace varnox::cli
