#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/fd_io.h"
#include "platform/process.h"
#include "platform/unique_fd.h"

namespace tamber {
namespace {

using namespace std::chrono_literals;

TEST(RunProcess, ReportsExitStatusSignalOutputAndUnstartablePrograms) {
  const ProcessResult printed = runProcess({"/bin/sh", "-c", "printf 'one\\ntwo'; exit 3"});
  EXPECT_EQ(printed.status, 3);
  EXPECT_EQ(printed.output, "one\ntwo");

  EXPECT_EQ(runProcess({"/bin/sh", "-c", "kill -KILL $$"}).status, 128 + SIGKILL);
  // Standard error is not captured: only standard output is the helper's answer.
  EXPECT_EQ(runProcess({"/bin/sh", "-c", "echo noise >&2; exit 0"}).output, "");
  EXPECT_EQ(runProcess({"/nonexistent/tamber-helper"}).status, 127);
  // Standard input is empty, not the test's.
  EXPECT_EQ(runProcess({"/bin/sh", "-c", "cat; echo done"}).output, "done\n");

  // Arguments travel as they are: no shell ever sees them.
  const ProcessResult echoed = runProcess({"/usr/bin/printf", "%s|%s", "$(id) 'quoted'", "a b;c"});
  EXPECT_EQ(echoed.output, "$(id) 'quoted'|a b;c");

  const ProcessResult large = runProcess({"/bin/sh", "-c", "head -c 300000 /dev/zero"});
  EXPECT_EQ(large.status, 0);
  EXPECT_EQ(large.output.size(), 300000u);
}

TEST(RunProcess, ChildGetsNoStrayDescriptorsAndDefaultSignals) {
  // A descriptor some library opened without O_CLOEXEC must not reach a child that may run
  // as root.
  UniqueFd stray(::open("/dev/null", O_RDONLY));
  ASSERT_TRUE(stray.valid());
  const ProcessResult listed = runProcess({"/bin/ls", "/proc/self/fd"});
  EXPECT_EQ(listed.output, "0\n1\n2\n3\n");  // 3 is ls's own directory handle

  // An ignored SIGPIPE in this process must not be inherited.
  struct sigaction previous {};
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &previous);
  const ProcessResult piped = runProcess({"/bin/sh", "-c", "grep SigIgn /proc/self/status"});
  ::sigaction(SIGPIPE, &previous, nullptr);
  const unsigned long ignored =
      std::stoul(piped.output.substr(piped.output.find(':') + 1), nullptr, 16);
  EXPECT_EQ(ignored & (1ul << (SIGPIPE - 1)), 0u) << piped.output;
}

TEST(RunProcess, SetsTheEnvironmentCapturesErrorsAndKeepsItsTimeLimit) {
  const ProcessResult run =
      runProcess({"/bin/sh", "-c", "echo \"$TAMBER_X ${HOME-unset}\"; echo warning >&2"},
                 {{{"TAMBER_X", "set"}, {"HOME", std::nullopt}},
                  ProcessOptions::Errors::capture,
                  std::nullopt});
  EXPECT_EQ(run.output, "set unset\n");
  EXPECT_EQ(run.errors, "warning\n");

  // A child that never ends, and one that closes its output and lingers, are both killed and
  // reaped at the limit.
  for (const char* script : {"sleep 30", "exec >&-; sleep 30"}) {
    const auto started = std::chrono::steady_clock::now();
    const ProcessResult slow =
        runProcess({"/bin/sh", "-c", script}, {{}, ProcessOptions::Errors::discard, 200ms});
    EXPECT_TRUE(slow.timedOut) << script;
    EXPECT_EQ(slow.status, -1) << script;
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s) << script;
  }
}

TEST(ChildProcess, TalksThroughPipesAndIsNeverSignalledOnceReaped) {
  ChildProcess cat({"/bin/cat"},
                   {{}, ChildStream::toPipe(), ChildStream::toPipe(), ChildStream::toNullDevice()});
  ASSERT_EQ(cat.startError(), 0);
  EXPECT_EQ(writeAll(cat.input().get(), "through the pipe"), 0);
  cat.input().reset();
  std::string echoed;
  EXPECT_EQ(readToEnd(cat.output().get(), echoed), 0);
  EXPECT_EQ(echoed, "through the pipe");
  EXPECT_EQ(cat.wait(), 0);

  ChildProcess sleeper({"/bin/sleep", "30"}, {});
  EXPECT_TRUE(sleeper.running());
  EXPECT_EQ(sleeper.stop(1s), 128 + SIGTERM);
  EXPECT_FALSE(sleeper.running());
  EXPECT_EQ(sleeper.pid(), -1) << "a reaped child's id may be reused: it is forgotten";

  EXPECT_EQ(ChildProcess({"/nonexistent/program"}, {}).startError(), ENOENT);
}

TEST(PollBriefly, SeesBytesAndHangUpsAndGivesUpWhenNothingComes) {
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(pollBriefly(readEnd.get(), POLLIN, 2ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 2ms) << "it gave up before its time";

  std::thread late([&] {
    std::this_thread::sleep_for(1ms);
    EXPECT_EQ(writeAll(writeEnd.get(), "x"), 0);
  });
  EXPECT_TRUE(pollBriefly(readEnd.get(), POLLIN, 10s)) << "a byte sent while it looks";
  late.join();

  char byte;
  ASSERT_EQ(readSome(readEnd.get(), &byte, 1), 1);
  writeEnd.reset();
  EXPECT_TRUE(pollBriefly(readEnd.get(), POLLIN, 0us)) << "a hang-up is for the caller's read";
}

}  // namespace
}  // namespace tamber
