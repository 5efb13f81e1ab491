// The elevated path with its real parts: the agent broker, the real pkexec, polkitd on a system
// bus, the polkit action Tamber installs, and the built tamber as the root helper.
//
// The test process first moves into a mount namespace of its own, where a tmpfs hides /run/dbus
// and polkitd's actions and rules folders are replaced: the bus and polkitd started here, with
// Tamber's action and a rule for the test's person, exist only for this process and its
// children, never touch the machine's own bus, and go away with the namespace.
#include <fcntl.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/agent_client.h"
#include "agent/agent_server.h"
#include "agent/elevated.h"
#include "agent/elevated_fixture.h"
#include "agent/helper_mode.h"
#include "base/reply.h"
#include "platform/elevation.h"
#include "platform/process.h"
#include "platform/unique_fd.h"
#include "support/runs.h"
#include "support/temp_dir.h"
#include "support/waiting.h"

namespace tamber {
namespace {

using namespace std::chrono_literals;
using testing::failureOf;
using testing::launchFailure;
using testing::readFile;
using testing::TempDir;
using testing::waitFor;

constexpr const char* kActionId = "org.tamber.privileged-op";
constexpr const char* kActionsDir = "/usr/share/polkit-1/actions";
constexpr const char* kRulesDir = "/etc/polkit-1/rules.d";

std::string errnoText(const std::string& step) {
  return step + ": " + std::strerror(errno);
}

// Kills, when this test process ends in any way (a crash or a timeout's SIGKILL included), the
// processes it started. It is a child forked while this process still has a single thread; it
// learns each process id through a pipe and kills them all when the pipe reaches its end. A
// process id stays taken until this process reaps its child, which it does only after
// disarming the watcher, so the watcher never kills anything else.
class Watcher {
 public:
  Watcher() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
      return;
    }
    const UniqueFd in(ends[0]);
    out_.reset(ends[1]);
    pid_ = ::fork();
    if (pid_ == 0) {
      out_.reset();  // the pipe ends when the test process's end is closed
      watch(in.get());
    }
    if (pid_ < 0) {
      out_.reset();
    }
  }
  ~Watcher() { disarm(); }

  bool usable() const { return out_.valid(); }
  void started(pid_t pid) {
    // A pipe write this small is atomic.
    while (::write(out_.get(), &pid, sizeof pid) < 0 && errno == EINTR) {
    }
  }
  // Ends the watcher without it killing anything.
  void disarm() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    out_.reset();
  }

 private:
  // Only async-signal-safe calls: this runs in a fork of the test process.
  [[noreturn]] static void watch(int in) {
    pid_t listed[16] = {};
    size_t count = 0;
    while (count < std::size(listed)) {
      const ssize_t n = ::read(in, &listed[count], sizeof(pid_t));
      if (n == static_cast<ssize_t>(sizeof(pid_t))) {
        ++count;
      } else if (n >= 0 || errno != EINTR) {
        break;
      }
    }
    for (size_t i = 0; i < count; ++i) {
      ::kill(listed[i], SIGKILL);
    }
    ::_exit(0);
  }

  pid_t pid_ = -1;
  UniqueFd out_;
};

