// Appending to one drive's journal file and syncing it (DriveJournal.h).
#include "journal/DriveJournal.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "journal/JournalFormat.h"

namespace varnox::journal {
namespace {

// The mapping covers this much address space from the start, and the file grows into it a chunk
// at a time; a page of the mapping is touched only once the file has room for it.
constexpr uint64_t kMappedBytes = 1ull << 38;  // 256 GiB
constexpr uint64_t kChunkBytes = 16ull << 20;

}  // namespace

std::unique_ptr<DriveJournal> DriveJournal::create(const std::string& path, bool hostDurable, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = "journal file " + path + " cannot be created: " + std::strerror(errno);
    return nullptr;
  }
  void* map = ::mmap(nullptr, kMappedBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) {
    error = "journal file " + path + " cannot be mapped: " + std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  std::unique_ptr<DriveJournal> journal(new DriveJournal(path, fd, static_cast<uint8_t*>(map), hostDurable));
  if (journal->reserve(kChunkBytes) == nullptr) {
    error = journal->error_;
    return nullptr;
  }
  return journal;
}

DriveJournal::DriveJournal(std::string path, int fd, uint8_t* map, bool hostDurable)
    : path_(std::move(path)), fd_(fd), map_(map), hostDurable_(hostDurable) {}

DriveJournal::~DriveJournal() {
  if (hostDurable_ && syncPending()) ::fdatasync(fd_);
  ::munmap(map_, kMappedBytes);
  ::close(fd_);
}

uint8_t* DriveJournal::reserve(size_t bytes) {
  if (tail_ + bytes > allocated_) {
    if (tail_ + bytes > kMappedBytes) {
      fail("journal file " + path_ + " is full (256 GiB)");
      return nullptr;
    }
    // Blocks allocated now, so that a store into the mapping never meets a full file system.
    const uint64_t grow = std::max<uint64_t>(kChunkBytes, bytes);
    if (const int err = ::posix_fallocate(fd_, static_cast<off_t>(allocated_), static_cast<off_t>(grow)); err != 0) {
      fail("journal file " + path_ + " cannot grow: " + std::strerror(err));
      return nullptr;
    }
    // One call maps the chunk's pages in, instead of a fault at the first record of each page.
#ifdef MADV_POPULATE_WRITE
    ::madvise(map_ + allocated_, grow, MADV_POPULATE_WRITE);
#endif
    allocated_ += grow;
  }
  return map_ + tail_;
}

uint64_t DriveJournal::recordIntent(const JournalIntent& intent) {
  if (failed_.load(std::memory_order_acquire)) return 0;
  uint8_t* dest = reserve(intentRecordBytes(intent));
  if (dest == nullptr) return 0;
  const uint64_t sequence = ++sequence_;
  tail_ += encodeIntent(dest, sequence, sequence, intent);
  appended_.store(sequence, std::memory_order_seq_cst);
  if (hostDurable_ && wakeWriter_) wakeWriter_();
  return sequence;
}

void DriveJournal::recordCompletion(uint64_t identity, JournalOutcome outcome) {
  if (identity == 0 || failed_.load(std::memory_order_acquire)) return;
  uint8_t* dest = reserve(kCompletionRecordBytes);
  if (dest == nullptr) return;
  const uint64_t sequence = ++sequence_;
  tail_ += encodeCompletion(dest, sequence, identity, outcome);
  // Lazily: the next batch's sync takes it along, nobody waits for it.
  appended_.store(sequence, std::memory_order_release);
}

void DriveJournal::recordPowerLoss() {
  if (failed_.load(std::memory_order_acquire)) return;
  JournalIntent loss;
  loss.kind = JournalKind::PowerLoss;
  uint8_t* dest = reserve(intentRecordBytes(loss));
  if (dest == nullptr) return;
  const uint64_t sequence = ++sequence_;
  tail_ += encodeIntent(dest, sequence, sequence, loss);
  appended_.store(sequence, std::memory_order_release);
}

bool DriveJournal::durable(uint64_t identity) const {
  return !hostDurable_ || synced_.load(std::memory_order_acquire) >= identity ||
         failed_.load(std::memory_order_acquire);
}

void DriveJournal::waitDurable(uint64_t identity) {
  for (uint64_t seen = synced_.load(std::memory_order_acquire); !durable(identity);
       seen = synced_.load(std::memory_order_acquire)) {
    synced_.wait(seen, std::memory_order_acquire);
  }
}

void DriveJournal::sync() {
  const uint64_t upTo = appended_.load(std::memory_order_acquire);
  if (upTo <= synced_.load(std::memory_order_relaxed)) return;
  // fdatasync writes back the mapping's dirty pages and the file's size with them.
  if (::fdatasync(fd_) != 0 || failed_.load(std::memory_order_acquire)) {
    if (!failed_.load(std::memory_order_acquire)) fail("journal file " + path_ + ": fdatasync failed: " + std::strerror(errno));
    return;
  }
  synced_.store(upTo, std::memory_order_release);
  synced_.notify_all();
}

void DriveJournal::fail(const std::string& why) {
  {
    std::lock_guard<std::mutex> lock(failing_);
    if (failed_.load(std::memory_order_acquire)) return;
    error_ = why;
    failed_.store(true, std::memory_order_release);
  }
  // Whoever waits wakes up, sees the failure and stops the drive.
  synced_.store(UINT64_MAX, std::memory_order_release);
  synced_.notify_all();
}

bool DriveJournal::healthy(const char** error) const {
  if (!failed_.load(std::memory_order_acquire)) return true;
  if (error != nullptr) *error = error_.c_str();
  return false;
}

}  // namespace varnox::journal
