#include "CliCommand.h"

#include <utility>

std::vector<CliCommand>& CliCommands() {
  static std::vector<CliCommand> commands;
  return commands;
}

CliCommandRegistrar::CliCommandRegistrar(CliCommand command) { CliCommands().push_back(std::move(command)); }
