// How many processors this process may actually keep busy: the CPUs in its
// affinity mask, further limited by a cgroup CPU quota (v2 "cpu.max" or v1
// "cpu.cfs_quota_us"/"cpu.cfs_period_us"). A container limited to 1.5 CPUs
// on a 64-core host gets 1, not 64; anything unreadable means "no limit from
// that source", and no source at all means 1.
//
// Header-only and free of Python, so that the parsers are testable alone.
#pragma once

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace dovadure::python {

// CPUs in the calling thread's affinity mask; nullopt when it cannot be read.
inline std::optional<uint64_t> affinity_cpu_count() {
  // Hosts with more than 1024 CPUs need a larger set than cpu_set_t.
  for (size_t cpus = 1024; cpus <= (size_t{1} << 20); cpus *= 4) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) return std::nullopt;
    const size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, set);
    const int rc = sched_getaffinity(0, bytes, set);
    if (rc == 0) {
      const int count = CPU_COUNT_S(bytes, set);
      CPU_FREE(set);
      if (count <= 0) return std::nullopt;
      return static_cast<uint64_t>(count);
    }
    CPU_FREE(set);
    if (errno != EINVAL) return std::nullopt;
  }
  return std::nullopt;
}

// CPUs granted by a quota of `quota` microseconds per `period`, rounded down
// but at least 1; nullopt for "no quota" (negative or zero period).
inline std::optional<uint64_t> cpus_from_quota(int64_t quota, int64_t period) {
  if (quota <= 0 || period <= 0) return std::nullopt;
  return std::max<uint64_t>(static_cast<uint64_t>(quota / period), 1);
}

// cgroup v2 "cpu.max": "max 100000" (no limit) or "150000 100000".
inline std::optional<uint64_t> parse_cgroup2_cpu_max(std::string_view text) {
  std::istringstream in{std::string(text)};
  std::string quota;
  std::string period;
  if (!(in >> quota >> period)) return std::nullopt;
  if (quota == "max") return std::nullopt;
  try {
    size_t used_q = 0;
    size_t used_p = 0;
    const long long q = std::stoll(quota, &used_q);
    const long long p = std::stoll(period, &used_p);
    if (used_q != quota.size() || used_p != period.size()) return std::nullopt;
    return cpus_from_quota(q, p);
  } catch (...) {
    return std::nullopt;
  }
}

inline std::optional<int64_t> parse_i64_line(std::string_view text) {
  std::istringstream in{std::string(text)};
  std::string word;
  if (!(in >> word)) return std::nullopt;
  try {
    size_t used = 0;
    const long long v = std::stoll(word, &used);
    if (used != word.size()) return std::nullopt;
    return v;
  } catch (...) {
    return std::nullopt;
  }
}

// The process's own cgroup paths from /proc/self/cgroup: the v2 path (line
// "0::/path") and the v1 path of the hierarchy carrying the "cpu" controller.
struct CgroupPaths {
  std::optional<std::string> v2;
  std::optional<std::string> v1_cpu;
};

inline bool comma_list_contains(std::string_view list, std::string_view item) {
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string_view::npos) end = list.size();
    if (list.substr(start, end - start) == item) return true;
    start = end + 1;
  }
  return false;
}

inline CgroupPaths parse_proc_self_cgroup(std::string_view text) {
  CgroupPaths paths;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string_view::npos) eol = text.size();
    const std::string_view line = text.substr(pos, eol - pos);
    pos = eol + 1;
    const size_t c1 = line.find(':');
    if (c1 == std::string_view::npos) continue;
    const size_t c2 = line.find(':', c1 + 1);
    if (c2 == std::string_view::npos) continue;
    const std::string_view id = line.substr(0, c1);
    const std::string_view controllers = line.substr(c1 + 1, c2 - c1 - 1);
    const std::string_view path = line.substr(c2 + 1);
    if (id == "0" && controllers.empty()) {
      paths.v2 = std::string(path);
    } else if (comma_list_contains(controllers, "cpu")) {
      paths.v1_cpu = std::string(path);
    }
  }
  return paths;
}

// A cgroup file system mount from /proc/self/mountinfo: where it is mounted
// and which directory of the hierarchy appears there.
struct CgroupMount {
  std::string root;
  std::string mount_point;
};

