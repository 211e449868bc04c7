#include "varnox/DriveThread.h"

#include <algorithm>
#include <set>

#include "varnox/Errors.h"

namespace varnox {
namespace {

enum VarType : int { kU64, kU32, kBool, kBuffer, kTagged, kRangeQueue };

bool validMode(int mode) {
  return mode == kVarRead || mode == kVarWrite || mode == kVarReadWrite || mode == kVarProvided;
}

}  // namespace

// One named variable. It lives in a unique_ptr inside the map, so the addresses handed to
// the agents stay put however many variables are added later.
struct DriveThread::Variable {
  int type = kU64;
  uint64_t u64 = 0;
  uint32_t u32 = 0;
  bool flag = false;
  std::unique_ptr<Buffer> buffer;
  std::unique_ptr<TaggedBuffer> tagged;
  std::unique_ptr<LBARangeQueue> ranges;
  std::set<std::string> writers;  // mappers that write it (mode 2 or 3, or declared)
};

DriveThread::DriveThread(DriveProperties properties, std::shared_ptr<LogSink> sink, Tavik* tavik)
    : properties_(std::move(properties)),
      log_(properties_.driveName, std::move(sink)),
      tavik_(tavik),
      tags_(properties_.queueDepth) {}

DriveThread::~DriveThread() = default;

DriveThread::Variable* DriveThread::mapVariable(const char* name, int type, int mode, int* err) {
  auto fail = [err](int code) -> Variable* {
    if (err != nullptr) *err = code;
    return nullptr;
  };
  if (name == nullptr || *name == '\0' || !validMode(mode)) return fail(VARNOX_ERR_BAD_VALUE);
  auto it = variables_.find(name);
  Variable* variable;
  if (it == variables_.end()) {
    auto fresh = std::make_unique<Variable>();
    fresh->type = type;
    const uint32_t tagCount = tags_.getMaxQueueDepth();
    if (type == kBuffer) fresh->buffer = std::make_unique<Buffer>();
    if (type == kTagged) fresh->tagged = std::make_unique<TaggedBuffer>(tagCount);
    if (type == kRangeQueue) fresh->ranges = std::make_unique<LBARangeQueue>();
    variable = fresh.get();
    variables_.emplace(name, std::move(fresh));
  } else {
    variable = it->second.get();
    if (variable->type != type) return fail(VARNOX_ERR_TYPE_MISMATCH);
  }
  if (mode == kVarWrite || mode == kVarReadWrite) variable->writers.insert(mapper_);
  return variable;
}

uint64_t* DriveThread::mapU64(const char* name, int mode, int* err, uint64_t def) {
  bool fresh = name != nullptr && variables_.find(name) == variables_.end();
  Variable* v = mapVariable(name, kU64, mode, err);
  if (v == nullptr) return nullptr;
  if (fresh) v->u64 = def;
  return &v->u64;
}

uint32_t* DriveThread::mapU32(const char* name, int mode, int* err, uint32_t def) {
  bool fresh = name != nullptr && variables_.find(name) == variables_.end();
  Variable* v = mapVariable(name, kU32, mode, err);
  if (v == nullptr) return nullptr;
  if (fresh) v->u32 = def;
  return &v->u32;
}

bool* DriveThread::mapBool(const char* name, int mode, int* err, bool def) {
  bool fresh = name != nullptr && variables_.find(name) == variables_.end();
  Variable* v = mapVariable(name, kBool, mode, err);
  if (v == nullptr) return nullptr;
  if (fresh) v->flag = def;
  return &v->flag;
}

Buffer* DriveThread::mapBuffer(const char* name, int mode, int* err) {
  Variable* v = mapVariable(name, kBuffer, mode, err);
  return v ? v->buffer.get() : nullptr;
}

TaggedBuffer* DriveThread::mapTaggedBuffer(const char* name, int mode, int* err) {
  Variable* v = mapVariable(name, kTagged, mode, err);
  return v ? v->tagged.get() : nullptr;
}

LBARangeQueue* DriveThread::mapLBARangeQueue(const char* name, int mode, int* err) {
  Variable* v = mapVariable(name, kRangeQueue, mode, err);
  return v ? v->ranges.get() : nullptr;
}

int DriveThread::registerDriveData(void* record) {
  if (record == nullptr) return VARNOX_ERR_NO_RECORD;
  if (driveData_ != nullptr) return VARNOX_ERR_DUPLICATE;
  driveData_ = record;
  return VARNOX_OK;
}

uint32_t DriveThread::countVarWriters(const char* name) const {
  if (name == nullptr) return 0;
  auto it = variables_.find(name);
  return it == variables_.end() ? 0 : static_cast<uint32_t>(it->second->writers.size());
}

void DriveThread::declareWriter(const std::string& name, const std::string& mapper) {
  auto it = variables_.find(name);
  if (it != variables_.end()) it->second->writers.insert(mapper);
}

DriveThread::Variable* DriveThread::findVariable(const std::string& name, int type) const {
  auto it = variables_.find(name);
  if (it == variables_.end() || it->second->type != type) return nullptr;
  return it->second.get();
}

uint64_t* DriveThread::findU64(const std::string& name) const {
  Variable* v = findVariable(name, kU64);
  return v ? &v->u64 : nullptr;
}

uint32_t* DriveThread::findU32(const std::string& name) const {
  Variable* v = findVariable(name, kU32);
  return v ? &v->u32 : nullptr;
}

bool* DriveThread::findBool(const std::string& name) const {
  Variable* v = findVariable(name, kBool);
  return v ? &v->flag : nullptr;
}

Buffer* DriveThread::findBuffer(const std::string& name) const {
  Variable* v = findVariable(name, kBuffer);
  return v ? v->buffer.get() : nullptr;
}

TaggedBuffer* DriveThread::findTaggedBuffer(const std::string& name) const {
  Variable* v = findVariable(name, kTagged);
  return v ? v->tagged.get() : nullptr;
}

LBARangeQueue* DriveThread::findLBARangeQueue(const std::string& name) const {
  Variable* v = findVariable(name, kRangeQueue);
  return v ? v->ranges.get() : nullptr;
}

std::vector<std::string> DriveThread::variableNames() const {
  std::vector<std::string> names;
  names.reserve(variables_.size());
  for (const auto& entry : variables_) names.push_back(entry.first);
  return names;
}

}  // namespace varnox
