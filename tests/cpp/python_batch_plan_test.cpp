// The batch-search arithmetic of the Python module and the processor count it
// caps workers with. Both headers are free of Python, so they are tested here.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "../../python/src/available_parallelism.hpp"
#include "../../python/src/batch_plan.hpp"

namespace dovadure::python {
namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kI64Max = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());

TEST(BatchOutputSize, ChecksRunInOrder) {
  EXPECT_EQ(check_batch_output_size(1, kI64Max + 1).error, BatchSizeError::ColumnCount);
  // Column count wins even when the shape would overflow too.
  EXPECT_EQ(check_batch_output_size(kU64Max, kU64Max).error, BatchSizeError::ColumnCount);
  EXPECT_EQ(check_batch_output_size(3, kI64Max).error, BatchSizeError::ShapeOverflow);
  EXPECT_EQ(check_batch_output_size(2, kI64Max).error, BatchSizeError::IdBytesOverflow);
  EXPECT_EQ(check_batch_output_size(1, uint64_t{1} << 61).error, BatchSizeError::IdBytesOverflow);
  EXPECT_EQ(check_batch_output_size(1, (uint64_t{1} << 61) - 1).error, BatchSizeError::PlatformLimit);
  EXPECT_EQ(check_batch_output_size(2, uint64_t{1} << 59).error, BatchSizeError::PlatformLimit);
  EXPECT_EQ(check_batch_output_size(1, (uint64_t{1} << 60) - 1).error, BatchSizeError::ByteLimit);
  // Zero rows pass every size check, whatever k is below the column limit.
  EXPECT_EQ(check_batch_output_size(0, kI64Max).error, BatchSizeError::None);
  EXPECT_EQ(check_batch_output_size(kU64Max, 0).error, BatchSizeError::None);
}

TEST(BatchOutputSize, ByteLimit) {
  // 2^30 is not a multiple of 12, so the closest products straddle it.
  const BatchSizeCheck below = check_batch_output_size(1, 89478485);
  EXPECT_EQ(below.error, BatchSizeError::None);
  EXPECT_EQ(below.bytes, 1073741820u);
  EXPECT_EQ(below.cells, 89478485u);
  EXPECT_EQ(check_batch_output_size(89478485, 1).error, BatchSizeError::None);
  const BatchSizeCheck over = check_batch_output_size(1, 89478486);
  EXPECT_EQ(over.error, BatchSizeError::ByteLimit);
  EXPECT_EQ(over.bytes, 1073741832u);
  EXPECT_EQ(batch_size_error_text(over), "batch output requires 1073741832 bytes; limit is 1073741824");
  EXPECT_EQ(check_batch_output_size(4, 22369622).error, BatchSizeError::ByteLimit);
}

TEST(BatchOutputSize, Texts) {
  EXPECT_EQ(batch_size_error_text(check_batch_output_size(1, kI64Max + 1)),
            "batch output column count exceeds NumPy's platform limit");
  EXPECT_EQ(batch_size_error_text(check_batch_output_size(3, kI64Max)),
            "batch output shape overflows usize");
  EXPECT_EQ(batch_size_error_text(check_batch_output_size(2, kI64Max)),
            "batch ID output size overflows usize");
  EXPECT_EQ(batch_size_error_text(check_batch_output_size(2, uint64_t{1} << 59)),
            "batch output exceeds NumPy's platform limit");
  EXPECT_EQ(batch_size_error_text(check_batch_output_size(2, 3)), "");
}

TEST(SearchWidths, ClampToThePointCount) {
  EXPECT_EQ(clamp_search_widths(20, 128, 5).k, 5u);
  EXPECT_EQ(clamp_search_widths(20, 128, 5).ef, 5u);
  EXPECT_EQ(clamp_search_widths(3, 1, 5).ef, 3u);
  EXPECT_EQ(clamp_search_widths(2, 4, 5).ef, 4u);
  EXPECT_EQ(clamp_search_widths(10, 0, 1000).ef, 10u);
  EXPECT_EQ(clamp_search_widths(10, 64, 1000).ef, 64u);
  EXPECT_EQ(clamp_search_widths(kU64Max, kU64Max, 7).ef, 7u);
  const SearchWidths empty = clamp_search_widths(10, 128, 0);
  EXPECT_EQ(empty.k, 0u);
  EXPECT_EQ(empty.ef, 0u);
}

TEST(BatchWorkers, CountIsCappedByProcessorsAndRows) {
  EXPECT_EQ(batch_worker_count(0, 100, 8), 1u);
  EXPECT_EQ(batch_worker_count(1, 100, 8), 1u);
  EXPECT_EQ(batch_worker_count(8, 3, 16), 3u);
  EXPECT_EQ(batch_worker_count(8, 100, 2), 2u);
  EXPECT_EQ(batch_worker_count(kU64Max, 100, 4), 4u);
  EXPECT_EQ(batch_worker_count(4, 100, 0), 1u);  // unknown processor count
}

