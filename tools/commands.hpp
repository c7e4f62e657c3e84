// The subcommands of the `dovadure` tool. Each takes the arguments after its
// own name and returns the process exit code: 0 success, 1 failure, 2 usage.
#pragma once

#include <string>
#include <vector>

namespace dovadure::tools {

int run_build(const std::vector<std::string>& args);
int run_info(const std::vector<std::string>& args);
int run_list(const std::vector<std::string>& args);
int run_upsert(const std::vector<std::string>& args);
int run_delete(const std::vector<std::string>& args);
int run_compact(const std::vector<std::string>& args);

}  // namespace dovadure::tools
