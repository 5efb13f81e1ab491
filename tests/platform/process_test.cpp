#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/process.h"
#include "platform/unique_fd.h"

namespace tamber {
namespace {

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

}  // namespace
}  // namespace tamber
