#pragma once
// One drive's journal file: the drive thread appends records into a shared mapping of the file,
// so a record is in the kernel's page cache (and survives a kill of this process) as soon as it
// is written, without a system call. On a "host" journal a command may be sent only once an
// fdatasync that began after its intent was recorded has finished; JournalSet's writer thread
// makes those syncs, one per batch of whatever was appended meanwhile (group commit).
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "varnox/CommandJournal.h"

namespace varnox::journal {

class DriveJournal final : public CommandJournal {
 public:
  // Creates (or empties) the file at `path`. With `hostDurable` a record counts as durable only
  // once synced. Null with `error` naming the path.
  static std::unique_ptr<DriveJournal> create(const std::string& path, bool hostDurable, std::string& error);
  ~DriveJournal() override;
  DriveJournal(const DriveJournal&) = delete;
  DriveJournal& operator=(const DriveJournal&) = delete;

  // Called when an intent waits for a sync (by the writer that makes it).
  void setWakeWriter(std::function<void()> wake) { wakeWriter_ = std::move(wake); }

  uint64_t recordIntent(const JournalIntent& intent) override;
  bool durable(uint64_t identity) const override;
  void waitDurable(uint64_t identity) override;
  void recordCompletion(uint64_t identity, JournalOutcome outcome) override;
  void recordPowerLoss() override;
  bool healthy(const char** error) const override;

  // Writer side: true when records were appended since the last sync.
  bool syncPending() const { return appended_.load(std::memory_order_seq_cst) > synced_.load(std::memory_order_acquire); }
  // Syncs what has been appended so far and lets the commands waiting for it go.
  void sync();
  // Marks the journal failed (a sync that failed) and lets every waiting command see it.
  void fail(const std::string& why);
  const std::string& path() const { return path_; }

 private:
  DriveJournal(std::string path, int fd, uint8_t* map, bool hostDurable);
  uint8_t* reserve(size_t bytes);  // null when the file cannot grow

  std::string path_;
  int fd_;
  uint8_t* map_;
  bool hostDurable_;
  uint64_t tail_ = 0;       // bytes appended
  uint64_t allocated_ = 0;  // bytes the file has room for
  uint64_t sequence_ = 0;   // of the last record
  std::atomic<uint64_t> appended_{0};  // sequence of the last record written into the mapping
  std::atomic<uint64_t> synced_{0};    // sequence of the last record a finished fdatasync covers
  std::atomic<bool> failed_{false};
  std::mutex failing_;
  std::string error_;
  std::function<void()> wakeWriter_;
};

}  // namespace varnox::journal
