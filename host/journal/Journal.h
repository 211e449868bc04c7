#pragma once
// A run's journal: a folder with the manifest and one DriveJournal file per drive. On a "host"
// journal a writer thread beside the drive threads syncs whatever the drives appended, one
// fdatasync per file and batch, so the drives overlap the sync with their device's work.
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "journal/DriveJournal.h"
#include "journal/JournalManifest.h"

namespace varnox::journal {

// Empty unless the folder `dir` lies on a drive under test (a block device, or the file system on
// it or on one of its partitions), or would hold a drive's file: then a message naming both.
std::string journalOnDriveError(const std::string& dir, const std::vector<DriveSpec>& drives);

class Journal {
 public:
  // Creates the folder (and its parents) if missing, replaces any journal in it, writes the
  // manifest (synced, with the folder) and opens one file per drive of `manifest`, whose `file`
  // names it sets. Null with `error` naming the path.
  static std::unique_ptr<Journal> create(const std::string& dir, JournalManifest manifest, std::string& error);
  ~Journal();  // syncs what is left and stops the writer
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  CommandJournal* drive(size_t index) { return drives_[index].get(); }

 private:
  Journal() = default;
  void writerLoop();
  void wake();

  std::vector<std::unique_ptr<DriveJournal>> drives_;
  bool hostDurable_ = true;
  std::thread writer_;
  std::mutex mutex_;
  std::condition_variable wakeup_;
  std::atomic<bool> idle_{false};
  std::atomic<bool> stop_{false};
};

}  // namespace varnox::journal
