// The library's one exported symbol; everything else stays hidden (see cardamor.map).
#include "entry/Entry.h"
#include "varnox/AgentTable.h"

extern "C" __attribute__((visibility("default"))) int initAgent(varnox::AgentTable* table) {
  return cardamor::initAgent(table);
}