// Whether polkit holds its name on the system bus; nothing while the bus does not answer. The
// bus answers this itself, and never starts a service for it.
std::optional<bool> polkitOnBus() {
  const ProcessResult run =
      runProcess({"/usr/bin/dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.DBus",
                  "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                  "string:org.freedesktop.PolicyKit1"},
                 {{}, ProcessOptions::Errors::discard, 5s});
  if (run.status != 0) {
    return std::nullopt;
  }
  return run.output.find("boolean true") != std::string::npos;
}

// The system bus, polkitd and pkexec as this test sees them, with tamber installed the way a
// package installs it: an executable every user can reach, named by its link-free path in the
// polkit action. `unavailable` says why they could not be set up.
class RealParts {
 public:
  RealParts() { unavailable = start(); }
  ~RealParts() {
    watcher_.disarm();
    for (auto daemon = daemons_.rbegin(); daemon != daemons_.rend(); ++daemon) {
      daemon->stop(5s);
    }
    for (auto mount = mounts_.rbegin(); mount != mounts_.rend(); ++mount) {
      ::umount2(mount->c_str(), MNT_DETACH);
    }
  }

  std::string unavailable;
  std::string helper;  // the installed tamber

 private:
  std::string start() {
    if (::geteuid() != 0) {
      return "pkexec's helper runs as root, and only root can start a system bus for it";
    }
    for (const char* program :
         {"/usr/bin/dbus-daemon", "/usr/bin/dbus-send", "/usr/lib/polkit-1/polkitd",
          "/usr/bin/pkexec", "/usr/bin/setsid"}) {
      if (::access(program, X_OK) != 0) {
        return std::string(program) + " is missing (scripts/install-deps.sh test installs it)";
      }
    }
    if (!watcher_.usable()) {
      return errnoText("cannot fork the watcher of started processes");
    }
    // Only a process with a single thread may do this; the test has not started any yet.
    if (::unshare(CLONE_NEWNS) != 0) {
      return errnoText("cannot enter a mount namespace of its own");
    }
    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return errnoText("cannot make the mounts private");
    }

    // tamber where everyone may run it, as an installed one is.
    ::chmod(dir_.path().c_str(), 0755);
    helper = dir_.mkdir("bin") + "/tamber";
    std::error_code error;
    std::filesystem::copy_file(testing::tamberBinary(), helper, error);
    if (error || ::chmod(helper.c_str(), 0755) != 0) {
      return "cannot install tamber for the test: " + error.message();
    }

    // polkit's own actions and Tamber's, its policy filled in as the install fills it in.
    const std::string actions = dir_.mkdir("actions");
    for (const auto& entry : std::filesystem::directory_iterator(kActionsDir, error)) {
      std::filesystem::copy_file(entry.path(), actions + "/" + entry.path().filename().string(),
                                 error);
    }
    std::string policy = readFile(TAMBER_SOURCE_DIR "/data/org.tamber.privileged-op.policy.in");
    const size_t slot = policy.find("@TAMBER_EXEC_PATH@");
    if (slot == std::string::npos) {
      return "the policy template has no @TAMBER_EXEC_PATH@";
    }
    policy.replace(slot, std::strlen("@TAMBER_EXEC_PATH@"), helper);
    dir_.write("actions/org.tamber.privileged-op.policy", policy);

    // The test's person may run exactly Tamber's action; anything else needs an
    // administrator's password, which nobody here can give.
    const passwd* person = ::getpwuid(testing::kNobody);
    if (person == nullptr) {
      return "no user " + std::to_string(testing::kNobody) + " to act as the person";
    }
    const std::string rules = dir_.mkdir("rules");
    dir_.write("rules/10-tamber-test.rules",
               "polkit.addRule(function (action, subject) {\n  if (action.id == \"" +
                   std::string(kActionId) + "\" && subject.user == \"" + person->pw_name +
                   "\") { return polkit.Result.YES; }\n});\n");

    ::mkdir("/run/dbus", 0755);
    for (const auto& [source, target] : {std::pair<std::string, std::string>{"", "/run/dbus"},
                                         {actions, kActionsDir},
                                         {rules, kRulesDir}}) {
      const bool fresh = source.empty();
      if (::mount(fresh ? "tmpfs" : source.c_str(), target.c_str(), fresh ? "tmpfs" : nullptr,
                  fresh ? 0 : MS_BIND, fresh ? "mode=0755" : nullptr) != 0) {
        return errnoText("cannot mount over " + target);
      }
      mounts_.push_back(target);
    }

    // The daemons' output goes to one log, shown when they do not come up.
    const std::string log = dir_ / "daemons.log";
    log_.reset(::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    if (startDaemon({"/usr/bin/dbus-daemon", "--system", "--nofork", "--nopidfile"}) != 0 ||
        !waitFor([] { return polkitOnBus().has_value(); }, 10s)) {
      return "the system bus did not start: " + readFile(log);
    }
    // Started before anything asks for polkit, so the bus never activates one of its own.
    if (startDaemon({"/usr/lib/polkit-1/polkitd", "--no-debug"}) != 0 ||
        !waitFor([] { return polkitOnBus().value_or(false); }, 15s)) {
      return "polkitd did not come onto the system bus: " + readFile(log);
    }
    return "";
  }

  // Starts a long-running process, stopped (SIGTERM, SIGKILL after 5 seconds) and reaped when
  // the parts go away; returns the error number of a failed start, or 0.
  int startDaemon(const std::vector<std::string>& argv) {
    ChildProcess& daemon = daemons_.emplace_back(
        argv,
        ChildOptions{
            {}, ChildStream::toNullDevice(), ChildStream::to(log_.get()), ChildStream::inherit()});
    if (daemon.startError() == 0) {
      watcher_.started(daemon.pid());
    }
    return daemon.startError();
  }

  Watcher watcher_;  // first in, last out: it outlives every process started below
  TempDir dir_;
  std::vector<std::string> mounts_;
  UniqueFd log_;
  std::vector<ChildProcess> daemons_;
};

// The launcher as a person without root runs it: pkexec started by that person's shell, in a
// session of its own, so with no terminal on which pkexec could ask for a password.
HelperLauncher launcherOfPerson(const std::string& executable) {
  return [executable](const std::string& request) {
    std::vector<std::string> argv{"/usr/bin/setsid", "/bin/sh", "-c", "\"$@\"; exit $?", "sh"};
    for (const std::string& argument :
         administratorCommand({executable, kPrivilegedOpFlag, request})) {
      argv.push_back(argument);
    }
    testing::RunOptions options;
    options.user = testing::kNobody;
    options.directory = "/";
    const testing::BinaryRun run = testing::runBinary(argv, options);
    return ProcessResult{run.status, run.out};
  };
}

class RealPkexec : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { parts = new RealParts(); }
  static void TearDownTestSuite() {
    delete parts;
    parts = nullptr;
  }
  void SetUp() override {
    if (!parts->unavailable.empty()) {
      // CI requires the real parts; elsewhere their absence is a skip that says why.
      if (std::getenv("TAMBER_REQUIRE_REAL_PARTS") != nullptr) {
        FAIL() << "polkit and pkexec cannot run here: " << parts->unavailable;
      }
      GTEST_SKIP() << "polkit and pkexec cannot run here: " << parts->unavailable;
    }
  }

  static RealParts* parts;
};

