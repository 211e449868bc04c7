#include "varnox/EventLog.h"

#include <cstdio>

#include "varnox/Clock.h"
#include "varnox/Errors.h"

namespace varnox {

void LogSink::write(const std::string& line) { writeLevel(0x7fffffff, line); }

void LogSink::writeLevel(int level, const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (terminal_ != nullptr && level >= terminalLevel_) {
    std::fputs(line.c_str(), terminal_);
    std::fputc('\n', terminal_);
    std::fflush(terminal_);
  }
  if (file_ != nullptr) {
    std::fputs(line.c_str(), file_);
    std::fputc('\n', file_);
    std::fflush(file_);
  }
}

EventLog::EventLog(std::string driveName, std::shared_ptr<LogSink> sink)
    : driveName_(std::move(driveName)), sink_(std::move(sink)), startNs_(queryPerformanceCounter()) {}

void EventLog::logf(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vlogf(level, format, args);
  va_end(args);
}

void EventLog::vlogf(int level, const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (needed < 0) {
    log(level, format);
    return;
  }
  std::string text(static_cast<size_t>(needed) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(needed));
  log(level, text);
}

void EventLog::log(int level, const std::string& text) {
  // Agents end some messages with a newline out of habit; one line per call is the rule here.
  std::string body = text;
  while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.pop_back();
  Line line{queryPerformanceCounter() - startNs_, level, std::move(body)};
  std::string formatted = format(line);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(std::move(line));
  }
  if (sink_) sink_->writeLevel(level, formatted);
}

std::vector<EventLog::Line> EventLog::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::vector<std::string> EventLog::texts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  out.reserve(lines_.size());
  for (const Line& line : lines_) out.push_back(line.text);
  return out;
}

size_t EventLog::countAtLevel(int level) const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t count = 0;
  for (const Line& line : lines_) count += line.level == level ? 1 : 0;
  return count;
}

std::string EventLog::format(const Line& line) const {
  // Time since the drive's log started, so the lines of one drive read as a timeline.
  uint64_t ms = line.timeNs / 1000000ULL;
  char stamp[32];
  std::snprintf(stamp, sizeof(stamp), "%02llu:%02llu:%02llu.%03llu",
                static_cast<unsigned long long>(ms / 3600000ULL),
                static_cast<unsigned long long>((ms / 60000ULL) % 60),
                static_cast<unsigned long long>((ms / 1000ULL) % 60), static_cast<unsigned long long>(ms % 1000));
  const char* levelText = line.level >= 2 ? "E" : (line.level == 1 ? "W" : "I");
  return std::string(stamp) + " " + driveName_ + " " + levelText + " " + line.text;
}

const char* EventLog::errStr(int code) {
  switch (code) {
    case VARNOX_OK: return "Success";
    case VARNOX_ERR_GENERIC: return "General failure";
    case VARNOX_ERR_NO_MEMORY: return "Out of memory or record missing";
    case VARNOX_ERR_HISTORY_ENTRY_MISSING: return "LBA history entry missing";
    case VARNOX_ERR_HISTORY_EVENT_MISSING: return "LBA history event missing";
    case VARNOX_ERR_QUEUE_SIZE_ORDER: return "Queue sizes in the wrong order";
    case VARNOX_ERR_BAD_VALUE: return "Bad configuration value";
    case VARNOX_ERR_UNKNOWN_KEY: return "Unknown configuration key";
    case VARNOX_ERR_DUPLICATE: return "Registered twice";
    case VARNOX_ERR_TYPE_MISMATCH: return "Variable mapped with another type";
    case VARNOX_ERR_NO_RECORD: return "No record registered";
    case VARNOX_ERR_DEVICE: return "Device failure";
    case VARNOX_ERR_NOT_SUPPORTED: return "Not supported";
    case VARNOX_ERR_READ_DATA: return "Read data missing or transfer length too large";
    case VARNOX_ERR_CONFIG_MISSING: return "Required configuration missing";
    case VARNOX_ERR_MISCOMPARE: return "Data miscompare";
    case VARNOX_ERR_COMMAND_CHOICE: return "Incompatible or missing command choice";
    case VARNOX_ERR_DUMP_FILE: return "Dump file could not be opened";
    case VARNOX_ERR_NO_DEVICE: return "No device";
    case VARNOX_ERR_USER_PATTERN: return "User pattern too large";
    case VARNOX_ERR_BLOCK_OFFSET: return "Block offset beyond the read data";
    case VARNOX_ERR_WRITE_SPLICE_DETECTED: return "Write splice detected";
    case VARNOX_ERR_ATOMIC_ORDERING: return "Atomic data ordering failure";
    case VARNOX_ERR_INTERNAL: return "Internal consistency failure";
    default: {
      // Per thread so that two drives naming different unknown numbers do not race.
      thread_local char text[48];
      std::snprintf(text, sizeof(text), "Unknown error %d", code);
      return text;
    }
  }
}

}  // namespace varnox
