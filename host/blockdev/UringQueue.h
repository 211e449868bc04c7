#pragma once
// A thin owner of one io_uring: one submission per prepared entry, completions by user data.
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

  // Each queues one request and submits it at once; 0, or a negative errno.
  int read(int fd, void* buffer, uint32_t bytes, uint64_t offset, uint64_t userData);
  int write(int fd, const void* buffer, uint32_t bytes, uint64_t offset, int rwFlags, uint64_t userData);
  int fdatasync(int fd, uint64_t userData);

  // One completion: with `wait` blocks until one arrives. False when none is ready (or waiting
  // failed); `result` is the request's result (bytes, or a negative errno).
  bool next(bool wait, uint64_t& userData, int& result);

 private:
  io_uring_sqe* entry();
  int submit();

  io_uring ring_{};
  bool open_ = false;
};

}  // namespace varnox::blockdev
