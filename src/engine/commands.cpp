#include "engine/commands.h"

#include <cstdlib>
#include <iostream>

#include "base/failure.h"
#include "base/home_folder.h"
#include "base/path.h"
#include "base/reply.h"
#include "engine/activity_commands.h"
#include "engine/data_directory.h"
#include "engine/inventory/inventory_commands.h"
#include "engine/invitation_guide.h"
#include "engine/mcp/agent_command.h"
#include "engine/mcp/mcp_command.h"

namespace tamber::engine {

namespace {

// The folder to index: --root, else the home folder. Empty (with a message) when neither.
std::string rootFolder(const CommandLine& line) {
  if (line.root) {
    return absolutePath(*line.root);
  }
  const char* variable = std::getenv("HOME");
  const std::string home =
      homeFolder(variable ? std::optional<std::string>(variable) : std::nullopt);
  if (home.empty()) {
    std::cerr << "larkspan: no home folder is known; name the folder with --root" << std::endl;
    return {};
  }
  return absolutePath(home);
}

// invite: prints the invitation's general part, or {"product", "text"} with --json.
int runInvite(const std::string& dataDir, bool json, const std::string& program) {
  const std::string text = invitationGuide(engineExecutable(program), dataDir);
  if (json) {
    std::cout << jsonData(Json{{"product", "Tamber"}, {"text", text}}) << std::endl;
  } else {
    std::cout << text << std::endl;
  }
  return std::cout ? 0 : 1;
}

}  // namespace

int runCommand(const CommandLine& line, const std::string& program) {
  const std::string dataDir = absolutePath(line.dataDir);
  if (line.command == "serve" || line.command == "index") {
    const std::string root = rootFolder(line);
    if (root.empty()) {
      return 1;
    }
    try {
      ensureDataDirectory(dataDir);
    } catch (const Failure& failure) {
      if (line.command == "index") {
        std::cerr << "larkspan: could not keep the index in " << dataDir << ": "
                  << failure.description() << std::endl;
        return 1;
      }
      // The page can still be served; only the kept index is lost.
      std::cerr << "larkspan: could not create " << dataDir << ": " << failure.description()
                << std::endl;
    }
    if (line.command == "index") {
      return runIndex(root, dataDir, line.json);
    }
    return runServe(root, dataDir, invitationGuide(engineExecutable(program), dataDir), line.port,
                    std::chrono::seconds(line.intervalSeconds));
  }
  if (line.command == "inventory") {
    return runInventory(
        dataDir, line.root ? std::optional<std::string>(absolutePath(*line.root)) : std::nullopt,
        line.folder, line.json);
  }
  if (line.command == "invite") {
    return runInvite(dataDir, line.json, program);
  }
  if (line.command == "mcp") {
    return runMcp(dataDir, line.readOnly);
  }
  if (line.command == "activity") {
    return runActivity(dataDir, line.grant, line.json);
  }
  if (line.command == "undo") {
    return runUndo(dataDir, line.change);
  }
  return runAgent(dataDir, line.request, line.json);
}

}  // namespace tamber::engine
