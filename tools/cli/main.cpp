#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "CliCommand.h"

namespace {

void PrintOverview(std::FILE* out) {
  std::fprintf(out,
               "paramdeck-cli - the ParamDeck core from a terminal\n"
               "\n"
               "Usage: paramdeck-cli COMMAND [OPTIONS] [ARGUMENTS]\n"
               "       paramdeck-cli COMMAND --help\n"
               "\n"
               "Commands:\n");
  std::vector<CliCommand> commands = CliCommands();
  std::sort(commands.begin(), commands.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  for (const auto& c : commands) std::fprintf(out, "  %-10s %s\n", c.name.c_str(), c.summary.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    PrintOverview(stderr);
    return 2;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    PrintOverview(stdout);
    for (const auto& c : CliCommands()) std::printf("\n%s", c.help.c_str());
    return 0;
  }
  for (const auto& c : CliCommands()) {
    if (c.name != args[0]) continue;
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (std::find(rest.begin(), rest.end(), "--help") != rest.end()) {
      std::printf("%s", c.help.c_str());
      return 0;
    }
    return c.run(rest);
  }
  std::fprintf(stderr, "paramdeck-cli: unknown command '%s' (see paramdeck-cli --help)\n", args[0].c_str());
  return 2;
}
