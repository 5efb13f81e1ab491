#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tamber::engine {

// What one run of larkspan was asked to do. Every run names its data directory; the other
// fields belong to the command that uses them.
struct CommandLine {
  std::string dataDir;              // as given; "--data"
  std::optional<std::string> root;  // "--root"; the user's home folder when absent
  bool json = false;                // "--json": machine-readable output
  std::string command;              // "serve", "index", "inventory", "invite", "agent" or "mcp"
  int port = 0;                     // serve: 1..65535
  int intervalSeconds = 0;          // serve: seconds between index runs, at least 1
  std::string request;              // agent: the request as one JSON text, unparsed
  bool readOnly = false;            // mcp: "--read-only", only the tools that change nothing
  std::string folder;               // inventory: "--path", a folder of the index; "" for all

  // The activity journal's commands, "activity" and "undo":
  std::optional<std::string> grant;  // activity: "--grant", only this grant's activity
  std::int64_t change = 0;           // undo: the change to undo, 1 or more
};

// A command line that cannot be run; its text says what is wrong, for standard error.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses the arguments after the program name. "--data", "--root" and "--json" may stand
// before or after the command; the command's own options follow it. Throws UsageError for
// a missing "--data", an unknown command or option, a missing or malformed value.
CommandLine parseCommandLine(const std::vector<std::string>& arguments);

// The help text printed for "--help" and after a usage error.
const char* usageText();

}  // namespace tamber::engine
