#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tamber::desktop {

// Looks up one environment variable; nullopt when it is absent (an empty value is present).
// The desktop reads its settings through this so that tests can pass their own values.
using Environment = std::function<std::optional<std::string>(const char* name)>;

// The process's own environment, read afresh on every lookup.
Environment processEnvironment();

inline constexpr int kDefaultEnginePort = 43127;

// The engine's TCP port from the text of TAMBER_PORT: an optional single "+" or "-", then one
// or more ASCII digits and nothing else. Absent, empty or malformed text, a value beyond the
// 64-bit range, and a value that is no TCP port (outside 1..65535) all give 43127, so the
// port always forms a valid address.
int parseEnginePort(const std::optional<std::string>& text);

// parseEnginePort of TAMBER_PORT.
int enginePort(const Environment& environment);

// The user's home folder (homeFolder of HOME).
std::string homeDirectory(const Environment& environment);

// The private data directory: TAMBER_DATA exactly as given (a relative path stays relative
// to the working directory); otherwise "larkspan" inside XDG_DATA_HOME, which defaults to
// `home`/.local/share when it is unset, empty or not absolute.
std::string dataDirectory(const Environment& environment, const std::string& home);

// TAMBER_FIXTURE_ROOT when present (an empty value counts: fixture mode is on).
std::optional<std::string> fixtureRoot(const Environment& environment);

// "http://127.0.0.1:" and the port: the only address the window shows.
std::string baseAddress(int port);

// The identity probe's address: the base address with "/api/invite".
std::string probeAddress(int port);

// The engine executable `larkspan` in the same directory as `ownExecutable`; empty when
// `ownExecutable` is not a path with a directory (the engine is never looked up in PATH).
std::string enginePathBeside(std::string_view ownExecutable);

// The engine's arguments (without the program itself) for serving the page:
// "--data" DIR ["--root" ROOT] "serve" "--port" P "--interval" "21600".
std::vector<std::string> engineServeArguments(const std::string& dataDirectory,
                                              const std::optional<std::string>& fixtureRoot,
                                              int port);

// The engine's arguments for one invitation: "--data" DIR "invite" "--json".
std::vector<std::string> engineInviteArguments(const std::string& dataDirectory);

}  // namespace tamber::desktop
