// The real tamber executable on a virtual X display: its window, engine, bridge, dialogs and
// quit sequence, seen from outside as a person (and a session manager) would.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "desktop/fake_http_server.h"
#include "desktop/gui/x_session.h"
#include "platform/unique_fd.h"
#include "support/temp_dir.h"

extern char** environ;

namespace tamber::testing {
namespace {

using namespace std::chrono_literals;

const std::string kTamber = std::string(TAMBER_BINARY_DIR) + "/tamber";
const std::string kEngine = std::string(TAMBER_BINARY_DIR) + "/larkspan";

bool exists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

int freePort() {
  UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// Where screenshots go: TAMBER_SHOTS_DIR when set (to keep them), else the test's folder.
std::string shotPath(const TempDir& temp, const std::string& name) {
  const char* keep = std::getenv("TAMBER_SHOTS_DIR");
  if (keep != nullptr && *keep != '\0') {
    std::filesystem::create_directories(keep);
    return std::string(keep) + "/" + name;
  }
  return temp / name;
}

// One run of the real tamber with extra environment variables.
class TamberProcess {
 public:
  TamberProcess(const std::string& home, const std::map<std::string, std::string>& settings) {
    std::map<std::string, std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string text = *entry;
      const size_t equals = text.find('=');
      environment[text.substr(0, equals)] =
          equals == std::string::npos ? "" : text.substr(equals + 1);
    }
    for (const char* name : {"TAMBER_DATA", "TAMBER_PORT", "TAMBER_FIXTURE_ROOT",
                             "TAMBER_NATIVE_PROOF", "TAMBER_PAGE_SNAPSHOT", "http_proxy"}) {
      environment.erase(name);
    }
    // A sanitizer build must not turn GTK's deliberate leaks at exit into a failed status.
    environment["ASAN_OPTIONS"] = "detect_leaks=0";
    // The engine indexes the home folder; an empty one keeps the run short and private.
    environment["HOME"] = home;
    environment.erase("XDG_DATA_HOME");
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
    std::string program = kTamber;
    char* argv[] = {program.data(), nullptr};
    if (::posix_spawn(&pid_, kTamber.c_str(), nullptr, nullptr, argv, envp.data()) != 0) {
      pid_ = -1;
    }
  }
  ~TamberProcess() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  TamberProcess(const TamberProcess&) = delete;
  TamberProcess& operator=(const TamberProcess&) = delete;

  bool running() const { return pid_ > 0 && !status_; }
  void signal(int number) const { ::kill(pid_, number); }

  // The exit status once it has ended within `limit`; nullopt while it still runs.
  std::optional<int> wait(std::chrono::milliseconds limit) {
    waitFor(
        [&] {
          int status = 0;
          if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
          }
          return status_.has_value();
        },
        limit);
    return status_;
  }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// The id of the engine server serving `dataDirectory`, found by its command line.
std::optional<int> engineServing(const std::string& dataDirectory) {
  std::optional<int> found;
  UniqueDir proc(::opendir("/proc"));
  while (dirent* entry = ::readdir(proc.get())) {
    const std::string pid = entry->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    std::string cmdline = readFile("/proc/" + pid + "/cmdline");
    std::vector<std::string> arguments;
    for (size_t start = 0; start < cmdline.size();) {
      const size_t end = cmdline.find('\0', start);
      arguments.push_back(cmdline.substr(start, end - start));
      start = end == std::string::npos ? cmdline.size() : end + 1;
    }
    if (arguments.size() >= 4 && arguments[0] == kEngine && arguments[1] == "--data" &&
        arguments[2] == dataDirectory && arguments[3] == "serve") {
      found = std::stoi(pid);
    }
  }
  return found;
}

bool processRunning(int pid) {
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  return !stat.empty() && close != std::string::npos && stat.substr(close + 2, 1) != "Z";
}

class DesktopWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!x_.usable()) {
      // CI runs these under xvfb-run; there a missing display is a failure, not a skip.
      if (std::getenv("TAMBER_REQUIRE_DISPLAY") != nullptr) {
        FAIL() << "no X display with the XTest extension (run under xvfb-run)";
      }
      GTEST_SKIP() << "no X display with the XTest extension (run under xvfb-run)";
    }
    if (!exists(kTamber)) {
      GTEST_SKIP() << "tamber is not built";
    }
  }

  // Waits up to `limit` for a window with one of `titles` and returns the title of the first
  // one seen, or "" when none showed up.
  std::string firstWindow(const std::vector<std::string>& titles, std::chrono::milliseconds limit) {
    std::string seen;
    waitFor(
        [&] {
          for (const auto& [id, name] : x_.windows()) {
            if (std::find(titles.begin(), titles.end(), name) != titles.end()) {
              seen = name;
            }
          }
          return !seen.empty();
        },
        limit);
    return seen;
  }

  XSession x_;
  TempDir temp_;
};

