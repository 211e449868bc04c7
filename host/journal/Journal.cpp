// Creating a run's journal and its writer thread (Journal.h).
#include "journal/Journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace varnox::journal {
namespace {

// The whole disk a block device number belongs to: itself, or a partition's parent.
std::string diskOf(dev_t device) {
  std::error_code ec;
  const std::string link = "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
  std::filesystem::path real = std::filesystem::canonical(link, ec);
  if (ec) return std::to_string(major(device)) + ":" + std::to_string(minor(device));
  if (std::filesystem::exists(real / "partition", ec)) real = real.parent_path();
  return real.string();
}

bool syncPath(const std::string& path, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || ::fsync(fd) != 0) {
    error = path + " cannot be synced: " + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return false;
  }
  ::close(fd);
  return true;
}

}  // namespace

std::string journalOnDriveError(const std::string& dir, const std::vector<DriveSpec>& drives) {
  namespace fs = std::filesystem;
  std::error_code ec;
  // The folder may not exist yet: its nearest existing parent is where it would be made.
  fs::path where = fs::absolute(dir, ec);
  while (!where.empty() && !fs::exists(where, ec) && where != where.root_path()) where = where.parent_path();
  struct stat folder {};
  if (::stat(where.c_str(), &folder) != 0) return "";
  for (const DriveSpec& drive : drives) {
    // A simulated drive with a medium file is that file.
    const std::string& path = drive.device.kind == "sim" ? drive.device.medium : drive.device.kind;
    if (path.empty()) continue;
    struct stat target {};
    const bool exists = ::stat(path.c_str(), &target) == 0;
    const std::string both = "the journal " + dir + " is on drive " + drive.name + " (" + path +
                             "), the drive under test: put it on a device of its own";
    if (exists && S_ISBLK(target.st_mode)) {
      if (folder.st_dev == target.st_rdev || diskOf(folder.st_dev) == diskOf(target.st_rdev)) return both;
    } else if (!exists || S_ISREG(target.st_mode)) {  // a file, perhaps still to be made
      const fs::path file = fs::weakly_canonical(path, ec);
      const fs::path folderPath = fs::weakly_canonical(dir, ec);
      if (file.parent_path() == folderPath) {
        return "the journal " + dir + " would hold drive " + drive.name + "'s file " + path +
               ": put the journal in a folder of its own";
      }
    }
  }
  return "";
}

std::unique_ptr<Journal> Journal::create(const std::string& dir, JournalManifest manifest, std::string& error) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec || !std::filesystem::is_directory(dir, ec)) {
    error = "the journal folder " + dir + " cannot be made: " + (ec ? ec.message() : "it is not a folder");
    return nullptr;
  }
  std::unique_ptr<Journal> journal(new Journal());
  journal->hostDurable_ = manifest.journalSync != "process";
  for (size_t i = 0; i < manifest.drives.size(); ++i) {
    manifest.drives[i].file = "drive-" + std::to_string(i) + ".journal";
    auto drive = DriveJournal::create(dir + "/" + manifest.drives[i].file, journal->hostDurable_, error);
    if (!drive) return nullptr;
    journal->drives_.push_back(std::move(drive));
  }
  // The manifest goes in through a temporary file, so a journal is never half described.
  const std::string path = dir + "/" + kManifestName;
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << manifestText(manifest);
    out.close();
    if (!out) {
      error = "the journal manifest " + temporary + " cannot be written: " + std::strerror(errno);
      return nullptr;
    }
  }
  if (!syncPath(temporary, error)) return nullptr;
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    error = "the journal manifest " + path + " cannot be written: " + std::strerror(errno);
    return nullptr;
  }
  if (!syncPath(dir, error)) return nullptr;
  if (journal->hostDurable_) {
    Journal* self = journal.get();
    for (auto& drive : journal->drives_) drive->setWakeWriter([self] { self->wake(); });
    journal->writer_ = std::thread([self] { self->writerLoop(); });
  }
  return journal;
}

Journal::~Journal() {
  if (writer_.joinable()) {
    stop_.store(true);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      wakeup_.notify_one();
    }
    writer_.join();
  }
  for (auto& drive : drives_) drive->sync();  // what completed last goes in too
}

void Journal::wake() {
  if (!idle_.load(std::memory_order_seq_cst)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  wakeup_.notify_one();
}

void Journal::writerLoop() {
  auto pending = [this] {
    for (const auto& drive : drives_)
      if (drive->syncPending()) return true;
    return false;
  };
  while (!stop_.load()) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      idle_.store(true, std::memory_order_seq_cst);
      // A drive that finds the writer busy does not wake it; the writer looks again after each batch.
      wakeup_.wait_for(lock, std::chrono::milliseconds(100), [&] { return stop_.load() || pending(); });
      idle_.store(false, std::memory_order_seq_cst);
    }
    for (auto& drive : drives_)
      if (drive->syncPending()) drive->sync();
  }
}

}  // namespace varnox::journal