RealParts* RealPkexec::parts = nullptr;

TEST_F(RealPkexec, BrokerRunsTheApprovedHelperAndReportsEveryWayItEnds) {
  TempDir dir;
  const std::string work = dir.mkdir("work");
  const std::string data = dir.mkdir("data");
  GrantStore grants;
  const AgentGrant grant = grants.add({work}, /*edit=*/true, /*elevated=*/true, /*ack=*/true);

  std::string executable = parts->helper;
  std::atomic<int> launches{0};
  AgentServerOptions options;
  options.launchHelper = [&](const std::string& request) {
    ++launches;
    return administratorHelperLauncher(executable)(request);
  };
  testing::ScriptedApprover approver;
  AgentServer server(data, grants, &approver, options);
  server.start();
  const auto writeNew = [&](const std::string& name) {
    return sendAgentRequest(server.socketPath(), jsonData(Json{{"token", grant.token},
                                                               {"action", "write_new"},
                                                               {"path", work + "/" + name},
                                                               {"text", "written as root"}}));
  };

  // Approved: pkexec runs the helper, which writes the file, and its reply is the agent's.
  const Json written = Json::parse(writeNew("new.txt"));
  EXPECT_EQ(written["ok"], true) << written;
  EXPECT_EQ(written["bytes_written"], 15);
  EXPECT_EQ(readFile(work + "/new.txt"), "written as root");
  EXPECT_EQ(launches, 1);

  // Denied: pkexec is never started.
  approver.decision = false;
  EXPECT_EQ(writeNew("denied.txt"), R"({"error":"Elevated action denied","ok":false})");
  EXPECT_EQ(launches, 1);
  EXPECT_FALSE(std::filesystem::exists(work + "/denied.txt"));

  // The helper's own refusal (its status 1, passed on by pkexec) reaches the agent unchanged.
  approver.decision = true;
  EXPECT_EQ(writeNew("new.txt"), R"({"error":"File exists","ok":false})");
  EXPECT_EQ(launches, 2);

  // pkexec refuses a program that is not there: the launch failure with pkexec's status.
  executable = parts->helper + "-missing";
  EXPECT_EQ(writeNew("never.txt"), jsonData(failureReply(launchFailure(127))));
  EXPECT_EQ(launches, 3);
  EXPECT_FALSE(std::filesystem::exists(work + "/never.txt"));
  EXPECT_EQ(approver.shown.size(), 4u);
}

TEST_F(RealPkexec, PolicyLetsAPersonRunOnlyTheInstalledHelperAsRoot) {
  // The grant's folder is root's alone: only the helper running as root can write there.
  TempDir dir;
  const std::string work = dir.mkdir("work");
  ASSERT_EQ(::chmod(dir.path().c_str(), 0700), 0);
  GrantStore grants;
  const AgentGrant grant = grants.add({work}, true, true, true);
  const Json request{{"action", "write_new"}, {"path", work + "/by-person.txt"}, {"text", "x"}};

  const Json reply = elevated(request, grant, launcherOfPerson(parts->helper));
  EXPECT_EQ(reply["ok"], true) << reply;
  struct stat status {};
  ASSERT_EQ(::lstat((work + "/by-person.txt").c_str(), &status), 0);
  EXPECT_EQ(status.st_uid, 0u);

  // The same program under another name is not the action's: polkit wants an administrator's
  // password, there is no one to give it, and pkexec's refusal is a launch failure (never a
  // cancellation).
  const std::string link = parts->helper + "-link";
  std::filesystem::create_symlink(parts->helper, link);
  EXPECT_EQ(failureOf([&] { elevated(request, grant, launcherOfPerson(link)); }),
            launchFailure(127));
  std::filesystem::remove(link);
}

}  // namespace
}  // namespace tamber
