// The library's one exported symbol; everything else stays hidden (see cardamor.map).
#include "frame/Entry.h"
#include "varnox/AgentTable.h"

extern "C" __attribute__((visibility("default"))) int initAgent(varnox::AgentTable* table) {
  return varnox::Cardamor::initAgent(table);
}
