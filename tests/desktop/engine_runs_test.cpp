// The shell's runs of other programs: the engine's invite run, the engine server it starts,
// and the hop from the broker's thread to the UI thread.
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "base/failure.h"
#include "desktop/engine_process.h"
#include "desktop/invitation.h"
#include "desktop/main_thread_hop.h"
#include "support/temp_dir.h"
#include "support/waiting.h"

namespace tamber::desktop {
namespace {

using namespace std::chrono_literals;
using testing::failureOf;
using testing::readFile;
using testing::TempDir;
using testing::waitFor;

// An executable shell script standing in for the engine.
std::string fakeEngine(const TempDir& temp, const std::string& body) {
  const std::string path = temp.write("larkspan", "#!/bin/sh\n" + body + "\n");
  ::chmod(path.c_str(), 0755);
  return path;
}

bool processGone(int pid) {
  // Gone, or a zombie nobody reaped: either way it runs no more.
  const std::string status = readFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = status.rfind(')');
  return status.empty() || (close != std::string::npos && status.substr(close + 2, 1) == "Z");
}

TEST(EngineInviteRun, ReturnsStandardOutputOnlyAndStopsAnEngineThatDoesNotFinish) {
  TempDir temp;
  EXPECT_EQ(runEngineInvite(
                fakeEngine(temp, "echo noise >&2\nprintf '{\"text\":\"%s|\"}' \"$*\"\nexit 3"),
                "/data dir"),
            "{\"text\":\"--data /data dir invite --json|\"}");
  // An engine that cannot start reports the system's reason.
  EXPECT_EQ(failureOf([&] { runEngineInvite(temp / "missing", temp.path()); }),
            "No such file or directory");

  // The shell's child keeps the output pipe open after the shell itself is killed.
  const std::string engine =
      fakeEngine(temp, "echo $$ > '" + (temp / "pid") + "'\nprintf '{\"text\":'\nsleep 3");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(failureOf([&] { runEngineInvite(engine, temp.path(), 300ms); }),
            "The local engine did not produce an invitation within 10 seconds.");
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
  EXPECT_TRUE(waitFor([&] { return processGone(std::stoi(readFile(temp / "pid"))); }, 2s));
}

TEST(EngineProcess, ReportsWhyItCannotStartAndAppendsToItsLogNeverThroughALink) {
  TempDir temp;
  EngineProcess server;
  EXPECT_NE(failureOf([&] { server.start(temp / "missing", {}, temp / "log"); }), "");
  ::symlink((temp / "elsewhere").c_str(), (temp / "linked.log").c_str());
  EXPECT_EQ(failureOf([&] { server.start(fakeEngine(temp, "exit 0"), {}, temp / "linked.log"); }),
            "Too many levels of symbolic links");
  EXPECT_FALSE(std::filesystem::exists(temp / "elsewhere"));
  EXPECT_FALSE(server.started());
  server.terminate();  // nothing started, nothing to end

  const std::string log = temp.write("desktop-engine.log", "earlier run\n");
  server.start(fakeEngine(temp, "echo \"serving $*\"\necho oops >&2\nexec sleep 30"),
               {"--port", "1"}, log);
  ASSERT_TRUE(server.started());
  const int pid = server.pid();
  EXPECT_TRUE(waitFor([&] { return readFile(log).find("oops") != std::string::npos; }, 2s));
  EXPECT_EQ(readFile(log), "earlier run\nserving --port 1\noops\n");
  EXPECT_FALSE(processGone(pid));
  server.terminate();
  EXPECT_TRUE(waitFor([&] { return processGone(pid); }, 2s));
}

TEST(MainThreadHop, RunsTheWorkOnTheMainContextsThreadUntilShutDownReleasesTheCaller) {
  MainThreadHop hop;
  std::thread::id ranOn;
  std::atomic<bool> returned{false};
  std::thread broker([&] {
    hop.run([&] { ranOn = std::this_thread::get_id(); });
    returned = true;
  });
  EXPECT_TRUE(waitFor(
      [&] {
        g_main_context_iteration(nullptr, FALSE);
        return returned.load();
      },
      2s));
  broker.join();
  EXPECT_EQ(ranOn, std::this_thread::get_id());

  // The main loop has ended: nobody will run the work, and shutting down releases the caller.
  bool ran = false;
  returned = false;
  std::thread waiting([&] {
    hop.run([&] { ran = true; });
    returned = true;
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(returned);
  hop.shutDown();
  waiting.join();
  EXPECT_TRUE(returned);
  // The queued callback finds the call abandoned and leaves it alone.
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
  EXPECT_FALSE(ran);
  hop.run([&] { ran = true; });  // refused at once
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace tamber::desktop
