#include "engine/command_line.h"

#include <charconv>
#include <limits>

namespace tamber::engine {

namespace {

int parseNumber(const std::string& text, const std::string& option, int lowest, int highest) {
  int value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end || value < lowest || value > highest) {
    throw UsageError(option + " needs a whole number from " + std::to_string(lowest) + " to " +
                     std::to_string(highest) + ", not \"" + text + "\"");
  }
  return value;
}

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine line;
  bool hasData = false;
  bool hasPort = false;
  bool hasInterval = false;
  bool hasFolder = false;
  std::vector<std::string> positional;

  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= arguments.size()) {
        throw UsageError(argument + " needs a value");
      }
      return arguments[++i];
    };
    if (argument == "--data") {
      line.dataDir = value();
      hasData = true;
    } else if (argument == "--root") {
      line.root = value();
    } else if (argument == "--json") {
      line.json = true;
    } else if (argument == "--port") {
      line.port = parseNumber(value(), argument, 1, 65535);
      hasPort = true;
    } else if (argument == "--read-only") {
      line.readOnly = true;
    } else if (argument == "--interval") {
      line.intervalSeconds = parseNumber(value(), argument, 1, 365 * 24 * 3600);
      hasInterval = true;
    } else if (argument == "--path") {
      line.folder = value();
      hasFolder = true;
    } else if (argument == "--grant") {
      line.grant = value();
    } else if (argument.size() > 1 && argument[0] == '-' && positional.size() < 2) {
      // An agent request is JSON and never starts with "-"; anything else that does is an
      // option we do not know.
      throw UsageError("unknown option " + argument);
    } else {
      positional.push_back(argument);
    }
  }

  if (positional.empty()) {
    throw UsageError("no command given");
  }
  line.command = positional[0];
  const size_t operands = positional.size() - 1;
  if (line.command == "agent") {
    if (operands != 1) {
      throw UsageError("agent needs exactly one request, a JSON object");
    }
    line.request = positional[1];
  } else if (line.command == "undo") {
    if (operands != 1) {
      throw UsageError("undo needs exactly one change id");
    }
    // Ids are the journal's row numbers: 1 and up.
    line.change = parseNumber(positional[1], "undo", 1, std::numeric_limits<int>::max());
  } else if (line.command == "serve" || line.command == "index" || line.command == "inventory" ||
             line.command == "invite" || line.command == "mcp" || line.command == "activity") {
    if (operands != 0) {
      throw UsageError("unexpected argument \"" + positional[1] + "\"");
    }
  } else {
    throw UsageError("unknown command \"" + line.command + "\"");
  }
  if (line.command == "serve" && !(hasPort && hasInterval)) {
    throw UsageError("serve needs --port and --interval");
  }
  if (line.command != "serve" && (hasPort || hasInterval)) {
    throw UsageError("--port and --interval belong to serve");
  }
  if (line.readOnly && line.command != "mcp") {
    throw UsageError("--read-only belongs to mcp");
  }
  if (line.command != "inventory" && hasFolder) {
    throw UsageError("--path belongs to inventory");
  }
  if (line.command != "activity" && line.grant) {
    throw UsageError("--grant belongs to activity");
  }
  if (!hasData || line.dataDir.empty()) {
    throw UsageError("--data DIR is required");
  }
  return line;
}

const char* usageText() {
  return "Usage: larkspan --data DIR [--root FOLDER] [--json] COMMAND\n"
         "       larkspan --help | --version\n"
         "\n"
         "Commands:\n"
         "  serve --port PORT --interval SECONDS\n"
         "        Serve the inventory page on http://127.0.0.1:PORT until terminated, indexing\n"
         "        FOLDER (default: your home folder) now and every SECONDS.\n"
         "  index       Index FOLDER once, keep the result in DIR and print it.\n"
         "  inventory [--path FOLDER]\n"
         "        Print one folder of the index kept in DIR: its space on disk, its subfolders\n"
         "        and its largest files. --path takes a folder below the indexed one, absolute\n"
         "        or relative to it; without it, the indexed folder itself. A name that is not\n"
         "        UTF-8 is written as the reports write it: each byte that is not as U+FFFD and\n"
         "        two hexadecimal digits (or pass the name's own bytes).\n"
         "  invite      Print the invitation text for an AI agent.\n"
         "  agent REQUEST\n"
         "        Send one JSON request to the Tamber broker at DIR/agent.sock with the grant\n"
         "        token from TAMBER_GRANT, and print its reply. REQUEST \"-\" reads the request\n"
         "        from standard input, where other local users cannot see it.\n"
         "  mcp [--read-only]\n"
         "        Serve the broker's actions and the inventory as Model Context Protocol tools\n"
         "        on standard input and output, for agent harnesses; TAMBER_GRANT is read at\n"
         "        each call. --read-only offers only stat, list, read and inventory.\n"
         "  activity [--grant ID]\n"
         "        Print what agents did through the Tamber broker, from the activity journal in\n"
         "        DIR: each grant with its folders, mode and time, and each change with its id.\n"
         "  undo CHANGE_ID\n"
         "        Undo one change an agent made under an ordinary grant, if what it left is\n"
         "        unchanged: a replaced file gets its previous content back, a created file or\n"
         "        folder goes to the Trash, a moved file back to its old name.\n"
         "\n"
         "Exit status: 0 done (for agent: the broker replied, even with a refusal), 1 failed,\n"
         "2 wrong command line or request.\n";
}

}  // namespace tamber::engine