// Threads claim every row exactly once, in order; a failure stops the rows
// above it, and a later failure does not lift an earlier one.
TEST(BatchWorkers, RowQueueHandsOutEveryRowOnceAndStopsAboveAFailure) {
  for (size_t rows : {size_t{0}, size_t{1}, size_t{7}, size_t{5000}}) {
    RowQueue queue(rows);
    std::vector<std::atomic<int>> taken(rows);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] {
        for (size_t row; (row = queue.claim()) != RowQueue::kNone;) taken[row].fetch_add(1);
      });
    }
    for (std::thread& t : threads) t.join();
    for (size_t row = 0; row < rows; ++row) EXPECT_EQ(taken[row].load(), 1) << row;
    EXPECT_EQ(queue.claim(), RowQueue::kNone);
  }

  RowQueue queue(10);
  for (size_t want = 0; want < 3; ++want) EXPECT_EQ(queue.claim(), want);
  queue.fail(1);
  queue.fail(8);  // a higher row must not lift the stop at row 1
  EXPECT_EQ(queue.claim(), RowQueue::kNone);
}

TEST(AvailableParallelism, CgroupV2CpuMax) {
  EXPECT_EQ(parse_cgroup2_cpu_max("max 100000\n"), std::nullopt);
  EXPECT_EQ(parse_cgroup2_cpu_max("150000 100000\n"), 1u);
  EXPECT_EQ(parse_cgroup2_cpu_max("200000 100000"), 2u);
  EXPECT_EQ(parse_cgroup2_cpu_max("50000 100000"), 1u);  // a fraction still gets one
  EXPECT_EQ(parse_cgroup2_cpu_max("garbage"), std::nullopt);
  EXPECT_EQ(parse_cgroup2_cpu_max("12x 100000"), std::nullopt);
  EXPECT_EQ(parse_cgroup2_cpu_max("100000 0"), std::nullopt);
  EXPECT_EQ(cpus_from_quota(-1, 100000), std::nullopt);  // v1: -1 means no quota
  EXPECT_EQ(cpus_from_quota(400000, 100000), 4u);
}

TEST(AvailableParallelism, ProcSelfCgroup) {
  const CgroupPaths v2 = parse_proc_self_cgroup("0::/user.slice/session-1.scope\n");
  EXPECT_EQ(v2.v2, "/user.slice/session-1.scope");
  EXPECT_FALSE(v2.v1_cpu.has_value());
  const CgroupPaths v1 = parse_proc_self_cgroup(
      "12:memory:/docker/abc\n4:cpu,cpuacct:/docker/abc\n2:cpuset:/docker/abc\n");
  EXPECT_EQ(v1.v1_cpu, "/docker/abc");
  EXPECT_FALSE(v1.v2.has_value());
  // "cpuset" is not "cpu".
  EXPECT_FALSE(parse_proc_self_cgroup("2:cpuset:/x\n").v1_cpu.has_value());
}

TEST(AvailableParallelism, Mountinfo) {
  const std::string text =
      "22 1 0:21 / /proc rw,nosuid - proc proc rw\n"
      "30 25 0:26 / /sys/fs/cgroup rw,nosuid shared:4 - cgroup2 cgroup2 rw,nsdelegate\n"
      "31 25 0:27 /docker /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n";
  const auto v2 = parse_cgroup_mount(text, true);
  ASSERT_TRUE(v2.has_value());
  EXPECT_EQ(v2->mount_point, "/sys/fs/cgroup");
  EXPECT_EQ(v2->root, "/");
  const auto v1 = parse_cgroup_mount(text, false);
  ASSERT_TRUE(v1.has_value());
  EXPECT_EQ(v1->mount_point, "/sys/fs/cgroup/cpu,cpuacct");
  EXPECT_EQ(v1->root, "/docker");
  EXPECT_FALSE(parse_cgroup_mount("bad line\n", true).has_value());
}

TEST(AvailableParallelism, DirectoriesUpToTheMount) {
  const auto dirs = cgroup_dirs(CgroupMount{"/", "/sys/fs/cgroup"}, "/a/b");
  ASSERT_EQ(dirs.size(), 3u);
  EXPECT_EQ(dirs[0], "/sys/fs/cgroup/a/b");
  EXPECT_EQ(dirs[1], "/sys/fs/cgroup/a");
  EXPECT_EQ(dirs[2], "/sys/fs/cgroup");
  const auto inner = cgroup_dirs(CgroupMount{"/docker", "/sys/fs/cgroup/cpu"}, "/docker/abc");
  ASSERT_EQ(inner.size(), 2u);
  EXPECT_EQ(inner[0], "/sys/fs/cgroup/cpu/abc");
  EXPECT_EQ(inner[1], "/sys/fs/cgroup/cpu");
  EXPECT_EQ(cgroup_dirs(CgroupMount{"/", "/m"}, "/").size(), 1u);
}

TEST(AvailableParallelism, NeverZeroAndWithinTheMachine) {
  const uint64_t p = available_processors();
  EXPECT_GE(p, 1u);
  EXPECT_LE(p, static_cast<uint64_t>(std::max(1L, sysconf(_SC_NPROCESSORS_CONF))));
}

}  // namespace
}  // namespace dovadure::python
