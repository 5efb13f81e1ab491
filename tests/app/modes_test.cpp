#include <unistd.h>

#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/runs.h"
#include "support/temp_dir.h"

namespace tamber {
namespace {

using testing::BinaryRun;
using testing::runBinary;
using testing::tamberBinary;
using testing::TempDir;

// What the helper answers for a request that is not valid Base64 JSON.
std::string helperRefusal() {
  return ::geteuid() == 0
             ? "{\"error\":\"Malformed scoped helper request\",\"ok\":false}\n"
             : "{\"error\":\"Administrator authorization is required\",\"ok\":false}\n";
}

const std::string kNotDisposable = "Provide a disposable, task-owned fixture folder\n";

TEST(Modes, HelperFlagWinsAndFlagsTakeTheNextArgumentVerbatim) {
  TempDir dir;
  const std::string deep = dir / "a/b/c";
  struct Case {
    std::vector<std::string> arguments;  // run in "/"
    std::string out;
    std::string err;
  };
  for (const Case& run : std::vector<Case>{
           // Both flags with values: the helper runs, whatever the order, and the self-test not.
           {{"--self-test", deep, "--privileged-op", "e30"}, helperRefusal(), ""},
           {{"--privileged-op", "e30", "--self-test", deep}, helperRefusal(), ""},
           {{"--privileged-op", "--self-test", deep}, helperRefusal(), ""},
           // A flag as the last argument has no value and counts as absent.
           {{"--self-test", "/x/y", "--privileged-op"}, "", kNotDisposable},
           // A value that looks like a flag is still the value: the root "/--privileged-op".
           {{"--self-test", "--privileged-op"}, "", kNotDisposable},
           // Only the first occurrence counts.
           {{"--self-test", "/x", "--self-test", deep}, "", kNotDisposable},
           // "--version" after a flag is its value, not a request for the version.
           {{"--self-test", "--version"}, "", kNotDisposable}}) {
    std::vector<std::string> argv = run.arguments;
    argv.insert(argv.begin(), tamberBinary());
    const BinaryRun ran = runBinary(argv, testing::inFolder("/"));
    EXPECT_EQ(ran.status, 1);
    EXPECT_EQ(ran.out, run.out);
    EXPECT_EQ(ran.err, run.err);
  }
  EXPECT_FALSE(std::filesystem::exists(deep));
}

TEST(Modes, LoneVersionFlagPrintsTheVersion) {
  const BinaryRun version = runBinary({tamberBinary(), "--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_THAT(version.out, ::testing::MatchesRegex("tamber [0-9]+\\.[0-9]+\\.[0-9]+\n"));
  EXPECT_EQ(version.err, "");
}

}  // namespace
}  // namespace tamber
