#pragma once
// A thin owner of one io_uring, completions by user data.
//
// Requests are queued and handed to the kernel in batches: when a batch is full, or when the
// caller looks for a completion and none is ready. Each system call costs more than a 4 KiB
// copy, and on a file the kernel wakes a worker thread for every call that carries writes, so
// one call per request was the larger part of a small command's cost. A caller that waits for
// completions always gets its requests submitted first, so nothing is held back indefinitely.
#include <liburing.h>

#include <cstdint>
#include <string>

namespace varnox::blockdev {

class UringQueue {
 public:
  UringQueue() = default;
  ~UringQueue();
  UringQueue(const UringQueue&) = delete;
  UringQueue& operator=(const UringQueue&) = delete;

  // False with `error` (strerror of the failure) when the ring cannot be set up.
  bool open(uint32_t entries, std::string& error);

  // Each queues one request; 0, or -EBUSY when the ring has no free entry.
  int read(int fd, void* buffer, uint32_t bytes, uint64_t offset, uint64_t userData);
  int write(int fd, const void* buffer, uint32_t bytes, uint64_t offset, int rwFlags, uint64_t userData);
  int fdatasync(int fd, uint64_t userData);
  int fallocate(int fd, int mode, uint64_t offset, uint64_t length, uint64_t userData);
  // Submits what is queued and asks the kernel to give up every request on `fd` it has not yet
  // started (one already at the device finishes as it will); the cancel itself completes with
  // `userData`. 0, or a negative errno when it cannot be queued or submitted.
  int cancelAll(int fd, uint64_t userData);

  // One completion: with `wait` blocks until one arrives, for 100 ms at most (a device that
  // hangs must not hold the drive thread past its command timeout). Submits the queued requests
  // first when no completion is ready. False when none is ready (or waiting failed); `result` is the
  // request's result (bytes, or a negative errno).
  bool next(bool wait, uint64_t& userData, int& result);

 private:
  static constexpr uint32_t kBatch = 16;

  io_uring_sqe* entry();
  // Takes an entry, lets `prepare` fill it, tags it with userData and counts it as queued.
  template <typename Prepare>
  int queue(uint64_t userData, Prepare prepare);
  void queued();  // counts a prepared request, submits when the batch is full
  int submit();

  io_uring ring_{};
  uint32_t unsubmitted_ = 0;
  bool open_ = false;
};

}  // namespace varnox::blockdev
