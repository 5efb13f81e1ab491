#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tamber::desktop {

// The identity probe's verdict on a reply body: our engine answers with a JSON object whose
// "product" is the string "Tamber". The HTTP status is never looked at, so an engine that
// answers with an error status but the right product still counts; a missing body, text that
// is not JSON, or any other product does not.
bool isEngineIdentity(const std::optional<std::string_view>& body);

inline constexpr std::chrono::milliseconds kProbeTimeout{2000};
inline constexpr std::chrono::milliseconds kProbeRetryDelay{300};
inline constexpr int kLastProbeAttempt = 30;

inline constexpr const char* kEngineUnavailableTitle = "Engine unavailable";
inline constexpr const char* kEngineUnreachableText =
    "Could not connect to the bundled local engine. No browser or public server was opened.";

// The chain that connects the window to the engine: one identity probe per attempt, the
// engine started only after the very first probe failed, a retry every 0.3 s after each
// failed probe up to attempt 30, and the page loaded on the first success. Nothing in it
// ever opens a browser. Runs entirely on the UI thread.
class EngineConnection {
 public:
  // What the chain needs from the desktop. Every call comes on the UI thread.
  class Host {
   public:
    virtual ~Host() = default;
    // Sends one identity probe and calls `done` later, on the UI thread, with the verdict.
    virtual void probe(std::function<void(bool identified)> done) = 0;
    // Starts the engine server; throws a std::exception whose what() is the reason.
    virtual void startEngine() = 0;
    // Loads the engine's page into the window.
    virtual void loadPage() = 0;
    // Shows a message box with one "OK" button and returns when it is closed.
    virtual void alert(const std::string& title, const std::string& text) = 0;
    // Runs `work` on the UI thread once `delay` has passed.
    virtual void after(std::chrono::milliseconds delay, std::function<void()> work) = 0;
  };

  // `host` must outlive the connection and every callback it schedules.
  explicit EngineConnection(Host& host) : host_(host) {}

  // One probe for `attempt` (0 starts the chain) and whatever follows from its verdict.
  void connect(int attempt = 0);

 private:
  void probed(int attempt, bool identified);

  Host& host_;
};

}  // namespace tamber::desktop
