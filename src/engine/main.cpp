// larkspan: the storage-inventory engine behind Tamber's window. It serves the inventory
// page, writes the general part of agent invitations, and is the command line through which
// agents reach the broker.
#include <algorithm>
#include <clocale>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "engine/command_line.h"
#include "engine/commands.h"
#include "engine/json_outcome.h"

int main(int argc, char** argv) {
  using namespace tamber::engine;
  // Times are shown as the user's locale writes them, as in the desktop's dialogs.
  std::setlocale(LC_TIME, "");
  const std::string program = argc > 0 ? argv[0] : "larkspan";
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  for (const std::string& argument : arguments) {
    if (argument == "--help" || argument == "-h") {
      std::cout << usageText();
      return 0;
    }
    if (argument == "--version") {
      std::cout << "larkspan " TAMBER_VERSION "\n";
      return 0;
    }
  }

  // Asked for JSON, a run prints one object whatever happens, a wrong command line included.
  JsonOutcome outcome(std::find(arguments.begin(), arguments.end(), "--json") != arguments.end());
  CommandLine line;
  try {
    line = parseCommandLine(arguments);
  } catch (const UsageError& error) {
    std::cerr << "larkspan: " << error.what() << "\n\n" << usageText();
    return outcome.finish(2);
  }
  if (line.command == "serve" || line.command == "mcp") {
    outcome.release();
  }

  try {
    return outcome.finish(runCommand(line, program));
  } catch (const std::exception& error) {
    std::cerr << "larkspan: " << error.what() << std::endl;
    return outcome.finish(1);
  }
}