// Finds the cgroup2 mount (v2 = true) or the v1 mount carrying "cpu".
inline std::optional<CgroupMount> parse_cgroup_mount(std::string_view mountinfo, bool v2) {
  size_t pos = 0;
  while (pos < mountinfo.size()) {
    size_t eol = mountinfo.find('\n', pos);
    if (eol == std::string_view::npos) eol = mountinfo.size();
    const std::string line(mountinfo.substr(pos, eol - pos));
    pos = eol + 1;
    std::istringstream in(line);
    std::vector<std::string> fields{std::istream_iterator<std::string>(in),
                                    std::istream_iterator<std::string>()};
    // id parent major:minor root mount-point options [optional...] - fstype source super-options
    const auto dash = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 5 || dash == fields.end() || std::distance(dash, fields.end()) < 3) continue;
    const std::string& fstype = *(dash + 1);
    const std::string& super_options = *(dash + 3);
    const bool match = v2 ? fstype == "cgroup2"
                          : fstype == "cgroup" && comma_list_contains(super_options, "cpu");
    if (match) return CgroupMount{fields[3], fields[4]};
  }
  return std::nullopt;
}

inline std::optional<std::string> read_small_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text;
  char buf[4096];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    text.append(buf, static_cast<size_t>(in.gcount()));
    if (text.size() > (size_t{1} << 20)) return std::nullopt;
  }
  return text;
}

// The directories from the process's cgroup up to the mount point; a quota
// on any ancestor also limits the process.
inline std::vector<std::string> cgroup_dirs(const CgroupMount& mount, const std::string& path) {
  std::vector<std::string> dirs;
  std::string relative = path;
  if (mount.root != "/" && relative.compare(0, mount.root.size(), mount.root) == 0) {
    relative = relative.substr(mount.root.size());
  }
  while (!relative.empty() && relative.back() == '/') relative.pop_back();
  for (;;) {
    dirs.push_back(mount.mount_point + relative);
    const size_t slash = relative.rfind('/');
    if (slash == std::string::npos || relative.empty()) break;
    relative.resize(slash);
  }
  return dirs;
}

// The tightest quota along the process's cgroup hierarchy, in whole CPUs.
inline std::optional<uint64_t> cgroup_cpu_limit() {
  const auto self = read_small_file("/proc/self/cgroup");
  const auto mountinfo = read_small_file("/proc/self/mountinfo");
  if (!self || !mountinfo) return std::nullopt;
  const CgroupPaths paths = parse_proc_self_cgroup(*self);
  std::optional<uint64_t> limit;
  const auto tighten = [&](std::optional<uint64_t> v) {
    if (v) limit = limit ? std::min(*limit, *v) : *v;
  };
  if (paths.v2) {
    if (const auto mount = parse_cgroup_mount(*mountinfo, true)) {
      for (const std::string& dir : cgroup_dirs(*mount, *paths.v2)) {
        if (const auto text = read_small_file(dir + "/cpu.max")) tighten(parse_cgroup2_cpu_max(*text));
      }
    }
  }
  if (paths.v1_cpu) {
    if (const auto mount = parse_cgroup_mount(*mountinfo, false)) {
      for (const std::string& dir : cgroup_dirs(*mount, *paths.v1_cpu)) {
        const auto quota = read_small_file(dir + "/cpu.cfs_quota_us");
        const auto period = read_small_file(dir + "/cpu.cfs_period_us");
        if (!quota || !period) continue;
        const auto q = parse_i64_line(*quota);
        const auto p = parse_i64_line(*period);
        if (q && p) tighten(cpus_from_quota(*q, *p));
      }
    }
  }
  return limit;
}

// Processors available to the process; 1 when nothing can be determined.
// The quota is read once per process (it is set when the container starts);
// the affinity mask at every call, because a process may change its own.
inline uint64_t available_processors() {
  static std::once_flag once;
  static std::optional<uint64_t> quota;
  std::call_once(once, [] { quota = cgroup_cpu_limit(); });
  const std::optional<uint64_t> affinity = affinity_cpu_count();
  if (affinity && quota) return std::min(*affinity, *quota);
  if (affinity) return *affinity;
  if (quota) return *quota;
  return 1;
}

}  // namespace dovadure::python
