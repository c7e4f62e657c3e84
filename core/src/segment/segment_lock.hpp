// Exclusive advisory lock of a segment for writers.
//
// A writer holds it from before loading until its last append, so that two
// writers never interleave appends to one log and never act on a state the
// other has already changed. Readers take no lock: they only read files that
// are replaced atomically or appended to.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "utils/errors.hpp"

namespace dovadure::segment {

class SegmentLock {
 public:
  // Locks the sibling file of `snapshot_path` with extension "lock" (created
  // when missing; it stays on disk, which is harmless). Waits up to `wait`
  // for another writer to finish; then fails with an Io error naming the
  // segment. A zero wait tries once.
  static utils::Result<std::unique_ptr<SegmentLock>> acquire(const std::string& snapshot_path,
                                                             std::chrono::milliseconds wait);
  ~SegmentLock();
  SegmentLock(const SegmentLock&) = delete;
  SegmentLock& operator=(const SegmentLock&) = delete;

  const std::string& path() const { return path_; }

 private:
  SegmentLock(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  int fd_;
  std::string path_;
};

}  // namespace dovadure::segment
