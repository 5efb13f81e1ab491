#include "desktop/settings.h"

#include "base/home_folder.h"

#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace tamber::desktop {

Environment processEnvironment() {
  return [](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    if (value == nullptr) {
      return std::nullopt;
    }
    return std::string(value);
  };
}

int parseEnginePort(const std::optional<std::string>& text) {
  if (!text) {
    return kDefaultEnginePort;
  }
  std::string_view digits = *text;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty()) {
    return kDefaultEnginePort;
  }
  for (char c : digits) {
    if (c < '0' || c > '9') {
      return kDefaultEnginePort;
    }
  }
  // Parse the magnitude unsigned so that the most negative 64-bit value still fits.
  std::uint64_t magnitude = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  if (error != std::errc() || end != digits.data() + digits.size()) {
    return kDefaultEnginePort;
  }
  const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
  if (magnitude > limit) {
    return kDefaultEnginePort;
  }
  // A value that parses but names no TCP port would reach the engine's command line and the
  // page's address unchanged and break both; the default port is the one that can work.
  if (negative || magnitude < 1 || magnitude > 65535) {
    return kDefaultEnginePort;
  }
  return static_cast<int>(magnitude);
}

int enginePort(const Environment& environment) {
  return parseEnginePort(environment("TAMBER_PORT"));
}

std::string homeDirectory(const Environment& environment) {
  return homeFolder(environment("HOME"));
}

std::string dataDirectory(const Environment& environment, const std::string& home) {
  if (auto data = environment("TAMBER_DATA")) {
    return *data;
  }
  // Relative values of XDG_DATA_HOME are invalid by the base-directory rules and ignored.
  if (auto xdg = environment("XDG_DATA_HOME"); xdg && xdg->starts_with('/')) {
    return *xdg + "/larkspan";
  }
  return home + "/.local/share/larkspan";
}

std::optional<std::string> fixtureRoot(const Environment& environment) {
  return environment("TAMBER_FIXTURE_ROOT");
}

std::string baseAddress(int port) {
  return "http://127.0.0.1:" + std::to_string(port);
}

std::string probeAddress(int port) {
  return baseAddress(port) + "/api/invite";
}

std::string enginePathBeside(std::string_view ownExecutable) {
  const size_t slash = ownExecutable.rfind('/');
  if (slash == std::string_view::npos) {
    return {};
  }
  return std::string(ownExecutable.substr(0, slash + 1)) + "larkspan";
}

std::vector<std::string> engineServeArguments(const std::string& dataDirectory,
                                              const std::optional<std::string>& fixtureRoot,
                                              int port) {
  std::vector<std::string> arguments{"--data", dataDirectory};
  if (fixtureRoot) {
    arguments.push_back("--root");
    arguments.push_back(*fixtureRoot);
  }
  for (const char* argument : {"serve", "--port"}) {
    arguments.emplace_back(argument);
  }
  arguments.push_back(std::to_string(port));
  arguments.emplace_back("--interval");
  arguments.emplace_back("21600");
  return arguments;
}

std::vector<std::string> engineInviteArguments(const std::string& dataDirectory) {
  return {"--data", dataDirectory, "invite", "--json"};
}

}  // namespace tamber::desktop
