#include "blockdev/UringQueue.h"

#include <cerrno>
#include <cstring>

namespace varnox::blockdev {
namespace {
constexpr long long kWaitBoundNs = 100 * 1000 * 1000;  // 100 ms
}  // namespace

UringQueue::~UringQueue() {
  if (open_) io_uring_queue_exit(&ring_);
}

bool UringQueue::open(uint32_t entries, std::string& error) {
  // Completions are picked up when this thread next looks for them, instead of the kernel
  // interrupting it for each one (an interrupt per command on a file, whose writes run on a
  // kernel worker). Older kernels refuse the flags; they then get the plain ring.
  int status = io_uring_queue_init(entries, &ring_, IORING_SETUP_COOP_TASKRUN | IORING_SETUP_TASKRUN_FLAG);
  if (status == -EINVAL) status = io_uring_queue_init(entries, &ring_, 0);
  if (status < 0) {
    error = std::string("io_uring setup failed: ") + std::strerror(-status);
    return false;
  }
  open_ = true;
  return true;
}

io_uring_sqe* UringQueue::entry() {
  io_uring_sqe* sqe = io_uring_get_sqe(&ring_);
  if (!sqe) {
    // Entries not yet taken by the kernel: push them and try once more.
    submit();
    sqe = io_uring_get_sqe(&ring_);
  }
  return sqe;
}

void UringQueue::queued() {
  // A request once prepared is the kernel's to complete: a batch that cannot be submitted now
  // stays queued and goes with the next try, so its failure is not the request's.
  if (++unsubmitted_ >= kBatch) submit();
}

int UringQueue::submit() {
  if (unsubmitted_ == 0) return 0;
  int status;
  do {
    status = io_uring_submit(&ring_);
  } while (status == -EINTR);
  if (status < 0) return status;
  unsubmitted_ = 0;
  return 0;
}

template <typename Prepare>
int UringQueue::queue(uint64_t userData, Prepare prepare) {
  io_uring_sqe* sqe = entry();
  if (!sqe) return -EBUSY;
  prepare(sqe);
  io_uring_sqe_set_data64(sqe, userData);
  queued();
  return 0;
}

int UringQueue::read(int fd, void* buffer, uint32_t bytes, uint64_t offset, uint64_t userData) {
  return queue(userData, [&](io_uring_sqe* sqe) { io_uring_prep_read(sqe, fd, buffer, bytes, offset); });
}

int UringQueue::write(int fd, const void* buffer, uint32_t bytes, uint64_t offset, int rwFlags,
                      uint64_t userData) {
  return queue(userData, [&](io_uring_sqe* sqe) {
    io_uring_prep_write(sqe, fd, buffer, bytes, offset);
    sqe->rw_flags = rwFlags;
  });
}

int UringQueue::fdatasync(int fd, uint64_t userData) {
  return queue(userData, [&](io_uring_sqe* sqe) { io_uring_prep_fsync(sqe, fd, IORING_FSYNC_DATASYNC); });
}

int UringQueue::fallocate(int fd, int mode, uint64_t offset, uint64_t length, uint64_t userData) {
  return queue(userData, [&](io_uring_sqe* sqe) {
    io_uring_prep_fallocate(sqe, fd, mode, static_cast<off_t>(offset), static_cast<off_t>(length));
  });
}

int UringQueue::cancelAll(int fd, uint64_t userData) {
  const int status =
      queue(userData, [&](io_uring_sqe* sqe) { io_uring_prep_cancel_fd(sqe, fd, IORING_ASYNC_CANCEL_ALL); });
  return status < 0 ? status : submit();
}

bool UringQueue::next(bool wait, uint64_t& userData, int& result) {
  io_uring_cqe* cqe = nullptr;
  int status = io_uring_peek_cqe(&ring_, &cqe);
  if (status < 0 || !cqe) {
    // Nothing ready: what is queued must reach the kernel before anything can complete. A
    // failed submission leaves the requests queued for the next try.
    submit();
    // A wait is bounded, so that a device that never completes a command hands control back to
    // the drive thread, whose command timeout then ends the drive instead of waiting for ever.
    __kernel_timespec bound{0, kWaitBoundNs};
    do {
      status = wait ? io_uring_wait_cqe_timeout(&ring_, &cqe, &bound) : io_uring_peek_cqe(&ring_, &cqe);
    } while (status == -EINTR);
  }
  if (status < 0 || !cqe) return false;
  userData = io_uring_cqe_get_data64(cqe);
  result = cqe->res;
  io_uring_cqe_seen(&ring_, cqe);
  return true;
}

}  // namespace varnox::blockdev
