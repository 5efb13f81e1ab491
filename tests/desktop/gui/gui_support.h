#pragma once

// What the GUI tests share: the built executables, a free loopback port, and runs of the real
// tamber with a controlled environment.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"
#include "support/temp_dir.h"

extern char** environ;

namespace tamber::testing {

inline const std::string kTamber = std::string(TAMBER_BINARY_DIR) + "/tamber";
inline const std::string kEngine = std::string(TAMBER_BINARY_DIR) + "/larkspan";

inline bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// Where screenshots go: TAMBER_SHOTS_DIR when set (to keep them), else the test's folder.
inline std::string shotPath(const TempDir& temp, const std::string& name) {
  const char* keep = std::getenv("TAMBER_SHOTS_DIR");
  if (keep != nullptr && *keep != '\0') {
    std::filesystem::create_directories(keep);
    return std::string(keep) + "/" + name;
  }
  return temp / name;
}

inline int freePort() {
  UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// One run of the real tamber (or `executable`) with this process's environment less every
// TAMBER_ setting, plus `settings`. Standard error goes to `errorPath` when it is not empty.
// Killed and reaped on destruction if it is still running.
class TamberRun {
 public:
  explicit TamberRun(const std::map<std::string, std::string>& settings,
                     const std::string& errorPath = "", const std::string& executable = kTamber) {
    std::map<std::string, std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string text = *entry;
      const size_t equals = text.find('=');
      environment[text.substr(0, equals)] =
          equals == std::string::npos ? "" : text.substr(equals + 1);
    }
    for (const char* name :
         {"TAMBER_DATA", "TAMBER_PORT", "TAMBER_FIXTURE_ROOT", "TAMBER_NATIVE_PROOF",
          "TAMBER_PAGE_SNAPSHOT", "TAMBER_GRANT", "XDG_DATA_HOME", "http_proxy"}) {
      environment.erase(name);
    }
    // A sanitizer build must not turn GTK's deliberate leaks at exit into a failed status.
    environment["ASAN_OPTIONS"] = "detect_leaks=0";
    for (const auto& [name, value] : settings) {
      environment[name] = value;
    }
    std::vector<std::string> entries;
    for (const auto& [name, value] : environment) {
      entries.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (std::string& entry : entries) {
      envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    if (!errorPath.empty()) {
      ::posix_spawn_file_actions_addopen(&actions, 2, errorPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    std::string program = executable;
    char* argv[] = {program.data(), nullptr};
    started_ = std::chrono::steady_clock::now();
    if (::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data()) != 0) {
      pid_ = -1;
    }
    ::posix_spawn_file_actions_destroy(&actions);
  }
  ~TamberRun() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  TamberRun(const TamberRun&) = delete;
  TamberRun& operator=(const TamberRun&) = delete;

  bool running() const { return pid_ > 0 && !status_; }
  void signal(int number) const { ::kill(pid_, number); }

  // The exit status once it has ended within `limit`; nullopt while it still runs.
  std::optional<int> wait(std::chrono::milliseconds limit) {
    waitFor(
        [&] {
          int status = 0;
          if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            ended_ = std::chrono::steady_clock::now();
          }
          return status_.has_value();
        },
        limit);
    return status_;
  }

  std::chrono::milliseconds lifetime() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(ended_ - started_);
  }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::chrono::steady_clock::time_point started_, ended_;
};

// Engines still serving `dataDirectory`, found by their command line; zombies excluded.
inline std::vector<int> enginesServing(const std::string& dataDirectory) {
  std::vector<int> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string pid = entry.path().filename();
    if (pid.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    const std::string cmdline = readFile("/proc/" + pid + "/cmdline");
    const std::string stat = readFile("/proc/" + pid + "/stat");
    const size_t close = stat.rfind(')');
    const bool zombie = close == std::string::npos || stat.substr(close + 2, 1) == "Z";
    if (!zombie && cmdline.starts_with(kEngine + '\0' + "--data" + '\0' + dataDirectory + '\0')) {
      found.push_back(std::stoi(pid));
    }
  }
  return found;
}

}  // namespace tamber::testing
