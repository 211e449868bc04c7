#pragma once
// The agent table: initAgent fills the host's nine slots with thin wrappers that turn the
// host's opaque record pointers back into ConfigData and DriveData. The library's exported C
// symbol (export/InitAgentExport.cpp) only forwards here.
namespace varnox {
struct AgentTable;
}

namespace cardamor {

// Stores the nine slot pointers in `table` and returns 0. Allocates nothing, keeps no state,
// so calling it again simply fills the table again.
int initAgent(varnox::AgentTable* table);

// The usage text shown by the host; lives as long as the library.
const char* usageText();

}  // namespace cardamor