TEST_F(DesktopWindow, ShowsTheEnginePageAndQuitsCleanlyOnCtrlQ) {
  if (!exists(kEngine)) {
    GTEST_SKIP() << "larkspan is not built";
  }
  const std::string data = temp_ / "data";
  const std::string page = temp_ / "page.png";
  TamberProcess tamber(temp_.mkdir("home"), {{"TAMBER_DATA", data},
                                             {"TAMBER_PORT", std::to_string(freePort())},
                                             {"TAMBER_PAGE_SNAPSHOT", page}});
  ASSERT_TRUE(tamber.running());
  ASSERT_TRUE(waitFor([&] { return exists(page); }, 60s)) << "the engine page never loaded";
  EXPECT_GT(std::filesystem::file_size(page), 10000u);
  EXPECT_TRUE(x_.screenshot(shotPath(temp_, "window.png")));

  const std::optional<int> engine = engineServing(data);
  ASSERT_TRUE(engine) << "no engine was started for " << data;
  // Whatever happens below, no engine outlives the test.
  struct Reaper {
    std::string data;
    int pid;
    ~Reaper() {
      if (engineServing(data) == pid) {
        ::kill(pid, SIGKILL);
      }
    }
  } reaper{data, *engine};
  EXPECT_TRUE(exists(data + "/agent.sock"));
  EXPECT_TRUE(exists(data + "/desktop-engine.log"));

  const std::optional<Window> window = x_.window("Tamber");
  ASSERT_TRUE(window);
  x_.pressKey(*window, XK_q, true);
  EXPECT_EQ(tamber.wait(15s), 0);
  EXPECT_FALSE(exists(data + "/agent.sock"));
  EXPECT_TRUE(exists(data + "/native.lock"));
  EXPECT_TRUE(waitFor([&] { return !processRunning(*engine); }, 10s))
      << "the engine tamber started is still running";
}

TEST_F(DesktopWindow, UsesAServerAnsweringItsProductWithAnErrorStatusAndItsMainFrameOnly) {
  const char* page = R"(<!doctype html><title>Tamber</title>
<iframe src="/sub"></iframe>
<script>
  const tamber = window.webkit.messageHandlers.tamber;
  tamber.postMessage('grantOrdinary');
  tamber.postMessage({ action: 7 });
  tamber.postMessage({ action: 'GrantOrdinary' });
  setTimeout(() => tamber.postMessage({ action: 'manageGrants' }), 2500);
</script>)";
  const char* subframe = R"(<!doctype html><script>
  try { window.webkit.messageHandlers.tamber.postMessage({ action: 'grantOrdinary' }); }
  catch (error) {}
  try { window.webkit.messageHandlers.tamber.postMessage({ action: 'invite' }); }
  catch (error) {}
</script>)";
  FakeHttpServer engine([&](const std::string& path) {
    if (path == "/api/invite") {
      return httpReply(500, R"({"product":"Tamber"})");
    }
    return httpReply(200, path == "/sub" ? subframe : page, "text/html");
  });
  const std::string data = temp_ / "data";
  TamberProcess tamber(temp_.mkdir("home"),
                       {{"TAMBER_DATA", data}, {"TAMBER_PORT", std::to_string(engine.port())}});
  ASSERT_TRUE(tamber.running());
  // Each message that must open nothing would have opened its dialog before this one.
  EXPECT_EQ(firstWindow({"Agent permissions", "Select folders for ordinary agent access",
                         "Invite an agent", "Invitation unavailable"},
                        60s),
            "Agent permissions");
  EXPECT_TRUE(x_.screenshot(shotPath(temp_, "manage-dialog.png")));
  // The server that answered was used as it is: no engine of our own.
  EXPECT_FALSE(exists(data + "/desktop-engine.log"));
  const std::vector<std::string> paths = engine.paths();
  EXPECT_EQ(paths.front(), "/api/invite");
  EXPECT_NE(std::find(paths.begin(), paths.end(), "/sub"), paths.end());

  // The session ending quits as closing the window does, open dialog and all.
  tamber.signal(SIGTERM);
  EXPECT_EQ(tamber.wait(15s), 0);
  EXPECT_FALSE(exists(data + "/agent.sock"));
}

TEST_F(DesktopWindow, StartsItsOwnEngineWhenTheServerAtThePortIsNotOursAndGivesUp) {
  if (!exists(kEngine)) {
    GTEST_SKIP() << "larkspan is not built";
  }
  FakeHttpServer other([](const std::string&) { return httpReply(200, R"({"product":"Other"})"); });
  const std::string data = temp_ / "data";
  TamberProcess tamber(temp_.mkdir("home"),
                       {{"TAMBER_DATA", data}, {"TAMBER_PORT", std::to_string(other.port())}});
  ASSERT_TRUE(tamber.running());
  // 31 probes 0.3 s apart, and then the one message.
  EXPECT_EQ(firstWindow({"Engine unavailable"}, 60s), "Engine unavailable");
  EXPECT_TRUE(x_.screenshot(shotPath(temp_, "engine-unavailable.png")));
  EXPECT_TRUE(exists(data + "/desktop-engine.log"));  // our engine was started (and failed)
  const std::vector<std::string> paths = other.paths();
  EXPECT_EQ(paths.size(), 31u);
  EXPECT_EQ(std::count(paths.begin(), paths.end(), "/api/invite"), 31);
  tamber.signal(SIGINT);
  EXPECT_EQ(tamber.wait(15s), 0);
}

TEST_F(DesktopWindow, SecondCopyStopsAtTheLockAndLeavesTheFirstCopysSocket) {
  const std::string data = temp_.mkdir("data");
  UniqueFd lock(::open((data + "/native.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_EQ(::flock(lock.get(), LOCK_EX | LOCK_NB), 0);
  temp_.write("data/agent.sock", "the first copy's");
  TamberProcess tamber(temp_.mkdir("home"),
                       {{"TAMBER_DATA", data}, {"TAMBER_PORT", std::to_string(freePort())}});
  ASSERT_TRUE(tamber.running());
  EXPECT_EQ(firstWindow({"Tamber could not start"}, 60s), "Tamber could not start");
  EXPECT_TRUE(x_.screenshot(shotPath(temp_, "already-running.png")));
  tamber.signal(SIGTERM);
  EXPECT_EQ(tamber.wait(15s), 1);
  EXPECT_EQ(readFile(data + "/agent.sock"), "the first copy's");
}

}  // namespace
}  // namespace tamber::testing
