#include "segment/segment_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "utils/atomic_file.hpp"

namespace dovadure::segment {

utils::Result<std::unique_ptr<SegmentLock>> SegmentLock::acquire(const std::string& snapshot_path,
                                                                 std::chrono::milliseconds wait) {
  std::string path = utils::sibling_path(snapshot_path, "lock");
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return utils::DBError::io_errno(errno);

  // Polling rather than a blocking flock keeps the wait bounded without signals.
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) break;
    int err = errno;
    if (err == EINTR) continue;
    if (err != EWOULDBLOCK) {
      ::close(fd);
      return utils::DBError::io_errno(err);
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      ::close(fd);
      return utils::DBError::io("segment " + snapshot_path +
                                " is locked by another writer (lock file " + path + ")");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return std::unique_ptr<SegmentLock>(new SegmentLock(fd, std::move(path)));
}

SegmentLock::~SegmentLock() {
  // Closing the descriptor releases the flock.
  ::close(fd_);
}

}  // namespace dovadure::segment
