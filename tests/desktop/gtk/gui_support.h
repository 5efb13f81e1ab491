#pragma once

// What the GUI tests share: runs of the real tamber with a controlled environment, the
// engines it started, and where screenshots go.
#include <fcntl.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/unique_fd.h"
#include "support/network.h"
#include "support/runs.h"
#include "support/temp_dir.h"
#include "support/waiting.h"

namespace tamber::testing {

inline const std::string kTamber = tamberBinary();
inline const std::string kEngine = larkspanBinary();

// Where screenshots go: TAMBER_SHOTS_DIR when set (to keep them), else the test's folder.
inline std::string shotPath(const TempDir& temp, const std::string& name) {
  const char* keep = std::getenv("TAMBER_SHOTS_DIR");
  if (keep != nullptr && *keep != '\0') {
    std::filesystem::create_directories(keep);
    return std::string(keep) + "/" + name;
  }
  return temp / name;
}

// One run of the real tamber (or `executable`) with this process's environment less every
// TAMBER_ setting, plus `settings`. Standard error goes to `errorPath` when it is not empty.
// Killed and reaped on destruction if it is still running.
class TamberRun {
 public:
  explicit TamberRun(const std::map<std::string, std::string>& settings,
                     const std::string& errorPath = "", const std::string& executable = kTamber)
      : errors_(errorPath.empty()
                    ? UniqueFd()
                    : UniqueFd(::open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                                      0600))),
        started_(std::chrono::steady_clock::now()),
        child_({executable},
               {environment(settings), ChildStream::toNullDevice(), ChildStream::inherit(),
                errors_ ? ChildStream::to(errors_.get()) : ChildStream::inherit()}) {}
  ~TamberRun() {
    if (child_.running()) {
      child_.signal(SIGKILL);
      child_.wait();
    }
  }
  TamberRun(const TamberRun&) = delete;
  TamberRun& operator=(const TamberRun&) = delete;

  bool running() { return child_.running(); }
  void signal(int number) { child_.signal(number); }

  // The exit status once it has ended within `limit`; nullopt while it still runs.
  std::optional<int> wait(std::chrono::milliseconds limit) {
    const std::optional<int> status = child_.wait(limit);
    if (status && !ended_) {
      ended_ = std::chrono::steady_clock::now();
    }
    return status;
  }

  std::chrono::milliseconds lifetime() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(ended_.value_or(started_) -
                                                                 started_);
  }

 private:
  static EnvironmentChanges environment(const std::map<std::string, std::string>& settings) {
    EnvironmentChanges changes;
    for (const char* name :
         {"TAMBER_DATA", "TAMBER_PORT", "TAMBER_FIXTURE_ROOT", "TAMBER_NATIVE_PROOF",
          "TAMBER_PAGE_SNAPSHOT", "TAMBER_GRANT", "XDG_DATA_HOME", "http_proxy"}) {
      changes.emplace_back(name, std::nullopt);
    }
    // A sanitizer build must not turn GTK's deliberate leaks at exit into a failed status.
    changes.emplace_back("ASAN_OPTIONS", "detect_leaks=0");
    for (const auto& [name, value] : settings) {
      changes.emplace_back(name, value);
    }
    return changes;
  }

  UniqueFd errors_;
  std::chrono::steady_clock::time_point started_;
  std::optional<std::chrono::steady_clock::time_point> ended_;
  ChildProcess child_;
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
