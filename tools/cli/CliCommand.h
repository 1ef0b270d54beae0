#pragma once

#include <functional>
#include <string>
#include <vector>

// Each sub-command of paramdeck-cli registers itself from its own source file, so that
// subsystems add commands without touching the dispatcher.
struct CliCommand {
  std::string name;
  std::string summary;  // one line for the overview
  std::string help;     // full text for `paramdeck-cli NAME --help`
  // Receives the arguments after the command name; returns the process exit code.
  std::function<int(const std::vector<std::string>& args)> run;
};

std::vector<CliCommand>& CliCommands();

struct CliCommandRegistrar {
  explicit CliCommandRegistrar(CliCommand command);
};
