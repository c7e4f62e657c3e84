// `dovadure`: build, inspect and change segment files from the shell.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.hpp"

namespace {

constexpr const char* kHelp =
    "usage: dovadure COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  build OUT.snap    build a new segment from vector, id and payload files\n"
    "  info SEG.snap     show a snapshot's metadata, checksum state and log\n"
    "  list SEG.snap     print the ids of the live points\n"
    "  upsert SEG.snap   add points (or replace payloads) through the log\n"
    "  delete SEG.snap   delete points through the log\n"
    "  compact SEG.snap  fold the log into the snapshot and empty it\n"
    "\n"
    "'dovadure COMMAND --help' describes each command.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kHelp, stderr);
    return 2;
  }
  const std::string command = argv[1];
  if (command == "-h" || command == "--help" || command == "help") {
    std::fputs(kHelp, stdout);
    return 0;
  }
  std::vector<std::string> args(argv + 2, argv + argc);
  using Handler = int (*)(const std::vector<std::string>&);
  const struct {
    const char* name;
    Handler run;
  } commands[] = {
      {"build", dovadure::tools::run_build},   {"info", dovadure::tools::run_info},
      {"list", dovadure::tools::run_list},     {"upsert", dovadure::tools::run_upsert},
      {"delete", dovadure::tools::run_delete}, {"compact", dovadure::tools::run_compact},
  };
  for (const auto& c : commands) {
    if (command == c.name) return c.run(args);
  }
  std::fprintf(stderr, "dovadure: unknown command '%s'\nTry 'dovadure --help'.\n", command.c_str());
  return 2;
}
