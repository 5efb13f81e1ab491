// larkspan: the storage-inventory engine behind Tamber's window. It serves the inventory
// page, writes the general part of agent invitations, and is the command line through which
// agents reach the broker.
#include <clocale>
#include <iostream>
#include <string>
#include <vector>

#include "engine/commands.h"

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

  return runLarkspan(arguments, program);
}
